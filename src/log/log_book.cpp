// The ring: records of one header word and the line's bytes, 4-byte aligned, never split at
// the ring's end (a padding record fills the rest). A writer reserves its record by moving the
// head with one compare-and-swap, copies its line and then commits the header; the log thread
// writes committed records from the tail, clears them and moves the tail. Positions count bytes
// and wrap with 32 bits, which the ring's power-of-two size divides.
#include "log_book.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "mono_clock.hpp"
#include "named_thread.hpp"

thread_local log_repeat_limit* log_last_allowed = nullptr;

namespace {

constexpr uint32_t committed_bit = 0x80000000u;
constexpr uint32_t padding_bit = 0x40000000u;
constexpr uint32_t err_stream_bit = 0x00010000u;
constexpr uint32_t length_mask = 0x0000FFFFu;
static_assert(log_line_max <= length_mask);
constexpr uint32_t header_bytes = 4;
// A full output (EAGAIN on a non-blocking one) is waited for in steps of this much.
constexpr int output_wait_ms = 100;
// Waiting for the log thread to reach a place in the ring, it is looked at this often.
constexpr int64_t flush_poll_us = 1000;
// The log thread looks again at least this often while a count is pending on a clock it
// cannot sleep on (a test's clock).
constexpr int64_t longest_sleep_ms = 1000;

uint32_t record_bytes(size_t length) {
    return header_bytes + ((static_cast<uint32_t>(length) + 3u) & ~3u);
}

// Signed distance on the wrapping positions: true when position a is at or past b.
bool reached(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) >= 0; }

int current_thread_id() { return static_cast<int>(syscall(SYS_gettid)); }

}  // namespace

log_book::~log_book() { stop(); }

int log_book::start() {
    if (started()) return 0;
    const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd < 0) return -1;
    wake_fd_.store(fd);
    // What stdio still holds goes out before the first queued line.
    if (use_stdio_) {
        fflush(stdout);
        fflush(stderr);
    }
    stopping_.store(false);
    // Every signal blocked in the log thread: no handler ever runs on it, so the process's end
    // can always wait for it.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const int error =
        start_named_thread(run_member<log_book, &log_book::run>, this, "log", &thread_);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    if (error != 0) {
        wake_fd_.store(-1);
        close(fd);
        return -1;
    }
    started_.store(true, std::memory_order_release);
    return 0;
}

void log_book::stop() {
    if (!started()) return;
    stopping_.store(true);
    wake();
    pthread_join(thread_, nullptr);
    started_.store(false, std::memory_order_release);
    close(wake_fd_.exchange(-1));
}

void log_book::print(log_stream stream, const char* format, va_list args) {
    if (log_repeat_limit* limit = log_last_allowed) {
        limit->note_stream(stream);
        log_last_allowed = nullptr;
    }
    if (!started() && use_stdio_) {
        vfprintf(stream == log_stream::out ? stdout : stderr, format, args);
        return;
    }
    char line[log_line_max + 1];  // and vsnprintf's NUL
    const int n = vsnprintf(line, sizeof line, format, args);
    if (n <= 0) return;
    size_t length = static_cast<size_t>(n);
    if (length >= sizeof line) {
        length = sizeof line - 1;
        line[length - 1] = '\n';
    }
    emit(stream, line, length);
}

void log_book::emit(log_stream stream, const char* text, size_t length) {
    if (length > log_line_max) length = log_line_max;
    if (started())
        queue(stream, text, length);
    else if (use_stdio_)
        fwrite(text, 1, length, stream == log_stream::out ? stdout : stderr);
    else
        write_fd(stream == log_stream::out ? out_fd_ : err_fd_, text, length);
}

// Never waits: a full ring drops the line and counts it.
bool log_book::queue(log_stream stream, const char* text, size_t length) {
    const uint32_t mask = bytes_ - 1;
    const uint32_t need = record_bytes(length);
    uint32_t head = 0;
    uint32_t padding = 0;
    for (;;) {
        // The tail first: a head read before it could be older than the tail, and the ring
        // would look fuller than it is.
        const uint32_t tail = tail_.load(std::memory_order_acquire);
        head = head_.load();
        const uint32_t offset = head & mask;
        padding = offset + need > bytes_ ? bytes_ - offset : 0;
        if (head + padding + need - tail > bytes_) {
            if (dropped_.fetch_add(1, std::memory_order_relaxed) == 0)
                lost_at_.store(head, std::memory_order_relaxed);
            return false;
        }
        if (head_.compare_exchange_weak(head, head + padding + need)) break;
    }
    if (padding != 0) {
        std::atomic_ref<uint32_t>(words_[(head & mask) / 4])
            .store(committed_bit | padding_bit, std::memory_order_release);
        head += padding;
    }
    uint32_t* record = words_ + (head & mask) / 4;
    memcpy(record + 1, text, length);
    const uint32_t header = committed_bit | static_cast<uint32_t>(length) |
                            (stream == log_stream::err ? err_stream_bit : 0);
    // Sequentially consistent with the log thread's going to sleep: either it sees this
    // record, or this sees it sleeping and wakes it.
    std::atomic_ref<uint32_t>(record[0]).store(header);
    if (sleeping_.load()) wake();
    return true;
}

bool log_book::tail_committed() const {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (tail == head_.load()) return false;
    return (std::atomic_ref<uint32_t>(words_[(tail & (bytes_ - 1)) / 4]).load() & committed_bit) != 0;
}

