#include "ctl_socket.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mono_clock.hpp"

namespace {

int remaining_ms(int64_t deadline_ms) {
    const int64_t left = deadline_ms - mono_now_ms();
    if (left <= 0) return 0;
    return left > INT32_MAX ? INT32_MAX : static_cast<int>(left);
}

// "[::1]" names the address ::1, as in URLs.
std::string without_brackets(const std::string& host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        return host.substr(1, host.size() - 2);
    return host;
}

// Waits until a non-blocking connect has finished; 0 or an errno.
int finish_connect(int fd, int64_t deadline_ms) {
    for (;;) {
        pollfd p{fd, POLLOUT, 0};
        const int ready = poll(&p, 1, remaining_ms(deadline_ms));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return errno;
        if (ready == 0) return ETIMEDOUT;
        int error = 0;
        socklen_t size = sizeof error;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0) return errno;
        return error;
    }
}

unique_fd connect_one(const addrinfo& address, int64_t deadline_ms, int& error) {
    unique_fd fd(socket(address.ai_family, address.ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK,
                        address.ai_protocol));
    if (!fd.valid()) {
        error = errno;
        return fd;
    }
    if (connect(fd.get(), address.ai_addr, address.ai_addrlen) == 0) return fd;
    error = errno == EINPROGRESS ? finish_connect(fd.get(), deadline_ms) : errno;
    if (error != 0) fd.reset();
    return fd;
}

}  // namespace

unique_fd connect_to_daemon(const std::string& host, uint16_t port, int64_t deadline_ms,
                            std::string& problem) {
    const std::string name = without_brackets(host);
    const std::string service = std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* addresses = nullptr;
    const int status = getaddrinfo(name.c_str(), service.c_str(), &hints, &addresses);
    if (status != 0) {
        problem = "cannot resolve " + host + ": " + gai_strerror(status);
        return unique_fd();
    }
    int error = 0;
    unique_fd fd;
    for (const addrinfo* a = addresses; a != nullptr && !fd.valid(); a = a->ai_next) {
        if (remaining_ms(deadline_ms) == 0) {
            error = ETIMEDOUT;
            break;
        }
        fd = connect_one(*a, deadline_ms, error);
    }
    freeaddrinfo(addresses);
    if (!fd.valid())
        problem = "cannot connect to " + host + " port " + service + ": " + strerror(error);
    return fd;
}

bool send_command(int fd, const std::string& text, int64_t deadline_ms, std::string& problem) {
    size_t sent = 0;
    while (sent < text.size()) {
        const ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            problem = std::string("cannot send the command: ") + strerror(errno);
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        if (poll(&p, 1, remaining_ms(deadline_ms)) == 0) {
            problem = "cannot send the command: the daemon does not take it";
            return false;
        }
    }
    return true;
}

read_result read_some(int fd, uint8_t* buffer, size_t size, int64_t deadline_ms) {
    read_result result;
    for (;;) {
        const ssize_t n = recv(fd, buffer, size, 0);
        if (n > 0) {
            result.status = read_status::data;
            result.count = static_cast<size_t>(n);
            return result;
        }
        if (n == 0) {
            result.status = read_status::closed;
            return result;
        }
        if (errno != EAGAIN && errno != EINTR) {
            result.error = errno;
            return result;
        }
        if (errno == EINTR) {
            result.status = read_status::interrupted;
            return result;
        }
        const int wait_ms = remaining_ms(deadline_ms);
        if (wait_ms == 0) {
            result.status = read_status::timed_out;
            return result;
        }
        pollfd p{fd, POLLIN, 0};
        const int ready = poll(&p, 1, wait_ms);
        if (ready < 0 && errno == EINTR) {
            result.status = read_status::interrupted;
            return result;
        }
        if (ready < 0) {
            result.error = errno;
            return result;
        }
    }
}

unique_fd connect_or_say_why(const std::string& host, uint16_t port, double timeout_s) {
    constexpr double ms_per_second = 1000;
    std::string problem;
    unique_fd fd = connect_to_daemon(
        host, port, mono_now_ms() + static_cast<int64_t>(timeout_s * ms_per_second), problem);
    if (!fd.valid()) fprintf(stderr, "nanvideoctl: %s\n", problem.c_str());
    return fd;
}
