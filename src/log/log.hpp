#pragma once
// The daemon's log: every line any thread prints goes through here, whole, one call a line
// (a call may carry a leading blank line, as some of the board's historical lines do).
// Lines keep the stream they always had: standard output for progress, standard error for
// failures. Texts are the daemon's own and are printed exactly as given.
#include "log_book.hpp"

// Standard output, printf-style; the text ends with its own '\n'.
void log_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Standard error, printf-style; the text ends with its own '\n'.
void log_err(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Standard output: the text and a '\n', as puts.
void log_puts(const char* text);
// Standard error: "what: strerror(errno)\n", as perror, with the errno of the call.
void log_perror(const char* what);

// Writes out what is queued before the process ends, so the line that explains an exit is
// never lost; returns within a bound even when the output does not drain.
void log_flush();
// The same as the process ends, the log thread writing nothing after it, so the caller's last
// line is the process's last. Async-signal-safe: the crash handler ends with it too.
void log_finish();
