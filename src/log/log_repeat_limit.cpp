// The repeat limit. The window and its allowance are the owning thread's alone; what it held
// back is one atomic count it shares with the log thread. Whoever takes the count writes the
// count line: the owner before its next line of the kind, or the log thread once the second is
// over. While the log thread holds the count (its claimed bit), the owner's next line is
// counted instead of printed, so it can never come before the count line of the lines it
// follows.
#include <cstdio>

#include "log_book.hpp"

log_repeat_limit::log_repeat_limit(const char* kind, int number, log_book& book)
    : kind_(kind), number_(number), book_(book) {
    book_.enroll(this);
}

log_repeat_limit::~log_repeat_limit() {
    if (log_last_allowed == this) log_last_allowed = nullptr;
    book_.withdraw(this);
}

bool log_repeat_limit::allow() {
    const int64_t now_us = book_.now();
    if (now_us >= window_end_us_) {
        uint32_t held = pending_.load(std::memory_order_acquire);
        for (;;) {
            if ((held & claimed) != 0) {
                pending_.fetch_add(1, std::memory_order_acq_rel);
                return false;
            }
            if (held == 0 || pending_.compare_exchange_weak(held, 0, std::memory_order_acq_rel))
                break;
        }
        if (held != 0) queue_count_line(held);
        window_end_us_ = now_us + log_repeat_window_us;
        report_after_us_.store(window_end_us_, std::memory_order_release);
        allowed_ = 0;
    }
    if (allowed_ < log_repeat_per_second) {
        ++allowed_;
        log_last_allowed = this;
        return true;
    }
    // The first line held back in a second: the log thread must know to report it.
    if (pending_.fetch_add(1, std::memory_order_acq_rel) == 0) book_.wake();
    return false;
}

int64_t log_repeat_limit::report_if_due(int64_t now_us) {
    uint32_t held = pending_.load(std::memory_order_acquire);
    if (held == 0 || (held & claimed) != 0) return 0;
    // Read after the count: a count of a newer second comes with that second's end.
    const int64_t after_us = report_after_us_.load(std::memory_order_acquire);
    if (now_us < after_us) return after_us;
    if (!pending_.compare_exchange_strong(held, claimed, std::memory_order_acq_rel))
        return now_us;  // the owner moved meanwhile: look again at once
    queue_count_line(held);
    const uint32_t left = pending_.fetch_and(~claimed, std::memory_order_acq_rel) & ~claimed;
    return left != 0 ? now_us : 0;
}

void log_repeat_limit::queue_count_line(uint32_t count) {
    char line[160];
    int n = 0;
    if (number_ >= 0)
        n = snprintf(line, sizeof line, "[log] %s %d: %u more not shown (at most %u a second)\n",
                     kind_, number_, count, log_repeat_per_second);
    else
        n = snprintf(line, sizeof line, "[log] %s: %u more not shown (at most %u a second)\n",
                     kind_, count, log_repeat_per_second);
    if (n <= 0) return;
    size_t length = static_cast<size_t>(n);
    if (length >= sizeof line) {
        length = sizeof line - 1;
        line[length - 1] = '\n';
    }
    book_.emit(stream_.load(std::memory_order_relaxed), line, length);
}
