#pragma once
// Every counter the daemon keeps, once. A line is X(group, name, key, moved, meaning): the group
// (named for the thread that writes it) holds it as `name`, the status reply and the snapshot
// show it as `key`, and `moved` says whether it counts as activity for the log's minute line.
// The groups, the snapshot, its reading, the status reply, the summaries and the activity test
// are all made from these lists, in this order, so a new counter is one line here and its
// increment where the event happens.

// The transfer thread; the status shows the bus's idle time after these.
#define NANVIDEO_BUS_COUNTERS(X)                                                              \
    X(intake, transfers, spi_transfers, true, "transfers that returned bytes")                \
    X(intake, transfer_failures, spi_transfer_failures, true, "transfers the device failed")

// The transfer thread, too.
#define NANVIDEO_QUEUE_COUNTERS(X) \
    X(intake, raw_queue_drops, raw_queue_drops, true, "transfers dropped, the raw queue full")

// The frame processor thread. Refused frames count once per reason, even where two reasons
// share a log line. A frame whose sequence number is not the expected one is still stored: the
// gap and the frames it skipped are counted. Overwrites are unread frames the writer lapped
// while a client was connected (with nobody connected nobody reads).
#define NANVIDEO_FRAME_COUNTERS(X)                                                       \
    X(frames, stored, frames_stored, true, "frames stored in the ring")                  \
    X(frames, refused_sync, frames_refused_sync, true, "frames refused: sync word")      \
    X(frames, refused_length, frames_refused_length, true, "frames refused: length")     \
    X(frames, refused_crc, frames_refused_crc, true, "frames refused: CRC")              \
    X(frames, sequence_gaps, sequence_gaps, false, "sequence numbers not the expected") \
    X(frames, gap_frames, sequence_gap_frames, true, "frames those gaps skipped")         \
    X(frames, ring_overwrites, ring_overwrites, true, "unread frames lapped in the ring")

// The server thread: totals over every connection (each connection's own figures are its
// client's).
#define NANVIDEO_STREAM_COUNTERS(X)                                                        \
    X(stream, frames_sent, total_frames_sent, true, "whole frames out")                    \
    X(stream, bytes_sent, total_bytes_sent, false, "every byte out: video and replies")    \
    X(stream, frames_skipped, total_frames_skipped, true, "frames a busy client missed")   \
    X(stream, timeouts, total_timeouts, true, "video send time-outs")                      \
    X(stream, at_commands, total_at_commands, true, "chunks received and taken as commands")

// The NAN decision thread.
#define NANVIDEO_NAN_COUNTERS(X)                                                            \
    X(nan, peers_seen, nan_peers_seen, true, "peers new to the connection table")           \
    X(nan, data_paths_answered, nan_data_paths_answered, true, "requests accepted, answered") \
    X(nan, data_paths_refused, nan_data_paths_refused, true, "requests refused")

#define NANVIDEO_ALL_COUNTERS(X)                                                        \
    NANVIDEO_BUS_COUNTERS(X) NANVIDEO_QUEUE_COUNTERS(X) NANVIDEO_FRAME_COUNTERS(X) \
    NANVIDEO_STREAM_COUNTERS(X) NANVIDEO_NAN_COUNTERS(X)

#define NANVIDEO_COUNTER_MEMBER(group, name, key, moved, meaning) event_counter name;
