// The daemon's book and the calls every room prints with.
#include "log.hpp"

#include <cerrno>
#include <cstring>

#include "mono_clock.hpp"

namespace {

uint32_t process_ring[log_ring_bytes / 4];
// Constant-initialized: rooms' objects made before main (the raw queue) already enroll their
// repeat limits.
constinit log_book process_book(process_ring, log_ring_bytes, 1, 2, true, mono_now_us);

}  // namespace

log_book& process_log() { return process_book; }

int log_start() { return process_book.start(); }

void log_out(const char* format, ...) {
    va_list args;
    va_start(args, format);
    process_book.print(log_stream::out, format, args);
    va_end(args);
}

void log_err(const char* format, ...) {
    va_list args;
    va_start(args, format);
    process_book.print(log_stream::err, format, args);
    va_end(args);
}

void log_puts(const char* text) { log_out("%s\n", text); }

void log_perror(const char* what) {
    const int error = errno;
    log_err("%s: %s\n", what, strerror(error));
}

void log_flush() { process_book.flush(log_exit_flush_us); }

void log_finish() { process_book.finish(log_exit_flush_us); }
