#pragma once
// One connected client: its socket and number, what it is still owed on the socket, its
// counters, and the two things it shares with the command thread under its table's lock: the
// commands it has waiting and the replies on their way to it. A rest always goes out before
// anything new for the client, so its stream is whole payloads and whole replies, in order.
#include <sys/uio.h>

#include <atomic>
#include <cstdint>

#include "at_reply.hpp"
#include "counter_list.hpp"
#include "event_counter.hpp"
#include "frame_format.hpp"
#include "status_snapshot.hpp"

constexpr int max_clients = 4;
static_assert(max_clients == status_client_slots);

// The longest thing a client is handed: a frame's payload (a reply is never longer).
constexpr uint32_t rest_capacity = frame_max_payload;
constexpr int at_waiting_limit = 8;  // commands a client may have waiting behind a running one
constexpr int at_reply_start_limit_ms = 1000;
constexpr uint32_t owed_reply_limit = 65536;  // a client owed more is closed
// The longest reply a client is handed; a longer text is refused.
constexpr uint32_t at_reply_max = rest_capacity;

enum class rest_kind : uint8_t { none, video, reply };

struct waiting_command {
    int fd;               // the socket it came on, for its lines
    uint32_t busy_after;  // chunks refused after this one, answered once it ran
    uint32_t length;
    char text[at_chunk_max + 1];
};

// One connection's commands, oldest first, with the one running.
struct command_queue {
    int first = 0;
    int count = 0;
    bool running = false;
    waiting_command commands[at_waiting_limit];

    bool idle() const { return count == 0 && !running; }
    // False when at_waiting_limit already wait: the newest one then owes one more busy reply.
    bool push(int fd, const char* data, uint32_t length);
    waiting_command take();
};

// Replies in the order posted, each a header and its text.
struct reply_slot {
    bool over_limit = false;
    uint32_t used = 0;
    uint8_t owed[owed_reply_limit];

    // 0, or ENOBUFS when the owed bytes would pass the limit (the slot is then marked).
    int post(const char* text, uint32_t length, int64_t ready_us, bool command_reply);
    // The oldest reply's text into out (at_reply_max bytes); false when nothing is owed.
    bool peek(uint8_t* out, uint32_t* length, int64_t* ready_us) const;
    bool oldest_ready(int64_t* ready_us) const;
    void pop();
    // Forgets every reply; returns how many were commands' own (not busy replies).
    int drop_all();
};

// The stream's counters for this connection alone. Written by the server thread, read by any
// (the status reply).
struct client_figures {
    std::atomic<int64_t> connected_us{0};  // monotonic
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_COUNTER_MEMBER)

    void reset(int64_t now_us);
    client_counters reading() const;
};

struct client {
    // ---- the server thread's ----
    int fd = -1;               // a socket while connected, else -1
    uint32_t connection = 0;   // which accepted connection holds the slot
    int64_t last_activity = 0;  // monotonic whole seconds of the last byte out or in
    int32_t timeout_count = 0;  // video send time-outs since the last whole video send
    uint8_t rest[rest_capacity];
    uint32_t rest_length = 0;      // bytes of the rest still to go
    rest_kind kind = rest_kind::none;
    int64_t rest_since_us = 0;     // when its first unsent byte was due; progress keeps it
    int64_t next_timeout_us = 0;   // when the rest, still there, next gives the time-out lines
    int64_t held_until_us = 0;     // after a time-out the client is left alone until then
    int64_t given_frames = 0;      // frames handed to it (whole or as a rest), on the streamer's
                                   // frame count
    int64_t whole_frames = 0;      // of those, the count up to the last frame it has whole
    client_figures figures;

    // ---- shared with the command thread, under the table's lock ----
    uint32_t owner = 0;  // the connection its commands and replies belong to; 0: none
    command_queue commands;
    reply_slot replies;

    bool connected() const { return fd >= 0; }
    bool has_rest() const { return rest_length != 0; }
    // The server side of a new connection (the shared part is the table's to set).
    void start(int socket, uint32_t number, int64_t now_us);
    // Keeps bytes the socket did not take (they may lie in rest itself); since_us is when they
    // were due.
    void keep(rest_kind what, const uint8_t* data, uint32_t length, int64_t since_us,
              int timeout_ms);
    // Sends what the socket takes now. Returns 0 once the rest is out (or there was none),
    // EAGAIN while some of it waits, else the send's error. *sent counts the bytes that went.
    int flush(uint32_t* sent);
};

// One non-blocking send, never raising SIGPIPE; EINTR is retried. Returns bytes sent (0 when
// the socket took nothing) or -1 with errno.
long send_now(int fd, const void* data, uint32_t length);
// The same for several buffers, in order, in one call.
long send_parts_now(int fd, iovec* parts, int count);
