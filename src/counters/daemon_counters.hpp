#pragma once
// What the daemon did since it started, in groups by the thread that writes them. Each group is
// written by its thread alone and read by any (the status reply, the notify and log summaries).
#include <atomic>
#include <cstdint>

#include "event_counter.hpp"

// The transfer thread.
struct intake_counters {
    event_counter transfers;          // transfers that returned bytes
    event_counter transfer_failures;  // transfers the device failed
    event_counter raw_queue_drops;    // transfers dropped because the raw queue was full
    // Monotonic time of the last transfer that returned bytes; 0 before the first.
    std::atomic<int64_t> last_transfer_us{0};
};

// The frame processor thread.
struct frame_counters {
    event_counter stored;
    // Refused frames, one count per reason, even where two reasons share a log line.
    event_counter refused_sync;
    event_counter refused_length;
    event_counter refused_crc;
    // A frame whose sequence number is not the expected one is still stored: the gap and the
    // frames it skipped are counted here.
    event_counter sequence_gaps;
    event_counter gap_frames;
    // Unread frames the writer lapped while a client was connected (with nobody connected
    // nobody reads, and the first client starts at live anyway).
    event_counter ring_overwrites;
};

// The server thread: totals over every connection (each connection's own figures live in its
// client entry), and how many clients are connected now.
struct stream_counters {
    std::atomic<int32_t> clients{0};
    event_counter frames_sent;
    event_counter bytes_sent;
    event_counter frames_skipped;
    event_counter timeouts;
    event_counter at_commands;
};

// The NAN decision thread.
struct nan_counters {
    event_counter peers_seen;           // peers new to the connection table
    event_counter data_paths_answered;  // requests accepted and answered
    event_counter data_paths_refused;   // requests refused (a group address, not allowed)
};

struct daemon_counters {
    daemon_counters();
    int64_t started_us;  // monotonic
    intake_counters intake;
    frame_counters frames;
    stream_counters stream;
    nan_counters nan;
};

// The daemon's counters.
extern daemon_counters counters;
