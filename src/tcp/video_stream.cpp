// All clients share the ring's one read position: a frame is consumed once at least one client
// has it whole; a client that cannot take it then (it still owes a rest or a reply) misses it.
#include "video_stream.hpp"

#include "log.hpp"

void video_streamer::tick() {
    if (suspended_.load() != 0) return;
    const int64_t now_us = clock_.now_us();
    const int waiting = ring_.copy_payloads(batch_, lengths_, send_batch_frames);
    // No video is no sign of a dead client: time-outs wait for video to flow, which it did when
    // a frame waits now or one left since the last tick (at once, on its wake-up).
    const bool flowed = consumed_ != consumed_at_tick_;
    if (waiting == 0 && !flowed) return;
    writer_.check_time_outs(now_us);
    drain(waiting, now_us);
    sweep_silent_clients(now_us);
    consumed_at_tick_ = consumed_;
}

void video_streamer::send_waiting() {
    if (suspended_.load() != 0) return;
    drain(ring_.copy_payloads(batch_, lengths_, send_batch_frames), clock_.now_us());
}

// At most one lap, so a producer as fast as the sends cannot keep the server here. The first
// batch (count frames from the read position) is in batch_ already.
void video_streamer::drain(int count, int64_t now_us) {
    for (int passed = 0; count > 0 && passed < video_ring_slots;) {
        const int taken = deliver(count, now_us);
        for (int i = 0; i < taken; ++i) ring_.advance_read();
        consumed_ += taken;
        passed += taken;
        if (taken < count) return;
        count = ring_.copy_payloads(batch_, lengths_, send_batch_frames);
    }
}

// Offers the batch to every client that can take it now, each from the first frame it was not
// handed yet, in one call. Returns how many of its frames are consumed: in order, each one that
// someone has whole; an empty frame once someone could have had it.
int video_streamer::deliver(int count, int64_t now_us) {
    bool someone = false;
    for (int i = 0; i < max_clients; ++i) {
        const client& out = clients_.at(i);
        if (!out.connected()) continue;
        someone = true;
        // Frames handed over earlier (as a rest) are consumed once that rest is out.
        const int64_t first = out.given_frames > consumed_ ? out.given_frames - consumed_ : 0;
        if (first >= count || lengths_[0] == 0 || !writer_.ready_for_frames(i, now_us)) continue;
        writer_.offer_frames(i, batch_ + first, lengths_ + first,
                             count - static_cast<int>(first), consumed_ + first, now_us);
    }
    if (lengths_[0] == 0) return someone ? 1 : 0;
    int taken = 0;
    while (taken < count && someone_has_whole(consumed_ + taken)) ++taken;
    count_skips(taken);
    return taken;
}

// The batch's first `taken` frames are consumed: each client missed those it was not handed.
void video_streamer::count_skips(int taken) {
    const int64_t end = consumed_ + taken;
    for (int i = 0; i < max_clients; ++i) {
        const client& c = clients_.at(i);
        if (!c.connected()) continue;
        const int64_t given = c.given_frames;
        const int64_t from = given > consumed_ ? given : consumed_;
        if (end > from) clients_.count_skipped(i, static_cast<uint64_t>(end - from));
    }
}

bool video_streamer::someone_has_whole(int64_t frame) const {
    for (int i = 0; i < max_clients; ++i) {
        const client& c = clients_.at(i);
        if (c.connected() && c.whole_frames > frame) return true;
    }
    return false;
}

// Frames passed over this way are no sign that video flows.
void video_streamer::catch_up_to_live() {
    const uint16_t passed = ring_.skip_to_write();
    consumed_ += passed;
    consumed_at_tick_ += passed;
}

void video_streamer::sweep_silent_clients(int64_t now_us) {
    const int64_t now_s = now_us / 1000000;
    for (int i = 0; i < max_clients; ++i) {
        const client& c = clients_.at(i);
        if (!c.connected() || !silent_too_long(c, now_s)) continue;
        log_err("Client %d (fd %d): Connection timeout (no comm for %d sec), close connection\n", i,
                c.fd, silence_reported_s);
        clients_.close(i);
    }
}
