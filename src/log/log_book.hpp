#pragma once
// The log's machinery: a bounded ring of whole lines, filled by any thread without a lock or a
// heap allocation, and one log thread that writes the lines out, each to its stream, in the
// order they were queued. A thread that carries video never waits for the output: when the
// ring is full its line is dropped and counted, and the log thread says how many were lost.
// Until start(), lines are written at once on the calling thread, as plain stdio would.
//
// The daemon has one book (process_log); tests make their own with a ring, descriptors and a
// clock of their choosing.
#include <pthread.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <utility>

class log_repeat_limit;

enum class log_stream : uint8_t { out = 0, err = 1 };

// Longest line kept whole, its '\n' included; a longer one is cut and still ends in '\n'. One
// write of at most this much reaches a pipe whole (PIPE_BUF), never torn by another writer's.
constexpr size_t log_line_max = 4096;
// The daemon's ring: about 6 s of a 115200-baud console, so that start-up and a burst of lines
// never drop, while a flood is cut short.
constexpr size_t log_ring_bytes = 65536;
// How long the process may wait at its end for queued lines to go out.
constexpr int64_t log_exit_flush_us = 3000000;
// Repeat limits the log thread can report on its own (the rest report at their next line).
constexpr size_t log_repeat_slots = 64;

// Microseconds on a monotonic clock (the daemon's book: mono_now_us).
using log_clock = int64_t (*)();

class log_book {
public:
    // words: the ring, bytes / 4 words, bytes a power of two; out_fd and err_fd: where the log
    // thread writes. With use_stdio the lines before start() go through stdout and stderr
    // instead of the descriptors (the daemon's book, so tools and tests print as they always
    // did).
    constexpr log_book(uint32_t* words, size_t bytes, int out_fd, int err_fd, bool use_stdio,
                       log_clock clock)
        : words_(words), bytes_(static_cast<uint32_t>(bytes)), out_fd_(out_fd), err_fd_(err_fd),
          use_stdio_(use_stdio), clock_(clock) {}
    ~log_book();
    log_book(const log_book&) = delete;
    log_book& operator=(const log_book&) = delete;

    // Starts the log thread (every signal blocked in it); 0, or -1 and the book stays
    // synchronous. Called once, before other threads print.
    int start();
    // Writes out what is queued and ends the log thread (tests; the daemon's never ends).
    void stop();
    bool started() const { return started_.load(std::memory_order_acquire); }

    // One line (printf-style), queued, or written at once before start().
    void print(log_stream stream, const char* format, va_list args);
    // A whole line as it is, '\n' included (the repeat limits' count lines).
    void emit(log_stream stream, const char* text, size_t length);

    // Waits until every line queued before the call is written, at most bound_us; true when
    // they were. Before start(): flushes stdio.
    bool flush(int64_t bound_us);
    // The same as the process ends: afterwards the log thread writes nothing more, so the
    // caller's last line comes last. No lock, no stdio, no allocation (a crash handler's).
    void finish(int64_t bound_us);

    // Lines lost to a full ring since the last loss line.
    uint32_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

    // ---- for log_repeat_limit ----
    int64_t now() const { return clock_(); }
    void enroll(log_repeat_limit* limit);
    void withdraw(log_repeat_limit* limit);
    // The log thread looks at the repeat limits again (one has begun to hold lines back).
    void wake();

private:
    void run();
    bool queue(log_stream stream, const char* text, size_t length);
    // Writes the committed lines from the tail on; false when the ring is empty or the line at
    // the tail is still being filled.
    bool write_one();
    // One write a line (a blank line a call carries too), so that each arrives whole and alone.
    void write_lines(int fd, const char* text, size_t length);
    void write_fd(int fd, const char* text, size_t length);
    void report_loss();
    // Queues the count lines of the limits whose second is over; returns when the next one
    // ends (0: none pending).
    int64_t report_repeats();
    void sleep_until_work(int64_t due_us);
    bool tail_committed() const;

    uint32_t* words_;
    uint32_t bytes_;
    int out_fd_;
    int err_fd_;
    bool use_stdio_;
    log_clock clock_;

    std::atomic<uint32_t> head_{0};  // end of the reserved bytes
    std::atomic<uint32_t> tail_{0};  // end of the written bytes (the log thread's alone)
    std::atomic<uint32_t> dropped_{0};
    std::atomic<uint32_t> lost_at_{0};  // where the first line of the current loss would be
    std::atomic<bool> started_{false};
    std::atomic<bool> sleeping_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> closing_{false};  // the process is ending: write up to closed_at_, then stop
    std::atomic<uint32_t> closed_at_{0};
    std::atomic<bool> parked_{false};
    std::atomic<int> wake_fd_{-1};
    std::atomic<int> thread_id_{0};
    pthread_t thread_{};

    std::mutex limits_mutex_;  // enroll, withdraw and the log thread's look at the limits
    log_repeat_limit* limits_[log_repeat_slots] = {};
};

// The limit whose allow() said yes last on this thread; the next line printed on the thread is
// of its kind, and tells it its stream.
extern thread_local log_repeat_limit* log_last_allowed;

// The daemon's book: standard output and standard error, the monotonic clock.
log_book& process_log();
// Starts the daemon's log thread (main, early in start-up); 0 or -1.
int log_start();

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
