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
#define NANVIDEO_CLIENT_LINE(group, name, key, moved, meaning) \
    b.client_line(slot, #name, c.counts.name);
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_CLIENT_LINE)
#undef NANVIDEO_CLIENT_LINE
}

}  // namespace

status_snapshot read_status(const daemon_counters& c, int64_t now_us) {
    status_snapshot s;
    s.now_us = now_us;
    s.started_us = c.started_us;
    s.last_transfer_us = c.intake.last_transfer_us.load(std::memory_order_relaxed);
    s.clients = c.stream.clients.load(std::memory_order_relaxed);
#define NANVIDEO_READ(group, name, key, moved, meaning) s.key = c.group.name.value();
    NANVIDEO_ALL_COUNTERS(NANVIDEO_READ)
#undef NANVIDEO_READ
    return s;
}

status_snapshot counters_since(const status_snapshot& later, const status_snapshot& earlier) {
    status_snapshot d = later;
    d.now_us = later.now_us - earlier.now_us;
#define NANVIDEO_GROWTH(group, name, key, moved, meaning) d.key = later.key - earlier.key;
    NANVIDEO_ALL_COUNTERS(NANVIDEO_GROWTH)
#undef NANVIDEO_GROWTH
    return d;
}

bool counters_moved(const status_snapshot& a, const status_snapshot& b) {
    bool moved_any = a.clients != b.clients;
#define NANVIDEO_MOVED(group, name, key, moved, meaning) moved_any |= moved && a.key != b.key;
    NANVIDEO_ALL_COUNTERS(NANVIDEO_MOVED)
#undef NANVIDEO_MOVED
    return moved_any;
}

size_t format_status_reply(const status_snapshot& s, char* out, size_t size) {
    text_builder b(out, size);
#define NANVIDEO_LINE(group, name, key, moved, meaning) b.line(#key, s.key);
    b.line("uptime_s", s.uptime_s());
    NANVIDEO_BUS_COUNTERS(NANVIDEO_LINE)
    b.line("bus_idle_s", s.bus_idle_s());
    NANVIDEO_QUEUE_COUNTERS(NANVIDEO_LINE)
    NANVIDEO_FRAME_COUNTERS(NANVIDEO_LINE)
    b.line("video_suspended", static_cast<uint64_t>(s.video_suspended ? 1 : 0));
    b.line("clients", static_cast<uint64_t>(s.clients));
    for (int i = 0; i < status_client_slots; ++i) client_lines(b, i, s.client[i], s.now_us);
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_LINE)
    NANVIDEO_NAN_COUNTERS(NANVIDEO_LINE)
#undef NANVIDEO_LINE
    b.text("OK\r\n");
    return b.finish();
}
