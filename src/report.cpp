// The fatal and warning lines shared by every unit.
#include "report.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

void vorn_fatal_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    std::printf("\033[41mError in function %s(), file %s on line %d: ", func, unit, line);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::printf("! Exit now!\033[m\n");
    std::fflush(stdout);
    std::exit(1);
}

void vorn_warning_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    std::printf("\033[43mWarning in function %s(), file %s on line %d:", func, unit, line);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::fflush(stdout);
}

void vorn_warning_emph_line(const char* func, const char* unit, int line, const char* fmt, ...) {
    std::printf("\033[43m\033[1m\033[5mWarning in function %s(), file %s on line %d: ", func, unit, line);
    va_list ap;
    va_start(ap, fmt);
    std::vprintf(fmt, ap);
    va_end(ap);
    std::printf("\033[m\n\n");
    std::fflush(stdout);
}
