#pragma once
// The streaming tick: every frame waiting in the video ring, in order, to every client that can
// take it now, then the client time-outs. Runs on the TCP server thread every loop_wait_ms,
// whatever events arrive.
#include <atomic>
#include <cstdint>

#include "client_table.hpp"
#include "client_writer.hpp"
#include "spi_link.hpp"

class video_streamer {
public:
    // send_timeout_ms is video_send_timeout_ms in the daemon: how long a client's rest may
    // wait before the time-out lines.
    video_streamer(frame_ring& ring, client_registry& clients, reply_outbox& replies,
                   const std::atomic<int>& suspended, int send_timeout_ms = video_send_timeout_ms)
        : ring_(ring), clients_(clients), suspended_(suspended),
          writer_(clients, replies, send_timeout_ms, &suspended) {}

    void tick();
    // The read position moves to the write position: a client that comes while nobody else is
    // connected starts at live, not at what an earlier lap left.
    void catch_up_to_live();

    client_writer& writer() { return writer_; }

private:
    bool deliver(uint32_t length, int64_t now_us);
    void count_skips();
    void sweep_silent_clients(int64_t now_us);

    frame_ring& ring_;
    client_registry& clients_;
    const std::atomic<int>& suspended_;
    client_writer writer_;
    // Frames consumed so far: the frame at the read position is number consumed_ on this count,
    // which is how a client's output knows what it already has.
    int64_t consumed_ = 0;
    // The frame is copied out under the ring's mutex so the producer cannot change it mid-send.
    uint8_t payload_[frame_max_payload];
};
