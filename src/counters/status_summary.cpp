// Rates and losses over a recent window, from readings of the counters kept along the way.
#include "status_summary.hpp"

#include <cinttypes>
#include <cstdio>

#include "log.hpp"

namespace {

constexpr double us_per_second = 1e6;
// A reading is kept at most this often, so the history always reaches back a whole span
// however often the caller asks.
constexpr int64_t readings_per_span = 8;

double per_second(uint64_t count, int64_t window_us) {
    return window_us > 0 ? static_cast<double>(count) * us_per_second / static_cast<double>(window_us)
                         : 0.0;
}

int64_t rounded_seconds(int64_t us) { return (us + 500000) / 1000000; }

size_t clipped(int n, size_t size) {
    if (n < 0) return 0;
    return static_cast<size_t>(n) < size ? static_cast<size_t>(n) : size - 1;
}

// ", bus idle N s" after the text already in out, when the bus has been quiet long enough.
size_t append_bus_idle(const status_snapshot& s, char* out, size_t used, size_t size) {
    if (s.bus_idle_s() < bus_idle_shown_s) return used;
    const int n = snprintf(out + used, size - used, ", bus idle %" PRId64 " s", s.bus_idle_s());
    return used + clipped(n, size - used);
}

}  // namespace

status_window::status_window(int64_t span_s, int64_t started_us)
    : span_us_(span_s * 1000000) {
    history_[0].now_us = started_us;
}

// The newest reading at least a span old; while the history is younger, the oldest one.
status_snapshot status_window::window_start(const status_snapshot& now) {
    status_snapshot start = history_[(newest_ - (count_ - 1) + history_size) % history_size];
    for (int age = 0; age < count_; ++age) {
        const status_snapshot& r = history_[(newest_ - age + history_size) % history_size];
        if (now.now_us - r.now_us >= span_us_) {
            start = r;
            break;
        }
    }
    if (now.now_us - history_[newest_].now_us >= span_us_ / readings_per_span) {
        newest_ = (newest_ + 1) % history_size;
        history_[newest_] = now;
        if (count_ < history_size) ++count_;
    }
    return start;
}

status_snapshot status_window::over_window(const status_snapshot& s) {
    return counters_since(s, window_start(s));
}

size_t status_window::summary(const status_snapshot& s, char* out, size_t size) {
    if (size == 0) return 0;
    const status_snapshot d = over_window(s);
    const int n = snprintf(out, size, "%d client%s, %.1f frames/s in, %" PRIu64 " lost, %" PRIu64
                           " bad in the last %" PRId64 " s",
                           s.clients, s.clients == 1 ? "" : "s", per_second(d.frames_stored, d.now_us),
                           d.frames_lost(), d.frames_bad(), rounded_seconds(d.now_us));
    return append_bus_idle(s, out, clipped(n, size), size);
}

size_t status_window::log_line(const status_snapshot& s, char* out, size_t size) {
    if (size == 0) return 0;
    const status_snapshot d = over_window(s);
    const int n = snprintf(out, size,
                           "Status: %d client%s, %.1f frames/s in, %.1f frames/s out, %" PRIu64
                           " lost (raw queue %" PRIu64 ", sequence gaps %" PRIu64 ", ring %" PRIu64
                           ", busy clients %" PRIu64 "), %" PRIu64 " bad (sync %" PRIu64
                           ", length %" PRIu64 ", CRC %" PRIu64 ") in the last %" PRId64 " s",
                           s.clients, s.clients == 1 ? "" : "s",
                           per_second(d.frames_stored, d.now_us),
                           per_second(d.total_frames_sent, d.now_us), d.frames_lost(),
                           d.raw_queue_drops, d.sequence_gap_frames, d.ring_overwrites,
                           d.total_frames_skipped, d.frames_bad(), d.frames_refused_sync,
                           d.frames_refused_length, d.frames_refused_crc, rounded_seconds(d.now_us));
    return append_bus_idle(s, out, clipped(n, size), size);
}

status_log::status_log(int64_t started_us)
    : window_(status_log_period_s, started_us),
      next_us_(started_us + status_log_period_s * 1000000) {
    last_.now_us = started_us;
    last_.started_us = started_us;
}

bool status_log::tick(const status_snapshot& now) {
    if (now.now_us < next_us_) return false;
    next_us_ = now.now_us + status_log_period_s * 1000000;
    char line[512];
    // The window moves on whether or not a line is printed, so a line always covers one period.
    const size_t length = window_.log_line(now, line, sizeof line);
    const bool moved = counters_moved(last_, now);
    last_ = now;
    if (!moved || length == 0) return false;
    log_out("%s\n", line);
    return true;
}
