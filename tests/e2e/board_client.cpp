#include "board_client.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace {

// Runs make_socket on a thread that has joined the namespace; the socket keeps the namespace it
// was made in after the thread ends.
template <typename F>
unique_fd in_namespace(pid_t pid, F make_socket) {
    unique_fd result;
    int error = 0;
    std::thread worker([&] {
        std::string path = "/proc/" + std::to_string(pid) + "/ns/net";
        unique_fd ns(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!ns.valid() || setns(ns.get(), CLONE_NEWNET) != 0) {
            error = errno;
            return;
        }
        result = make_socket();
        if (!result.valid()) error = errno;
    });
    worker.join();
    if (!result.valid()) errno = error;
    return result;
}

}  // namespace

namespace {

// Limits set before connecting take part in the handshake (the segment size is announced then).
bool apply_limits(int fd, const socket_limits& limits) {
    if (fd < 0) return false;
    if (limits.max_segment > 0 &&
        setsockopt(fd, IPPROTO_TCP, TCP_MAXSEG, &limits.max_segment, sizeof limits.max_segment) != 0)
        return false;
    return limits.receive_buffer <= 0 ||
           setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &limits.receive_buffer,
                      sizeof limits.receive_buffer) == 0;
}

}  // namespace

unique_fd connect_in_namespace(pid_t pid, client_family family, uint16_t port) {
    return connect_in_namespace(pid, family, socket_limits{}, port);
}

unique_fd connect_when_listening(pid_t pid, client_family family, std::chrono::milliseconds timeout,
                                 const socket_limits& limits) {
    constexpr std::chrono::milliseconds retry_pause{10};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        unique_fd socket = connect_in_namespace(pid, family, limits);
        if (socket.valid() || errno != ECONNREFUSED || std::chrono::steady_clock::now() >= deadline)
            return socket;
        std::this_thread::sleep_for(retry_pause);
    }
}

uint16_t local_port(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

unique_fd connect_in_namespace(pid_t pid, client_family family, const socket_limits& limits,
                               uint16_t port) {
    return in_namespace(pid, [family, port, limits] {
        if (family == client_family::ipv4) {
            unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
            if (!apply_limits(fd.get(), limits)) return unique_fd();
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
                return unique_fd();
            return fd;
        }
        unique_fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!apply_limits(fd.get(), limits)) return unique_fd();
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        addr.sin6_addr = in6addr_loopback;
        if (!fd.valid() || connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
            return unique_fd();
        return fd;
    });
}

unique_fd listen_in_namespace(pid_t pid, uint16_t port) {
    return in_namespace(pid, [port] {
        unique_fd fd(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
        int zero = 0;
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(port);
        addr.sin6_addr = in6addr_any;
        if (!fd.valid() || setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero) != 0 ||
            bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(fd.get(), 4) != 0)
            return unique_fd();
        return fd;
    });
}

bool send_text(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

namespace {

template <typename Done>
std::string read_while(int fd, std::chrono::milliseconds timeout, Done done) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (!done(data)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

}  // namespace

std::string read_bytes(int fd, size_t count, std::chrono::milliseconds timeout) {
    return read_while(fd, timeout, [count](const std::string& d) { return d.size() >= count; });
}

std::string read_until(int fd, const std::string& suffix, std::chrono::milliseconds timeout) {
    return read_while(fd, timeout, [&suffix](const std::string& d) {
        return d.size() >= suffix.size() && d.compare(d.size() - suffix.size(), suffix.size(), suffix) == 0;
    });
}

namespace {

// Reads one client until it has `size` bytes, ends, or is quiet for `quiet`; returns when its
// last byte came.
std::chrono::steady_clock::time_point read_one_until_quiet(client_bytes& client, size_t size,
                                                           std::chrono::milliseconds quiet) {
    constexpr int poll_step_ms = 100;
    uint8_t buffer[65536];
    client.bytes.reserve(size);
    auto last_byte = std::chrono::steady_clock::now();
    while (!client.ended && client.bytes.size() < size &&
           std::chrono::steady_clock::now() - last_byte <= quiet) {
        pollfd p{client.fd.get(), POLLIN, 0};
        if (poll(&p, 1, poll_step_ms) <= 0) continue;
        const ssize_t got = recv(client.fd.get(), buffer, sizeof buffer, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            client.ended = true;
            continue;
        }
        client.bytes.insert(client.bytes.end(), buffer, buffer + got);
        last_byte = std::chrono::steady_clock::now();
    }
    return last_byte;
}

}  // namespace

// A reader per client, as a viewer has its own: one client's turn never holds up another's.
std::chrono::steady_clock::time_point read_until_quiet(std::vector<client_bytes>& clients,
                                                       size_t size,
                                                       std::chrono::milliseconds quiet) {
    std::vector<std::chrono::steady_clock::time_point> last_bytes(clients.size());
    std::vector<std::thread> readers;
    for (size_t n = 0; n < clients.size(); ++n) {
        readers.emplace_back([&, n] { last_bytes[n] = read_one_until_quiet(clients[n], size, quiet); });
    }
    for (std::thread& reader : readers) reader.join();
    return *std::max_element(last_bytes.begin(), last_bytes.end());
}
