// Every byte to a TCP client goes through send_all: client sockets are non-blocking, so a slow
// client is given a bounded time, measured on the monotonic clock so that a wall-clock step can
// neither cut a send short nor stretch it.
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "at_worker.hpp"
#include "client_table.hpp"
#include "mono_clock.hpp"
#include "log.hpp"

namespace {

// One TCP segment's worth of data per send call.
uint32_t segment_size(int fd) {
    int mss = 0;
    socklen_t size = sizeof(mss);
    if (getsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &mss, &size) == 0 && mss > 0) {
        return static_cast<uint32_t>(mss);
    }
    return default_segment_size;
}

bool timed_out(int64_t start_us, int timeout_ms) {
    return (mono_now_us() - start_us) / 1000 >= timeout_ms;
}

}  // namespace

int send_all(client_registry& clients, int fd, const void* data, uint32_t length, int timeout_ms) {
    // The result is a byte count in an int, so a longer buffer could not be reported as sent.
    if (length == 0 || data == nullptr || fd < 0 || length > INT_MAX) {
        errno = EINVAL;
        return -1;
    }
    const int64_t start_us = mono_now_us();
    const uint32_t piece = segment_size(fd);
    const auto* bytes = static_cast<const uint8_t*>(data);
    uint32_t sent = 0;
    for (;;) {
        uint32_t want = length - sent < piece ? length - sent : piece;
        ssize_t n = send(fd, bytes + sent, want, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<uint32_t>(n);
            clients.touch(fd);
            if (sent == length) return static_cast<int>(sent);
            continue;
        }
        if (n == 0 || errno != EAGAIN) return -1;
        if (timed_out(start_us, timeout_ms)) {
            errno = ETIMEDOUT;
            return -1;
        }
        pollfd writable{fd, POLLOUT, 0};
        if (poll(&writable, 1, send_wait_ms) < 0 && errno != EINTR) return -1;
    }
}

int send_all(int fd, const void* data, uint32_t length, int timeout_ms) {
    return send_all(client_table, fd, data, length, timeout_ms);
}

// On the AT worker the reply joins its connection's output and this waits only until it has
// started (from then on the client gets it whole or is closed) or was dropped; on any other
// thread (tools, tests) it is sent here with the AT time-out.
int send_at_response(int fd, const char* text) {
    if (text == nullptr) return -1;
    uint32_t length = static_cast<uint32_t>(strlen(text));
    int error = 0;
    if (const at_reply_target* target = current_at_reply_target()) {
        if (length == 0) {
            error = EINVAL;
        } else if (fd != target->fd) {
            error = ENOTCONN;
        } else {
            error = target->clients->replies.post_and_wait(target->slot, target->connection, text,
                                                           length, mono_now_us());
        }
        target->worker->replied();
    } else if (send_all(fd, text, length, at_response_timeout_ms) < 0) {
        error = errno;
    }
    if (error == 0) return 0;
    log_err("Failed to send AT response to (fd %d): %s\n", fd, strerror(error));
    return -1;
}
