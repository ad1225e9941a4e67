#include "port_forward.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr int listen_backlog = 4;
constexpr size_t relay_chunk = 65536;
// A viewer whose socket stays full this long has stopped reading and is dropped, so that it
// does not hold the daemon's stream up for everyone else.
constexpr int viewer_stall_ms = 5000;

// Writes all of it, waiting for room up to the stall limit each time.
bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        const ssize_t n = send(fd, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno == EAGAIN) {
            pollfd room{fd, POLLOUT, 0};
            if (poll(&room, 1, viewer_stall_ms) <= 0) return false;
            continue;
        }
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

unique_fd connect_in_board(pid_t pid, uint16_t port) {
    unique_fd result;
    int error = 0;
    std::thread worker([&] {
        const std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
        unique_fd ns(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!ns.valid() || setns(ns.get(), CLONE_NEWNET) != 0) {
            error = errno;
            return;
        }
        unique_fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_port = htons(port);
        address.sin6_addr = in6addr_loopback;
        if (!fd.valid() ||
            connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            error = errno;
            return;
        }
        result = std::move(fd);
    });
    worker.join();
    if (!result.valid()) errno = error;
    return result;
}

port_forward::port_forward(uint16_t host_port, pid_t board_pid, uint16_t board_port)
    : board_pid_(board_pid), board_port_(board_port) {
    listen_fd_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(host_port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (!listen_fd_.valid() ||
        setsockopt(listen_fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_.get(), listen_backlog) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1:" + std::to_string(host_port) + ": " +
                                 strerror(errno));
    }
    wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_fd_.valid()) throw std::runtime_error(std::string("eventfd: ") + strerror(errno));
    thread_ = std::thread([this] { run(); });
}

port_forward::~port_forward() {
    const uint64_t one = 1;
    const ssize_t written = write(wake_fd_.get(), &one, sizeof one);  // cannot fail: one count
    (void)written;
    thread_.join();
}

void port_forward::run() {
    for (;;) {
        pollfd fds[4] = {{wake_fd_.get(), POLLIN, 0},
                         {listen_fd_.get(), POLLIN, 0},
                         {viewer_.get(), POLLIN, 0},
                         {board_.get(), POLLIN, 0}};
        if (poll(fds, 4, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[0].revents != 0) return;
        if (fds[1].revents != 0) take_viewer();
        const bool broken = (fds[2].revents != 0 && !relay(viewer_.get(), board_.get())) ||
                            (fds[3].revents != 0 && !relay(board_.get(), viewer_.get()));
        if (broken) drop_viewer();
    }
}

void port_forward::take_viewer() {
    unique_fd viewer(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!viewer.valid() || viewer_.valid()) return;  // one at a time: a second one is closed
    unique_fd board = connect_in_board(board_pid_, board_port_);
    if (!board.valid()) return;
    viewer_ = std::move(viewer);
    board_ = std::move(board);
    connected_ = true;
    ++served_;
}

// Moves what one side has to the other; false when either side has ended.
bool port_forward::relay(int from, int to) {
    char buffer[relay_chunk];
    const ssize_t n = recv(from, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    return n > 0 && write_all(to, buffer, static_cast<size_t>(n));
}

void port_forward::drop_viewer() {
    viewer_.reset();
    board_.reset();
    connected_ = false;
}
