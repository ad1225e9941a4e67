#pragma once
// The table of connected TCP clients and what each is owed on its socket. The server thread is
// its only owner: it accepts, reads, writes and closes, so nothing here takes a lock. The
// command thread never sees the table; it reaches a client only through the reply outbox.
#include <cstdint>

#include "client_output.hpp"
#include "daemon_counters.hpp"
#include "status_snapshot.hpp"

constexpr int max_clients = 4;
static_assert(max_clients == status_client_slots);

// Per-client counters, kept beside the entry they count for (server thread, like the entry).
using client_stats = client_counters;

// A slot is free when active is 0; fd is then -1. The index is the client number in log lines.
struct client_entry {
    int32_t fd = -1;
    int32_t active = 0;
    int64_t last_activity = 0;  // monotonic whole seconds of the last byte out or in
    int32_t timeout_count = 0;  // video send time-outs since the last whole video send
    uint32_t connection = 0;    // which accepted connection holds the entry; 0 when free
    client_stats stats{};
};

void set_entry_free(client_entry& entry);

class client_registry {
public:
    client_entry entries[max_clients];
    // What each entry's client is owed on its socket.
    client_output outputs[max_clients];
    // The last connection number given out.
    uint32_t last_connection = 0;
    // The daemon's totals over every connection, which the entries' own counters feed.
    stream_counters* totals = &counters.stream;

    // Sets every entry free.
    void clear();
    const client_entry& read(int index) const { return entries[index]; }
    // Number of entries holding a connection (active, with a socket above 0).
    int connected() const;
    // The entry holding fd and its connection number, or -1.
    int find(int fd, uint32_t* connection) const;
    // Something went out to, or came in from, the client in entry index; a whole video frame
    // also clears its time-out count.
    void mark_alive(int index, int64_t now_s, bool whole_frame);

    // ---- counting (client_stats.cpp) ----
    // Entry index holds a new connection from now_us on; the count of connected clients follows.
    void count_opened(int index, int64_t now_us);
    void count_closed();
    // bytes went out to the client; whole_frame when they finished a video frame.
    void count_sent(int index, uint64_t bytes, bool whole_frame);
    // bytes of a batch of frames went out, finishing `frames` of them.
    void count_frames_sent(int index, uint64_t bytes, uint64_t frames);
    // frames missed by the client because its output was still busy.
    void count_skipped(int index, uint64_t frames);
    void count_timeout(int index);
    void count_command(int index);
};
