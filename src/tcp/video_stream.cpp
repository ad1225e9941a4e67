// All clients share the ring's one read position: a frame is consumed once at least one client
// has it whole; a client that cannot take it then (it still owes a rest or a reply) misses it.
#include "video_stream.hpp"

#include <unistd.h>

#include <cstdio>

#include "mono_clock.hpp"
#include "log.hpp"

void video_streamer::tick() {
    if (suspended_.load() != 0) return;
    const int64_t now_us = mono_now_us();
    uint32_t length = 0;
    // An empty ring is no sign of a dead client: time-outs wait for video to flow.
    if (!ring_.copy_next_payload(payload_, &length)) return;
    writer_.check_time_outs(now_us);
    // Drain: at most one lap, so a producer as fast as the sends cannot keep the tick here.
    for (int i = 0; i < video_ring_slots; ++i) {
        if (!deliver(length, now_us)) break;
        ring_.advance_read();
        ++consumed_;
        if (!ring_.copy_next_payload(payload_, &length)) break;
    }
    sweep_silent_clients(now_us);
}

// Offers the frame at the read position; true when it is consumed.
bool video_streamer::deliver(uint32_t length, int64_t now_us) {
    bool someone = false;
    bool whole = false;
    for (int i = 0; i < max_clients; ++i) {
        const client_entry entry = clients_.read(i);
        if (entry.active == 0 || entry.fd <= 0) continue;
        someone = true;
        const client_output& out = clients_.outputs[i];
        if (out.given_frames > consumed_) {
            // Handed over earlier as a rest: consumed once that rest is out.
            if (out.whole_frames > consumed_) whole = true;
            continue;
        }
        if (length == 0 || !writer_.ready_for_frames(i, now_us)) continue;
        if (writer_.offer_frame(i, entry.fd, payload_, length, consumed_, now_us) ==
            frame_take::whole) {
            whole = true;
        }
    }
    // An empty frame has nothing to send; it is passed over once someone could have had it.
    if (length == 0) return someone;
    if (whole) count_skips();
    return whole;
}

// The frame at the read position is consumed: every client not handed it missed it.
void video_streamer::count_skips() {
    for (int i = 0; i < max_clients; ++i) {
        const client_entry& entry = clients_.read(i);
        if (entry.active == 0 || entry.fd <= 0) continue;
        if (clients_.outputs[i].given_frames <= consumed_) clients_.count_skipped(i);
    }
}

void video_streamer::catch_up_to_live() { consumed_ += ring_.skip_to_write(); }

void video_streamer::sweep_silent_clients(int64_t now_us) {
    const int64_t now_s = now_us / 1000000;
    for (int i = 0; i < max_clients; ++i) {
        const client_entry entry = clients_.read(i);
        if (entry.active == 0 || entry.fd <= 0 || !silent_too_long(entry, now_s)) continue;
        log_err("Client %d (fd %d): Connection timeout (no comm for %d sec), close connection\n", i,
                entry.fd, silence_reported_s);
        writer_.close(i);
    }
}
