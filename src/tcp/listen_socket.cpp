// Where the server listens. NAN data paths normally carry IPv6 link-local addresses, so the
// IPv4 listener serves boards on IPv4 networks alone.
#include "listen_socket.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>

#include "log.hpp"

namespace {

constexpr int socket_flags = SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK;

// Dual-stack unless the kernel has no IPv6 at all; any other failure is the listener's end.
unique_fd make_socket(uint16_t port, bool* ipv6) {
    unique_fd fd(socket(AF_INET6, socket_flags, 0));
    *ipv6 = fd.valid();
    if (fd.valid()) return fd;
    if (errno != EAFNOSUPPORT) {
        log_perror("socket(AF_INET6) failed");
        return fd;
    }
    fd.reset(socket(AF_INET, socket_flags, 0));
    if (!fd.valid()) {
        log_perror("socket(AF_INET) failed");
        return fd;
    }
    log_err(ipv4_fallback_line, static_cast<unsigned>(port));
    return fd;
}

int bind_any(int fd, uint16_t port, bool ipv6) {
    if (ipv6) {
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(port);
    return bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
}

}  // namespace

unique_fd open_listen_socket(uint16_t port, int backlog) {
    bool ipv6 = false;
    unique_fd fd = make_socket(port, &ipv6);
    if (!fd.valid()) return fd;
    int on = 1;
    if (setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
        log_perror("setsockopt SO_REUSEADDR failed");
    }
    int off = 0;
    if (ipv6 && setsockopt(fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) < 0) {
        log_perror("setsockopt IPV6_V6ONLY failed");
    }
    if (bind_any(fd.get(), port, ipv6) < 0) {
        log_perror("bind failed");
        return unique_fd();
    }
    if (listen(fd.get(), backlog) < 0) {
        log_perror("listen failed");
        return unique_fd();
    }
    return fd;
}
