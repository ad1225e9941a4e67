#include "log.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

void log_out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
}

void log_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
}

void log_puts(const char* text) { puts(text); }

void log_perror(const char* what) {
    int error = errno;
    fprintf(stderr, "%s: %s\n", what, strerror(error));
}

void log_flush() {
    fflush(stdout);
    fflush(stderr);
}

void log_flush_from_signal() {}
