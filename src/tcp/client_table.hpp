#pragma once
// The table of connected TCP clients, what each is owed, and the send path.
#include <pthread.h>

#include <cstdint>

#include "client_output.hpp"
#include "reply_outbox.hpp"

constexpr int max_clients = 4;
static_assert(outbox_slots == max_clients);

// A slot is free when active is 0; fd is then -1. The index is the client number in log lines.
struct client_entry {
    int32_t fd = -1;
    int32_t active = 0;
    int64_t last_activity = 0;  // monotonic whole seconds of the last byte out or in
    int32_t timeout_count = 0;  // video send time-outs since the last whole video send
    uint32_t connection = 0;    // which accepted connection holds the entry; 0 when free
};

void set_entry_free(client_entry& entry);

// The mutex is held only for single reads and updates of entries, never across a send, a read
// or the AT handler, and never together with the reply outbox's mutex.
class client_registry {
public:
    client_entry entries[max_clients];
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // What each entry's client is owed on its socket: the server thread's alone, no lock.
    client_output outputs[max_clients];
    // Replies from the AT worker on their way to the outputs; a lock of its own.
    reply_outbox replies;
    // The last connection number given out (server thread).
    uint32_t last_connection = 0;

    // Sets every entry free.
    void clear();
    // Copy of one entry, read under the lock.
    client_entry read(int index);
    // Marks the first entry holding fd as alive now; a descriptor in no entry is ignored.
    void touch(int fd);
    // Number of entries holding a connection (active, with a socket above 0).
    int connected();
    int connected_locked() const;
    // The entry holding fd and its connection number, or -1.
    int find(int fd, uint32_t* connection);
    // Something went out to, or came in from, the client in entry index; a whole video frame
    // also clears its time-out count.
    void mark_alive(int index, int64_t now_s, bool whole_frame);
};

// Scoped hold of a registry's mutex.
class client_table_lock {
public:
    explicit client_table_lock(client_registry& clients) : mutex_(clients.mutex) {
        pthread_mutex_lock(&mutex_);
    }
    ~client_table_lock() { pthread_mutex_unlock(&mutex_); }
    client_table_lock(const client_table_lock&) = delete;
    client_table_lock& operator=(const client_table_lock&) = delete;

private:
    pthread_mutex_t& mutex_;
};

// The daemon's table, filled by the TCP server thread.
extern client_registry client_table;
extern pthread_mutex_t& client_table_mutex;

// ---- send path ----

constexpr int video_send_timeout_ms = 5000;
constexpr int at_response_timeout_ms = 1000;
constexpr int default_segment_size = 1460;  // when the socket does not tell its TCP_MAXSEG
constexpr int send_wait_ms = 5;             // longest wait for a full socket to drain

// Sends all length bytes in segment-sized pieces on a non-blocking socket, giving up with
// ETIMEDOUT once timeout_ms have passed over the whole call while the socket stayed full.
// Each piece that goes out marks the client's entry in clients as alive. Returns length, or -1
// with errno (EINVAL for bad arguments). Never called with the registry's mutex held.
int send_all(client_registry& clients, int fd, const void* data, uint32_t length, int timeout_ms);
int send_all(int fd, const void* data, uint32_t length, int timeout_ms);

// Sends a NUL-terminated reply. Run by a command on the AT worker, the reply goes to the
// connection that asked, after whatever that client is owed, and 0 means it has started (the
// client then gets it whole or is closed); a reply that cannot start within
// at_reply_start_limit_ms is dropped whole. Elsewhere it is sent at once with the AT time-out.
// Returns 0 or -1 (after a line on stderr, unless text is null).
int send_at_response(int fd, const char* text);
