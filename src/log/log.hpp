#pragma once
// The daemon's log: every line any thread prints goes through here, whole, one call a line
// (a call may carry a leading blank line, as some of the board's historical lines do).
// Lines keep the stream they always had: standard output for progress, standard error for
// failures. Texts are the daemon's own and are printed exactly as given.
#include <cstdarg>

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
// The same from a signal handler: async-signal-safe, takes no lock.
void log_flush_from_signal();

// One kind of repeated line (an invalid frame by reason, a full queue, a failed transfer, one
// client's received data...): at most a few a second are printed, and the rest of that second
// becomes one line with the count. An instance belongs to the one thread that prints its kind.
class log_repeat_limit {
   public:
    explicit log_repeat_limit(const char* kind) : kind_(kind) {}
    // True when this line may be printed now; otherwise it is counted.
    bool allow() { return true; }
    const char* kind() const { return kind_; }

   private:
    const char* kind_;
};
