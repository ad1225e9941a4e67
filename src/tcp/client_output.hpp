#pragma once
// What one client is owed on its socket right now: the unsent rest of the frame or reply whose
// first byte went out (or was due) last. Only the TCP server thread touches it, so it needs no
// lock. A rest always goes out before anything new for the client, so its stream is whole
// payloads and whole replies, in order.
#include <sys/uio.h>

#include <cstdint>

#include "frame_format.hpp"

// The longest thing a client is handed: a frame's payload (a reply is never longer).
constexpr uint32_t rest_capacity = frame_max_payload;

enum class rest_kind : uint8_t { none, video, reply };

struct client_output {
    uint8_t rest[rest_capacity];
    uint32_t rest_length = 0;  // bytes of the rest still to go
    rest_kind kind = rest_kind::none;
    int64_t rest_since_us = 0;     // when its first unsent byte was due; progress keeps it
    int64_t next_timeout_us = 0;   // when the rest, still there, next gives the time-out lines
    int64_t held_until_us = 0;     // after a time-out the client is left alone until then
    int64_t given_frames = 0;      // frames handed to this client (whole or as a rest), counted
                                   // on the streamer's frame count
    int64_t whole_frames = 0;      // of those, the count up to the last frame it has whole

    void reset();
    bool has_rest() const { return rest_length != 0; }
    // Keeps bytes the socket did not take (they may lie in rest itself); since_us is when they
    // were due.
    void keep(rest_kind what, const uint8_t* data, uint32_t length, int64_t since_us,
              int timeout_ms);
    // Sends what the socket takes now. Returns 0 once the rest is out (or there was none),
    // EAGAIN while some of it waits, else the send's error. *sent counts the bytes that went.
    int flush(int fd, uint32_t* sent);
};

// One non-blocking send, never raising SIGPIPE; EINTR is retried. Returns bytes sent (0 when
// the socket took nothing) or -1 with errno.
long send_now(int fd, const void* data, uint32_t length);
// The same for several buffers, in order, in one call.
long send_parts_now(int fd, iovec* parts, int count);
