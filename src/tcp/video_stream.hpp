#pragma once
// Every frame waiting in the video ring, in order, to every client that can take it now: as soon
// as the processor stores one (send_waiting, on its wake-up), and on the streaming tick with the
// client time-outs and the silence sweep (every loop_wait_ms, whatever events arrive). Server
// thread only.
#include <atomic>
#include <cstdint>

#include "client_table.hpp"
#include "client_writer.hpp"
#include "frame_format.hpp"
#include "mono_clock.hpp"
#include "video_ring.hpp"

class video_streamer {
public:
    // clock measures the time-outs and the silence.
    video_streamer(frame_ring& ring, client_table& clients, const std::atomic<int>& suspended,
                   mono_clock_source& clock)
        : ring_(ring),
          clients_(clients),
          suspended_(suspended),
          clock_(clock),
          writer_(clients) {}

    void tick();
    // The frames waiting now, without the time-outs and the sweep.
    void send_waiting();
    // The read position moves to the write position: a client that comes while nobody else is
    // connected starts at live, not at what an earlier lap left.
    void catch_up_to_live();

    client_writer& writer() { return writer_; }

private:
    void drain(int count, int64_t now_us);
    int deliver(int count, int64_t now_us);
    bool someone_has_whole(int64_t frame) const;
    void count_skips(int taken);
    void sweep_silent_clients(int64_t now_us);

    frame_ring& ring_;
    client_table& clients_;
    const std::atomic<int>& suspended_;
    mono_clock_source& clock_;
    client_writer writer_;
    // Frames consumed so far: the frame at the read position is number consumed_ on this count,
    // which is how a client's output knows what it already has.
    int64_t consumed_ = 0;
    int64_t consumed_at_tick_ = 0;  // consumed_ when the last tick ended
    // Frames are copied out under the ring's mutex so the producer cannot change one mid-send;
    // a client gets as many of them as its socket takes in one call.
    uint8_t batch_[send_batch_frames][frame_max_payload];
    uint32_t lengths_[send_batch_frames];
};
