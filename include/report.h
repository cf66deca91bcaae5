// The system's message lines. Each source unit defines VORN_UNIT (its path as
// printed, e.g. "src/str_utils") before it uses the macros.
#pragma once

// Red line on standard output, then exit(1):
// "\033[41mError in function <func>(), file <unit> on line <line>: <message>! Exit now!\033[m\n"
[[noreturn]] void vorn_fatal_line(const char* func, const char* unit, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Yellow line on standard output: "\033[43mWarning in function <func>(), file <unit> on line <line>:<message>";
// the message brings its own ending, as a rule "\n\033[m".
void vorn_warning_line(const char* func, const char* unit, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));
// Emphasised (bold, blinking) warning: prefix with a space after the colon, suffix "\033[m\n\n".
void vorn_warning_emph_line(const char* func, const char* unit, int line, const char* fmt, ...)
    __attribute__((format(printf, 4, 5)));

#define VORN_FATAL(...) vorn_fatal_line(__func__, VORN_UNIT, __LINE__, __VA_ARGS__)
#define VORN_WARNING(...) vorn_warning_line(__func__, VORN_UNIT, __LINE__, __VA_ARGS__)
#define VORN_WARNING_EMPH(...) vorn_warning_emph_line(__func__, VORN_UNIT, __LINE__, __VA_ARGS__)
