// A client's own state: its rest, kept in its own buffer so the ring's slot can be overwritten
// meanwhile, its waiting commands and its owed replies.
#include "client.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

long send_parts_now(int fd, iovec* parts, int count) {
    msghdr message{};
    message.msg_iov = parts;
    message.msg_iovlen = static_cast<decltype(message.msg_iovlen)>(count);
    for (;;) {
        ssize_t n = sendmsg(fd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

long send_now(int fd, const void* data, uint32_t length) {
    iovec part{const_cast<void*>(data), length};
    return send_parts_now(fd, &part, 1);
}

bool command_queue::push(int fd, const char* data, uint32_t length) {
    if (count == at_waiting_limit) {
        // Answered right after the newest waiting command, so replies keep the order sent.
        waiting_command& last = commands[(first + count - 1) % at_waiting_limit];
        if (last.busy_after < UINT32_MAX) ++last.busy_after;
        return false;
    }
    waiting_command& added = commands[(first + count) % at_waiting_limit];
    if (length > at_chunk_max) length = at_chunk_max;
    added.fd = fd;
    added.busy_after = 0;
    added.length = length;
    memcpy(added.text, data, length);
    added.text[length] = '\0';
    ++count;
    return true;
}

waiting_command command_queue::take() {
    const waiting_command& oldest = commands[first];
    first = (first + 1) % at_waiting_limit;
    --count;
    running = true;
    return oldest;
}

namespace {

struct reply_header {
    uint32_t length;
    uint32_t command_reply;
    int64_t ready_us;
};

reply_header header_at(const uint8_t* at) {
    reply_header header;
    memcpy(&header, at, sizeof(header));
    return header;
}

}  // namespace

int reply_slot::post(const char* text, uint32_t length, int64_t ready_us, bool command_reply) {
    if (over_limit) return ENOBUFS;
    const uint32_t size = static_cast<uint32_t>(sizeof(reply_header)) + length;
    if (used + size > owed_reply_limit) {
        over_limit = true;
        return ENOBUFS;
    }
    const reply_header header{length, command_reply ? 1u : 0u, ready_us};
    memcpy(owed + used, &header, sizeof(header));
    memcpy(owed + used + sizeof(header), text, length);
    used += size;
    return 0;
}

bool reply_slot::peek(uint8_t* out, uint32_t* length, int64_t* ready_us) const {
    if (used == 0) return false;
    const reply_header header = header_at(owed);
    memcpy(out, owed + sizeof(header), header.length);
    *length = header.length;
    *ready_us = header.ready_us;
    return true;
}

bool reply_slot::oldest_ready(int64_t* ready_us) const {
    if (used == 0) return false;
    *ready_us = header_at(owed).ready_us;
    return true;
}

void reply_slot::pop() {
    if (used == 0) return;
    const uint32_t size = static_cast<uint32_t>(sizeof(reply_header)) + header_at(owed).length;
    memmove(owed, owed + size, used - size);
    used -= size;
}

int reply_slot::drop_all() {
    int commands = 0;
    for (uint32_t at = 0; at < used;) {
        const reply_header header = header_at(owed + at);
        if (header.command_reply != 0) ++commands;
        at += static_cast<uint32_t>(sizeof(header)) + header.length;
    }
    over_limit = false;
    used = 0;
    return commands;
}

void client_figures::reset(int64_t now_us) {
    connected_us.store(now_us, std::memory_order_relaxed);
#define NANVIDEO_RESET(group, name, key, moved, meaning) name.reset();
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_RESET)
#undef NANVIDEO_RESET
}

client_counters client_figures::reading() const {
    client_counters c;
    c.connected_us = connected_us.load(std::memory_order_relaxed);
#define NANVIDEO_READ(group, name, key, moved, meaning) c.name = name.value();
    NANVIDEO_STREAM_COUNTERS(NANVIDEO_READ)
#undef NANVIDEO_READ
    return c;
}

void client::start(int socket, uint32_t number, int64_t now_us) {
    fd = socket;
    connection = number;
    last_activity = now_us / 1000000;
    timeout_count = 0;
    rest_length = 0;
    kind = rest_kind::none;
    rest_since_us = 0;
    next_timeout_us = 0;
    held_until_us = 0;
    given_frames = 0;
    whole_frames = 0;
    figures.reset(now_us);
}

void client::keep(rest_kind what, const uint8_t* data, uint32_t length, int64_t since_us,
                  int timeout_ms) {
    if (length > rest_capacity) length = rest_capacity;
    // A reply is staged in rest itself, so what the socket left of it may overlap its new place.
    memmove(rest, data, length);
    rest_length = length;
    kind = what;
    rest_since_us = since_us;
    next_timeout_us = since_us + static_cast<int64_t>(timeout_ms) * 1000;
}

int client::flush(uint32_t* sent) {
    *sent = 0;
    int result = 0;
    while (rest_length > 0) {
        long n = send_now(fd, rest + *sent, rest_length);
        if (n <= 0) {
            result = n < 0 ? errno : EAGAIN;
            break;
        }
        *sent += static_cast<uint32_t>(n);
        rest_length -= static_cast<uint32_t>(n);
    }
    if (rest_length == 0) {
        kind = rest_kind::none;
        return 0;
    }
    // What is left moves to the front, so the next flush starts at rest[0].
    if (*sent > 0) memmove(rest, rest + *sent, rest_length);
    return result;
}
