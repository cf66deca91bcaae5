// The fatal and warning lines shared by every unit.
#define VORN_UNIT "src/report"
#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

// Prints head (with the function, unit and line), the formatted message, then tail.
static void print_line(const char* head, const char* tail, const char* func, const char* unit, int line,
                       const char* fmt, va_list ap) {
    std::printf(head, func, unit, line);
    std::vprintf(fmt, ap);
    std::fputs(tail, stdout);
    std::fflush(stdout);
}

void vorn_fatal_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_line("\033[41mError in function %s(), file %s on line %d: ", "! Exit now!\033[m\n", func, unit, line, fmt, ap);
    va_end(ap);
    std::exit(1);
}

void vorn_warning_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_line("\033[43mWarning in function %s(), file %s on line %d:", "", func, unit, line, fmt, ap);
    va_end(ap);
}

void vorn_warning_emph_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_line("\033[43m\033[1m\033[5mWarning in function %s(), file %s on line %d: ", "\033[m\n\n", func, unit, line,
               fmt, ap);
    va_end(ap);
}