bool log_book::write_one() {
    const uint32_t tail = tail_.load(std::memory_order_relaxed);
    if (closing_.load() && reached(tail, closed_at_.load())) return false;
    if (dropped_.load(std::memory_order_relaxed) != 0 &&
        reached(tail, lost_at_.load(std::memory_order_relaxed)))
        report_loss();
    if (tail == head_.load(std::memory_order_acquire)) return false;
    const uint32_t offset = tail & (bytes_ - 1);
    uint32_t* record = words_ + offset / 4;
    const uint32_t header = std::atomic_ref<uint32_t>(record[0]).load();
    if ((header & committed_bit) == 0) return false;  // still being filled
    uint32_t size = bytes_ - offset;
    if ((header & padding_bit) == 0) {
        const uint32_t length = header & length_mask;
        size = record_bytes(length);
        write_lines((header & err_stream_bit) != 0 ? err_fd_ : out_fd_,
                    reinterpret_cast<const char*>(record + 1), length);
    }
    // Cleared before it is handed back, so that a header a writer has not committed yet never
    // looks committed from an earlier lap.
    memset(record, 0, size);
    tail_.store(tail + size, std::memory_order_release);
    return true;
}

void log_book::write_lines(int fd, const char* text, size_t length) {
    while (length > 0) {
        const void* end = memchr(text, '\n', length);
        const size_t line =
            end != nullptr ? static_cast<size_t>(static_cast<const char*>(end) - text) + 1 : length;
        write_fd(fd, text, line);
        text += line;
        length -= line;
    }
}

void log_book::write_fd(int fd, const char* text, size_t length) {
    while (length > 0) {
        const ssize_t n = write(fd, text, length);
        if (n >= 0) {
            text += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN) return;  // nowhere to write: the line is gone
        pollfd writable{fd, POLLOUT, 0};
        poll(&writable, 1, output_wait_ms);
    }
}

void log_book::report_loss() {
    const uint32_t lost = dropped_.exchange(0, std::memory_order_relaxed);
    if (lost == 0) return;
    char line[64];
    const int n = snprintf(line, sizeof line, "[log] %u %s lost: output too slow\n", lost,
                           lost == 1 ? "line" : "lines");
    write_fd(err_fd_, line, static_cast<size_t>(n));
}

void log_book::enroll(log_repeat_limit* limit) {
    std::lock_guard<std::mutex> lock(limits_mutex_);
    for (log_repeat_limit*& slot : limits_) {
        if (slot != nullptr) continue;
        slot = limit;
        return;
    }
}

void log_book::withdraw(log_repeat_limit* limit) {
    std::lock_guard<std::mutex> lock(limits_mutex_);
    for (log_repeat_limit*& slot : limits_)
        if (slot == limit) slot = nullptr;
}

int64_t log_book::report_repeats() {
    std::lock_guard<std::mutex> lock(limits_mutex_);
    const int64_t now_us = now();
    int64_t next = 0;
    for (log_repeat_limit* limit : limits_) {
        if (limit == nullptr) continue;
        const int64_t due = limit->report_if_due(now_us);
        if (due != 0 && (next == 0 || due < next)) next = due;
    }
    return next;
}

void log_book::wake() {
    const int fd = wake_fd_.load();
    if (fd < 0) return;
    const uint64_t one = 1;
    const ssize_t written = write(fd, &one, sizeof one);  // only fails when already awake
    (void)written;
}

void log_book::sleep_until_work(int64_t due_us) {
    sleeping_.store(true);
    if (tail_committed() || stopping_.load() || closing_.load()) {
        sleeping_.store(false);
        return;
    }
    int timeout_ms = -1;
    if (due_us != 0) {
        const int64_t wait_ms = (due_us - now() + 999) / 1000;
        timeout_ms = static_cast<int>(wait_ms < 0 ? 0 : wait_ms > longest_sleep_ms ? longest_sleep_ms : wait_ms);
    }
    pollfd ready{wake_fd_.load(), POLLIN, 0};
    if (poll(&ready, 1, timeout_ms) > 0) {
        uint64_t count = 0;
        const ssize_t got = read(ready.fd, &count, sizeof count);
        (void)got;
    }
    sleeping_.store(false);
}

void log_book::run() {
    thread_id_.store(current_thread_id());
    for (;;) {
        while (write_one()) {
        }
        const bool empty = tail_.load(std::memory_order_relaxed) == head_.load();
        if (closing_.load()) {
            if (reached(tail_.load(std::memory_order_relaxed), closed_at_.load())) {
                report_loss();
                parked_.store(true);
                // The process is ending: nothing more is written (a test's book may be stopped).
                while (!stopping_.load()) mono_sleep_us(flush_poll_us);
                return;
            }
            mono_sleep_us(flush_poll_us);  // a line before the close is still being filled
            continue;
        }
        if (empty) report_loss();
        const int64_t due = report_repeats();
        if (tail_committed()) continue;
        if (stopping_.load() && empty) return;
        sleep_until_work(due);
    }
}

bool log_book::flush(int64_t bound_us) {
    if (!started()) {
        if (use_stdio_) {
            fflush(stdout);
            fflush(stderr);
        }
        return true;
    }
    const uint32_t target = head_.load();
    const int64_t deadline = mono_now_us() + bound_us;
    for (;;) {
        if (reached(tail_.load(std::memory_order_acquire), target)) return true;
        if (mono_now_us() >= deadline) return false;
        wake();
        mono_sleep_us(flush_poll_us);
    }
}

void log_book::finish(int64_t bound_us) {
    if (!started()) return;
    // A fault on the log thread itself: nobody is left to write.
    if (current_thread_id() == thread_id_.load()) return;
    if (!closing_.load()) {
        closed_at_.store(head_.load());
        closing_.store(true);
    }
    const int64_t deadline = mono_now_us() + bound_us;
    while (!parked_.load() && mono_now_us() < deadline) {
        wake();
        mono_sleep_us(flush_poll_us);
    }
}
