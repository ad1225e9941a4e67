// A client's rest: kept in its own buffer so the ring's slot can be overwritten meanwhile.
#include "client_output.hpp"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

long send_now(int fd, const void* data, uint32_t length) {
    for (;;) {
        ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        return -1;
    }
}

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

void client_output::reset() {
    rest_length = 0;
    kind = rest_kind::none;
    rest_since_us = 0;
    next_timeout_us = 0;
    held_until_us = 0;
    given_frames = 0;
    whole_frames = 0;
}

void client_output::keep(rest_kind what, const uint8_t* data, uint32_t length, int64_t since_us,
                         int timeout_ms) {
    if (length > rest_capacity) length = rest_capacity;
    // A reply is staged in rest itself, so what the socket left of it may overlap its new place.
    memmove(rest, data, length);
    rest_length = length;
    kind = what;
    rest_since_us = since_us;
    next_timeout_us = since_us + static_cast<int64_t>(timeout_ms) * 1000;
}

int client_output::flush(int fd, uint32_t* sent) {
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
