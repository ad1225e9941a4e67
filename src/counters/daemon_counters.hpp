#pragma once
// What the daemon did since it started, in groups by the thread that writes them. Each group is
// written by its thread alone and read by any (the status reply, the notify and log summaries).
#include <atomic>
#include <cstdint>

#include "counter_list.hpp"
#include "event_counter.hpp"
#include "mono_clock.hpp"

struct intake_counters {
    NANVIDEO_BUS_COUNTERS(NANVIDEO_COUNTER_MEMBER)
    NANVIDEO_QUEUE_COUNTERS(NANVIDEO_COUNTER_MEMBER)
    // Monotonic time of the last transfer that returned bytes; 0 before the first.
    std::atomic<int64_t> last_transfer_us{0};
};

struct frame_counters {
    NANVIDEO_FRAME_COUNTERS(NANVIDEO_COUNTER_MEMBER)
};

struct stream_counters {
    std::atomic<int32_t> clients{0};
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_COUNTER_MEMBER)
};

struct nan_counters {
    NANVIDEO_NAN_COUNTERS(NANVIDEO_COUNTER_MEMBER)
};

struct daemon_counters {
    int64_t started_us = mono_now_us();
    intake_counters intake;
    frame_counters frames;
    stream_counters stream;
    nan_counters nan;
};
