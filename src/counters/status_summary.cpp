// Rates and losses over a recent window, from readings of the counters kept along the way.
#include "status_summary.hpp"

#include <cinttypes>
#include <cstdio>

#include "log.hpp"
#include "mono_clock.hpp"

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

bool counters_moved(const status_snapshot& a, const status_snapshot& b) {
    return a.spi_transfers != b.spi_transfers || a.spi_transfer_failures != b.spi_transfer_failures ||
           a.frames_stored != b.frames_stored || a.frames_lost() != b.frames_lost() ||
           a.frames_bad() != b.frames_bad() || a.clients != b.clients ||
           a.client_frames_sent != b.client_frames_sent || a.client_timeouts != b.client_timeouts ||
           a.at_commands != b.at_commands || a.nan_peers_seen != b.nan_peers_seen ||
           a.nan_data_paths_answered != b.nan_data_paths_answered ||
           a.nan_data_paths_refused != b.nan_data_paths_refused;
}

}  // namespace

status_window::status_window(int64_t span_s, int64_t started_us)
    : span_us_(span_s * 1000000) {
    history_[0].at_us = started_us;
}

status_window::reading status_window::reading_of(const status_snapshot& s) {
    reading r;
    r.at_us = s.now_us;
    r.stored = s.frames_stored;
    r.sent = s.client_frames_sent;
    r.raw_drops = s.raw_queue_drops;
    r.gap_frames = s.sequence_gap_frames;
    r.ring_overwrites = s.ring_overwrites;
    r.client_skips = s.client_frames_skipped;
    r.sync = s.frames_refused_sync;
    r.length = s.frames_refused_length;
    r.crc = s.frames_refused_crc;
    return r;
}

// The newest reading at least a span old; while the history is younger, the oldest one.
status_window::reading status_window::window_start(const reading& now) {
    reading start = history_[(newest_ - (count_ - 1) + history_size) % history_size];
    for (int age = 0; age < count_; ++age) {
        const reading& r = history_[(newest_ - age + history_size) % history_size];
        if (now.at_us - r.at_us >= span_us_) {
            start = r;
            break;
        }
    }
    if (now.at_us - history_[newest_].at_us >= span_us_ / readings_per_span) {
        newest_ = (newest_ + 1) % history_size;
        history_[newest_] = now;
        if (count_ < history_size) ++count_;
    }
    return start;
}

status_window::reading status_window::over_window(const status_snapshot& s) {
    const reading now = reading_of(s);
    const reading start = window_start(now);
    reading d;
    d.at_us = now.at_us - start.at_us;
    d.stored = now.stored - start.stored;
    d.sent = now.sent - start.sent;
    d.raw_drops = now.raw_drops - start.raw_drops;
    d.gap_frames = now.gap_frames - start.gap_frames;
    d.ring_overwrites = now.ring_overwrites - start.ring_overwrites;
    d.client_skips = now.client_skips - start.client_skips;
    d.sync = now.sync - start.sync;
    d.length = now.length - start.length;
    d.crc = now.crc - start.crc;
    return d;
}

size_t status_window::summary(const status_snapshot& s, char* out, size_t size) {
    if (size == 0) return 0;
    const reading d = over_window(s);
    const int n = snprintf(out, size, "%d client%s, %.1f frames/s in, %" PRIu64 " lost, %" PRIu64
                           " bad in the last %" PRId64 " s",
                           s.clients, s.clients == 1 ? "" : "s", per_second(d.stored, d.at_us),
                           d.lost(), d.bad(), rounded_seconds(d.at_us));
    return append_bus_idle(s, out, clipped(n, size), size);
}

size_t status_window::log_line(const status_snapshot& s, char* out, size_t size) {
    if (size == 0) return 0;
    const reading d = over_window(s);
    const int n = snprintf(out, size,
                           "Status: %d client%s, %.1f frames/s in, %.1f frames/s out, %" PRIu64
                           " lost (raw queue %" PRIu64 ", sequence gaps %" PRIu64 ", ring %" PRIu64
                           ", busy clients %" PRIu64 "), %" PRIu64 " bad (sync %" PRIu64
                           ", length %" PRIu64 ", CRC %" PRIu64 ") in the last %" PRId64 " s",
                           s.clients, s.clients == 1 ? "" : "s", per_second(d.stored, d.at_us),
                           per_second(d.sent, d.at_us), d.lost(), d.raw_drops, d.gap_frames,
                           d.ring_overwrites, d.client_skips, d.bad(), d.sync, d.length, d.crc,
                           rounded_seconds(d.at_us));
    return append_bus_idle(s, out, clipped(n, size), size);
}

size_t status_summary(char* out, size_t size) {
    static status_window window(status_summary_span_s, counters.started_us);
    return window.summary(read_status(counters, mono_now_us()), out, size);
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

void status_log_tick() {
    static status_log log(counters.started_us);
    log.tick(read_status(counters, mono_now_us()));
}
