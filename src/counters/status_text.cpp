// The status reply: one "key=value" line per counter, in a fixed order. The keys are the ones
// the README lists; scripts and nanvideoctl rely on them, so a key is never renamed.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "status_snapshot.hpp"

namespace {

class text_builder {
public:
    text_builder(char* out, size_t size) : out_(out), size_(size) {}

    void line(const char* key, uint64_t value) { add("%s=%" PRIu64 "\r\n", key, value); }
    void line(const char* key, int64_t value) { add("%s=%" PRId64 "\r\n", key, value); }
    void client_line(int slot, const char* key, uint64_t value) {
        add("client%d_%s=%" PRIu64 "\r\n", slot, key, value);
    }
    void text(const char* t) { add("%s", t); }
    size_t finish() const { return failed_ ? 0 : used_; }

private:
    __attribute__((format(printf, 2, 3))) void add(const char* format, ...) {
        if (failed_) return;
        va_list args;
        va_start(args, format);
        const int n = vsnprintf(out_ + used_, size_ - used_, format, args);
        va_end(args);
        if (n < 0 || static_cast<size_t>(n) >= size_ - used_) {
            failed_ = true;
            return;
        }
        used_ += static_cast<size_t>(n);
    }

    char* out_;
    size_t size_;
    size_t used_ = 0;
    bool failed_ = false;
};

void client_lines(text_builder& b, int slot, const client_status& c, int64_t now_us) {
    const int64_t connected_s = c.connected ? (now_us - c.counts.connected_us) / 1000000 : 0;
    b.client_line(slot, "connected", c.connected ? 1 : 0);
    b.client_line(slot, "connection", c.connection);
    b.client_line(slot, "connected_s", static_cast<uint64_t>(connected_s > 0 ? connected_s : 0));
    b.client_line(slot, "frames_sent", c.counts.frames_sent);
    b.client_line(slot, "bytes_sent", c.counts.bytes_sent);
    b.client_line(slot, "frames_skipped", c.counts.frames_skipped);
    b.client_line(slot, "timeouts", c.counts.timeouts);
    b.client_line(slot, "at_commands", c.counts.at_commands);
}

}  // namespace

status_snapshot read_status(const daemon_counters& c, int64_t now_us) {
    status_snapshot s;
    s.now_us = now_us;
    s.started_us = c.started_us;
    s.spi_transfers = c.intake.transfers.value();
    s.spi_transfer_failures = c.intake.transfer_failures.value();
    s.last_transfer_us = c.intake.last_transfer_us.load(std::memory_order_relaxed);
    s.raw_queue_drops = c.intake.raw_queue_drops.value();
    s.frames_stored = c.frames.stored.value();
    s.frames_refused_sync = c.frames.refused_sync.value();
    s.frames_refused_length = c.frames.refused_length.value();
    s.frames_refused_crc = c.frames.refused_crc.value();
    s.sequence_gaps = c.frames.sequence_gaps.value();
    s.sequence_gap_frames = c.frames.gap_frames.value();
    s.ring_overwrites = c.frames.ring_overwrites.value();
    s.clients = c.stream.clients.load(std::memory_order_relaxed);
    s.client_frames_sent = c.stream.frames_sent.value();
    s.client_bytes_sent = c.stream.bytes_sent.value();
    s.client_frames_skipped = c.stream.frames_skipped.value();
    s.client_timeouts = c.stream.timeouts.value();
    s.at_commands = c.stream.at_commands.value();
    s.nan_peers_seen = c.nan.peers_seen.value();
    s.nan_data_paths_answered = c.nan.data_paths_answered.value();
    s.nan_data_paths_refused = c.nan.data_paths_refused.value();
    return s;
}

size_t format_status_reply(const status_snapshot& s, char* out, size_t size) {
    text_builder b(out, size);
    b.line("uptime_s", s.uptime_s());
    b.line("spi_transfers", s.spi_transfers);
    b.line("spi_transfer_failures", s.spi_transfer_failures);
    b.line("bus_idle_s", s.bus_idle_s());
    b.line("raw_queue_drops", s.raw_queue_drops);
    b.line("frames_stored", s.frames_stored);
    b.line("frames_refused_sync", s.frames_refused_sync);
    b.line("frames_refused_length", s.frames_refused_length);
    b.line("frames_refused_crc", s.frames_refused_crc);
    b.line("sequence_gaps", s.sequence_gaps);
    b.line("sequence_gap_frames", s.sequence_gap_frames);
    b.line("ring_overwrites", s.ring_overwrites);
    b.line("video_suspended", static_cast<uint64_t>(s.video_suspended ? 1 : 0));
    b.line("clients", static_cast<uint64_t>(s.clients));
    for (int i = 0; i < status_client_slots; ++i) client_lines(b, i, s.client[i], s.now_us);
    b.line("total_frames_sent", s.client_frames_sent);
    b.line("total_bytes_sent", s.client_bytes_sent);
    b.line("total_frames_skipped", s.client_frames_skipped);
    b.line("total_timeouts", s.client_timeouts);
    b.line("total_at_commands", s.at_commands);
    b.line("nan_peers_seen", s.nan_peers_seen);
    b.line("nan_data_paths_answered", s.nan_data_paths_answered);
    b.line("nan_data_paths_refused", s.nan_data_paths_refused);
    b.text("OK\r\n");
    return b.finish();
}
