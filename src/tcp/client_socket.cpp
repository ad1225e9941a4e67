#include "client_socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdlib>

#include "client.hpp"
#include "log.hpp"

namespace {

constexpr int shortest_user_timeout_ms = 1000;  // the kernel probes in whole seconds
constexpr int hang_up_events = POLLHUP | POLLERR | POLLRDHUP;

int at_least_one(int seconds) {
    return seconds < 1 ? 1 : seconds;
}

void set_option(int fd, int level, int name, int value, const char* failure) {
    if (setsockopt(fd, level, name, &value, sizeof(value)) < 0) log_perror(failure);
}

}  // namespace

dead_peer_timing dead_peer_timing_for(int user_timeout_ms) {
    const int seconds = user_timeout_ms / 1000;
    return dead_peer_timing{at_least_one(seconds / 3), at_least_one(seconds / 6),
                            dead_peer_default.probes, user_timeout_ms};
}

dead_peer_timing dead_peer_timing_from_environment() {
    const char* text = getenv(dead_peer_timeout_variable);
    if (text == nullptr || *text == '\0') return dead_peer_default;
    char* end = nullptr;
    const long value = strtol(text, &end, 10);
    if (*end != '\0' || value < shortest_user_timeout_ms ||
        value > dead_peer_default.user_timeout_ms)
        return dead_peer_default;
    return dead_peer_timing_for(static_cast<int>(value));
}

int set_client_socket_options(int fd, const dead_peer_timing& timing) {
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        log_perror("fcntl set nonblock failed");
        return -1;
    }
    set_option(fd, SOL_SOCKET, SO_SNDBUF, client_send_buffer_size, "setsockopt send_buf failed");
    // Every send is a whole payload or reply, so nothing is gained by holding a short segment
    // back until the client acknowledges the last one; a client that delays its
    // acknowledgements (40 ms on Linux, 200 ms elsewhere) would hold each frame that long.
    set_option(fd, IPPROTO_TCP, TCP_NODELAY, 1, "setsockopt nodelay failed");
    set_option(fd, SOL_SOCKET, SO_KEEPALIVE, 1, "setsockopt keepalive failed");
    set_option(fd, IPPROTO_TCP, TCP_KEEPIDLE, timing.idle_s, "setsockopt keepidle failed");
    set_option(fd, IPPROTO_TCP, TCP_KEEPINTVL, timing.interval_s, "setsockopt keepintvl failed");
    set_option(fd, IPPROTO_TCP, TCP_KEEPCNT, timing.probes, "setsockopt keepcnt failed");
    set_option(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, timing.user_timeout_ms,
               "setsockopt user_timeout failed");
    return 0;
}

int sockets_hung_up(const int* fds, int count, int* hung_up) {
    pollfd polled[max_clients];
    if (count > max_clients) count = max_clients;
    for (int i = 0; i < count; ++i) polled[i] = pollfd{fds[i], POLLRDHUP, 0};
    if (poll(polled, static_cast<nfds_t>(count), 0) <= 0) return 0;
    int found = 0;
    for (int i = 0; i < count; ++i) {
        if ((polled[i].revents & hang_up_events) != 0) hung_up[found++] = fds[i];
    }
    return found;
}
