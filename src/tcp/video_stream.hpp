#pragma once
// The streaming tick: one frame of the video ring to every connected client, then the client
// time-outs. Runs on the TCP server thread whenever a loop wait passes without an event.
#include <atomic>
#include <cstdint>

#include "client_table.hpp"
#include "spi_link.hpp"

constexpr int send_timeout_pause_us = 100000;  // after a video send time-out
constexpr int video_send_retries = 1;          // shown as "retry 1/1"; the frame is not resent
constexpr int timeout_count_shown_limit = 1;   // shown as "count: n/1"; nothing compares with it
constexpr int64_t silence_limit_s = 13;        // a client silent for longer is closed
constexpr int silence_reported_s = 14;         // what the close lines report

class video_streamer {
public:
    // send_timeout_ms is video_send_timeout_ms in the daemon; tests shorten it.
    video_streamer(frame_ring& ring, client_registry& clients, const std::atomic<int>& suspended,
                   int send_timeout_ms = video_send_timeout_ms)
        : ring_(ring), clients_(clients), suspended_(suspended), send_timeout_ms_(send_timeout_ms) {}

    void tick();

private:
    bool offer_frame(uint32_t length);
    void send_failed(int index, int fd, int error);
    void count_send_timeout(int index, int fd);
    void sweep_silent_clients();

    frame_ring& ring_;
    client_registry& clients_;
    const std::atomic<int>& suspended_;
    int send_timeout_ms_;
    // The frame is copied out under the ring's mutex so the producer cannot change it mid-send.
    uint8_t payload_[frame_max_payload];
};
