#pragma once
// The daemon's log: every line any thread prints goes through here, whole, one call a line
// (a call may carry a leading blank line, as some of the board's historical lines do).
// Lines keep the stream they always had: standard output for progress, standard error for
// failures. Texts are the daemon's own and are printed exactly as given.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>

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

// Lines of one kind a repeat limit lets through in a second.
constexpr uint32_t log_repeat_per_second = 10;
constexpr int64_t log_repeat_window_us = 1000000;

// One kind of repeated line (an invalid frame by reason, a full queue, a failed transfer, one
// client's received data...): at most log_repeat_per_second a second are printed, and the rest
// of that second becomes one line with the count, on the stream of the lines it stands for:
//     [log] KIND: N more not shown (at most 10 a second)
//     [log] KIND NUMBER: N more not shown (at most 10 a second)     (a numbered kind)
// It comes before the next line of its kind, or from the log thread once the second is over
// when no line of the kind follows. An instance belongs to the one thread that prints its kind:
//     if (limit.allow()) log_err(...);
class log_repeat_limit {
public:
    explicit log_repeat_limit(const char* kind, int number = -1, log_book& book = process_log());
    ~log_repeat_limit();
    log_repeat_limit(const log_repeat_limit&) = delete;
    log_repeat_limit& operator=(const log_repeat_limit&) = delete;

    // True when this line may be printed now; otherwise it is counted.
    bool allow();

    // ---- for the log book ----
    // The log thread: queues the count line when the second is over; returns when the
    // pending count's second ends (0: nothing pending).
    int64_t report_if_due(int64_t now_us);
    // The stream of the line just allowed, noted by the log call that follows allow().
    void note_stream(log_stream stream) { stream_.store(stream, std::memory_order_relaxed); }

private:
    static constexpr uint32_t claimed = 0x80000000u;  // the log thread is writing the count
    void queue_count_line(uint32_t count);

    const char* kind_;
    int number_;
    log_book& book_;
    // The owner's alone.
    int64_t window_end_us_ = 0;
    uint32_t allowed_ = 0;
    // Shared with the log thread: lines held back and not yet reported, and when they may be.
    std::atomic<uint32_t> pending_{0};
    std::atomic<int64_t> report_after_us_{0};
    std::atomic<log_stream> stream_{log_stream::out};
};

// A numbered family of limits (one per client entry, say): element i counts as "KIND i".
template <size_t N>
class log_repeat_limits {
public:
    explicit log_repeat_limits(const char* kind, log_book& book = process_log())
        : log_repeat_limits(kind, book, std::make_index_sequence<N>{}) {}
    log_repeat_limit& operator[](size_t index) { return limits_[index]; }

private:
    template <size_t... I>
    log_repeat_limits(const char* kind, log_book& book, std::index_sequence<I...>)
        : limits_{log_repeat_limit(kind, static_cast<int>(I), book)...} {}
    log_repeat_limit limits_[N];
};
