#pragma once
// One reading of every counter, as plain numbers, and the texts made from it. The formatting is
// pure: the status reply, the notify summary and the log line are made from a snapshot and a
// time, so tests give them any figures they like.
#include <cstddef>
#include <cstdint>

#include "daemon_counters.hpp"

// The client slots the status shows; the server's table has as many.
constexpr int status_client_slots = 4;

// One connection's figures, kept in its client entry by the server thread alone.
struct client_counters {
    int64_t connected_us = 0;  // monotonic
    uint64_t frames_sent = 0;     // whole frames out
    uint64_t bytes_sent = 0;      // every byte out: video and replies
    uint64_t frames_skipped = 0;  // frames passed over while its output was still busy
    uint64_t timeouts = 0;        // video send time-outs
    uint64_t at_commands = 0;     // chunks received and taken as commands
};

struct client_status {
    bool connected = false;
    uint32_t connection = 0;  // which accepted connection holds the slot
    client_counters counts;
};

struct status_snapshot {
    int64_t now_us = 0;
    int64_t started_us = 0;
    uint64_t spi_transfers = 0;
    uint64_t spi_transfer_failures = 0;
    int64_t last_transfer_us = 0;  // 0: none yet
    uint64_t raw_queue_drops = 0;
    uint64_t frames_stored = 0;
    uint64_t frames_refused_sync = 0;
    uint64_t frames_refused_length = 0;
    uint64_t frames_refused_crc = 0;
    uint64_t sequence_gaps = 0;
    uint64_t sequence_gap_frames = 0;
    uint64_t ring_overwrites = 0;
    bool video_suspended = false;
    int clients = 0;
    uint64_t client_frames_sent = 0;  // over every connection, closed ones too
    uint64_t client_bytes_sent = 0;
    uint64_t client_frames_skipped = 0;
    uint64_t client_timeouts = 0;
    uint64_t at_commands = 0;
    client_status client[status_client_slots];
    uint64_t nan_peers_seen = 0;
    uint64_t nan_data_paths_answered = 0;
    uint64_t nan_data_paths_refused = 0;

    int64_t uptime_s() const { return (now_us - started_us) / 1000000; }
    // Seconds since the last transfer that brought bytes (since the start before the first).
    int64_t bus_idle_s() const {
        return (now_us - (last_transfer_us != 0 ? last_transfer_us : started_us)) / 1000000;
    }
    // Frames that did not reach a reader: dropped from the raw queue, missing at a sequence gap,
    // lapped in the ring, passed over by a busy client.
    uint64_t frames_lost() const {
        return raw_queue_drops + sequence_gap_frames + ring_overwrites + client_frames_skipped;
    }
    uint64_t frames_bad() const {
        return frames_refused_sync + frames_refused_length + frames_refused_crc;
    }
};

// Every counter of c at now_us; the per-client slots stay empty (the server thread fills them
// from its table).
status_snapshot read_status(const daemon_counters& c, int64_t now_us);

// The reply to "AT+AB status": "key=value\r\n" per counter, then "OK\r\n". Never cut: a buffer
// of status_reply_size holds the longest. Returns the length (or 0 when size is too small).
constexpr size_t status_reply_size = 4096;
size_t format_status_reply(const status_snapshot& s, char* out, size_t size);
