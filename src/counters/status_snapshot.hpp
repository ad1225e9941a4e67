#pragma once
// One reading of every counter, as plain numbers, and the texts made from it. The formatting is
// pure: the status reply, the notify summary and the log line are made from a snapshot and a
// time, so tests give them any figures they like.
#include <cstddef>
#include <cstdint>

#include "daemon_counters.hpp"

// The client slots the status shows; the server's table has as many.
constexpr int status_client_slots = 4;

#define NANVIDEO_CLIENT_FIELD(group, name, key, moved, meaning) uint64_t name = 0;

// One connection's figures, kept in its client entry by the server thread alone: the stream's
// counters under their own names.
struct client_counters {
    int64_t connected_us = 0;  // monotonic
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_CLIENT_FIELD)
};

struct client_status {
    bool connected = false;
    uint32_t connection = 0;  // which accepted connection holds the slot
    client_counters counts;
};

#define NANVIDEO_SNAPSHOT_FIELD(group, name, key, moved, meaning) uint64_t key = 0;

struct status_snapshot {
    int64_t now_us = 0;
    int64_t started_us = 0;
    int64_t last_transfer_us = 0;  // 0: none yet
    bool video_suspended = false;
    int clients = 0;
    client_status client[status_client_slots];
    // Every counter, under its status key (the stream's totals count closed connections too).
    NANVIDEO_ALL_COUNTERS(NANVIDEO_SNAPSHOT_FIELD)

    int64_t uptime_s() const { return (now_us - started_us) / 1000000; }
    // Seconds since the last transfer that brought bytes (since the start before the first).
    int64_t bus_idle_s() const {
        return (now_us - (last_transfer_us != 0 ? last_transfer_us : started_us)) / 1000000;
    }
    // Frames that did not reach a reader: dropped from the raw queue, missing at a sequence gap,
    // lapped in the ring, passed over by a busy client.
    uint64_t frames_lost() const {
        return raw_queue_drops + sequence_gap_frames + ring_overwrites + total_frames_skipped;
    }
    uint64_t frames_bad() const {
        return frames_refused_sync + frames_refused_length + frames_refused_crc;
    }
};

// Every counter of c at now_us; the per-client slots stay empty (the server thread fills them
// from its table).
status_snapshot read_status(const daemon_counters& c, int64_t now_us);
// Each counter's growth from `earlier` to `later`, over the time between them (now_us).
status_snapshot counters_since(const status_snapshot& later, const status_snapshot& earlier);
// Whether a counter that counts as activity, or the number of clients, changed.
bool counters_moved(const status_snapshot& a, const status_snapshot& b);

// The reply to "AT+AB status": "key=value\r\n" per counter, then "OK\r\n". Never cut: a buffer
// of status_reply_size holds the longest. Returns the length (or 0 when size is too small).
constexpr size_t status_reply_size = 4096;
size_t format_status_reply(const status_snapshot& s, char* out, size_t size);
