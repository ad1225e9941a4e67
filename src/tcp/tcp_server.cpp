// The server thread. Every send and receive on a client socket runs here; the AT worker reaches
// a client only through the reply outbox.
#include "tcp_server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <new>

#include "mono_clock.hpp"
#include "log.hpp"

std::atomic<int> video_suspended{0};

namespace {

std::atomic<at_command_handler> installed_handler{nullptr};

int set_nonblocking(int fd) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0) return -1;
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int first_free_entry(const client_registry& clients) {
    for (int i = 0; i < max_clients; ++i) {
        if (clients.entries[i].active == 0) return i;
    }
    return -1;
}

// Dual-stack: IPv4 peers arrive as IPv4-mapped IPv6 addresses and take the IPv6 line.
void log_peer(int index, const sockaddr_storage& peer, int fd) {
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET) {
        sockaddr_in address{};
        memcpy(&address, &peer, sizeof(address));
        inet_ntop(AF_INET, &address.sin_addr, text, sizeof(text));
        log_err("New IPv4 connection (client %d) from %s:%d, fd=%d\n", index, text,
                ntohs(address.sin_port), fd);
    } else if (peer.ss_family == AF_INET6) {
        sockaddr_in6 address{};
        memcpy(&address, &peer, sizeof(address));
        inet_ntop(AF_INET6, &address.sin6_addr, text, sizeof(text));
        log_err("New IPv6 connection (client %d) from [%s]:%d, fd=%d\n", index, text,
                ntohs(address.sin6_port), fd);
    }
}

}  // namespace

void tcp_set_at_command_handler(at_command_handler handler) { installed_handler.store(handler); }

at_command_handler tcp_at_command_handler() { return installed_handler.load(); }

tcp_server::tcp_server(uint16_t port, frame_ring& ring, client_registry& clients,
                       const std::atomic<int>& suspended, int video_timeout_ms)
    : port_(port), clients_(clients), streamer_(ring, clients, suspended, video_timeout_ms),
      worker_(clients) {}

int tcp_server::setup() {
    epoll_fd_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_fd_.valid()) {
        log_perror("epoll_create1 failed");
        return -1;
    }
    listen_fd_.reset(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listen_fd_.valid()) {
        log_perror("socket(AF_INET6) failed");
        epoll_fd_.reset();
        return -1;
    }
    if (set_nonblocking(listen_fd_.get()) < 0) {
        log_perror("fcntl set listen sock nonblock failed");
        listen_fd_.reset();
        epoll_fd_.reset();
        return -1;
    }
    int on = 1;
    if (setsockopt(listen_fd_.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) < 0) {
        log_perror("setsockopt SO_REUSEADDR failed");
    }
    int off = 0;
    if (setsockopt(listen_fd_.get(), IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof(off)) < 0) {
        log_perror("setsockopt IPV6_V6ONLY failed");
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    address.sin6_port = htons(port_);
    if (bind(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) < 0) {
        log_perror("bind failed");
        shutdown();
        return -1;
    }
    if (listen(listen_fd_.get(), listen_backlog) < 0) {
        log_perror("listen failed");
        shutdown();
        return -1;
    }
    epoll_event event{};
    event.events = listen_events;
    event.data.fd = listen_fd_.get();
    if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, listen_fd_.get(), &event) < 0) {
        log_perror("epoll_ctl add tcp_fd failed");
        shutdown();
        return -1;
    }
    int error = worker_.start();
    if (error != 0) {
        errno = error;
        log_perror("AT worker create failed");
        shutdown();
        return -1;
    }
    streamer_.writer().attach(epoll_fd_.get(), &worker_);
    return 0;
}

uint16_t tcp_server::port() const {
    sockaddr_in6 address{};
    socklen_t size = sizeof(address);
    if (getsockname(listen_fd_.get(), reinterpret_cast<sockaddr*>(&address), &size) < 0) return 0;
    return ntohs(address.sin6_port);
}

void tcp_server::run() {
    while (!stop_requested_.load()) {
        if (turn() < 0) break;
    }
    shutdown();
}

int tcp_server::turn(int wait_ms) {
    int64_t now_us = mono_now_us();
    if (next_tick_us_ == 0) next_tick_us_ = now_us + loop_wait_ms * 1000;
    int64_t until_tick_ms = (next_tick_us_ - now_us + 999) / 1000;
    if (until_tick_ms < 0) until_tick_ms = 0;
    if (until_tick_ms < wait_ms) wait_ms = static_cast<int>(until_tick_ms);
    epoll_event events[max_events];
    int count = epoll_wait(epoll_fd_.get(), events, max_events, wait_ms);
    if (count < 0) {
        if (errno != EINTR) {
            log_perror("epoll_wait failed");
            return -1;
        }
        count = 0;
    }
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == listen_fd_.get()) {
            accept_clients();
        } else {
            handle_client_event(events[i].data.fd, events[i].events);
        }
    }
    now_us = mono_now_us();
    streamer_.writer().write_all(now_us);
    if (now_us >= next_tick_us_) {
        streamer_.tick();
        next_tick_us_ += loop_wait_ms * 1000;
        // A tick held up longer than a period is not made up for with a burst of ticks.
        if (next_tick_us_ <= now_us) next_tick_us_ = now_us + loop_wait_ms * 1000;
    }
    return 0;
}

// The table's mutex lives as long as its table: other users may still take it, so it is not
// destroyed here. Closing every slot first tells a worker waiting on a reply that it is gone.
void tcp_server::shutdown() {
    listen_fd_.reset();
    for (int i = 0; i < max_clients; ++i) {
        if (clients_.read(i).active != 0) streamer_.writer().close(i);
    }
    worker_.stop();
    streamer_.writer().attach(-1, nullptr);
    epoll_fd_.reset();
    client_table_lock lock(clients_);
    for (client_entry& entry : clients_.entries) {
        if (entry.fd > 0) close(entry.fd);
        set_entry_free(entry);
    }
}

void tcp_server::handle_client_event(int fd, uint32_t events) {
    if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        close_client(fd, close_path::hang_up);
        return;
    }
    if (events & EPOLLIN) receive_from(fd);
    if (events & EPOLLOUT) {
        uint32_t connection = 0;
        int index = clients_.find(fd, &connection);
        if (index >= 0) streamer_.writer().write(index, mono_now_us());
    }
}

// Takes every waiting connection, refusing those that find the table full: edge-triggered
// notification does not come again for the ones left behind.
void tcp_server::accept_clients() {
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_size = sizeof(peer);
        unique_fd socket(accept4(listen_fd_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_size,
                                 SOCK_CLOEXEC));
        if (!socket.valid()) {
            if (errno == EAGAIN) {
                log_out("event.events & EPOLLIN break (no more connections)\n");
                return;
            }
            if (errno == EINTR) {
                if (accept_error_lines_.allow()) log_out("accept interrupted by signal, retry\n");
                continue;
            }
            if (accept_error_lines_.allow()) log_perror("accept failed");
            return;
        }
        const int fd = socket.get();
        // The first client starts at live; later ones join the shared position, which is live
        // while the others keep up. (Outside the table's mutex: no two locks together.)
        if (clients_.connected() == 0) streamer_.catch_up_to_live();
        int index = -1;
        admission result = add_client(socket, &index);
        if (result != admission::added) continue;
        streamer_.writer().opened(index, clients_.read(index).connection);
        log_peer(index, peer, fd);
    }
}

tcp_server::admission tcp_server::add_client(unique_fd& socket, int* index) {
    client_table_lock lock(clients_);
    *index = first_free_entry(clients_);
    if (*index < 0) {
        log_err("Reject new client: max %d connections reached\n", max_clients);
        socket.reset();
        return admission::rejected;
    }
    if (set_nonblocking(socket.get()) < 0) {
        log_perror("fcntl set nonblock failed");
        socket.reset();
        return admission::failed;
    }
    int size = client_send_buffer_size;
    if (setsockopt(socket.get(), SOL_SOCKET, SO_SNDBUF, &size, sizeof(size)) < 0) {
        log_perror("setsockopt send_buf failed");
    }
    // Every send is a whole payload or reply, so nothing is gained by holding a short segment
    // back until the client acknowledges the last one; a client that delays its
    // acknowledgements (40 ms on Linux, 200 ms elsewhere) would hold each frame that long.
    int no_delay = 1;
    if (setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &no_delay, sizeof(no_delay)) < 0) {
        log_perror("setsockopt nodelay failed");
    }
    epoll_event event{};
    event.events = client_events;
    event.data.fd = socket.get();
    if (epoll_ctl(epoll_fd_.get(), EPOLL_CTL_ADD, socket.get(), &event) < 0) {
        log_perror("epoll_ctl add cs failed");
        socket.reset();
        return admission::failed;
    }
    uint32_t connection = ++clients_.last_connection;
    if (connection == 0) connection = ++clients_.last_connection;
    client_entry& entry = clients_.entries[*index];
    entry.active = 1;
    entry.fd = socket.release();
    entry.last_activity = mono_now_s();
    entry.timeout_count = 0;
    entry.connection = connection;
    return admission::added;
}

// At most receive_limit bytes per readiness event; with edge-triggered notification the rest
// stays in the socket until the client sends again.
void tcp_server::receive_from(int fd) {
    size_t total = 0;
    while (total < receive_limit) {
        ssize_t n = recv(fd, receive_buffer_ + total, receive_limit - total, 0);
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        if (n == 0) {
            close_client(fd, close_path::peer_closed);
            return;
        }
        if (errno == EAGAIN) break;
        if (errno == EINTR) continue;
        log_perror("recv failed");
        close_client(fd, close_path::read_error);
        return;
    }
    if (total == 0) return;
    receive_buffer_[total] = '\0';
    escape_for_log(receive_buffer_, total, shown_);
    uint32_t sender = 0;
    const int index = clients_.find(fd, &sender);
    if (index < 0 || received_lines_[static_cast<size_t>(index)].allow())
        log_out("Received data from (fd %d): %s\n", fd, shown_);
    clients_.touch(fd);
    if (fd > 0 && installed_handler.load() != nullptr) hand_to_worker(fd, total);
}

// One command per connection at a time: a chunk that comes meanwhile is answered at once.
void tcp_server::hand_to_worker(int fd, size_t length) {
    uint32_t connection = 0;
    const int index = clients_.find(fd, &connection);
    if (index < 0) return;
    if (worker_.submit(index, connection, fd, receive_buffer_, length)) return;
    clients_.replies.post(index, connection, at_busy_reply, sizeof(at_busy_reply) - 1,
                          mono_now_us());
    log_err("AT command execution failed (fd %d), error code: %d\n", fd, at_busy_code);
    streamer_.writer().write(index, mono_now_us());
}

void tcp_server::close_client(int fd, close_path path) {
    if (path == close_path::hang_up) log_err("Client fd %d closed/error\n", fd);
    if (path == close_path::peer_closed) log_err("Client fd %d closed\n", fd);
    uint32_t connection = 0;
    const int index = clients_.find(fd, &connection);
    if (index < 0) {
        epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        return;
    }
    if (path == close_path::hang_up) {
        log_err("Client %d (fd %d): Marked as disconnected\n", index, fd);
    }
    streamer_.writer().close(index);
}

// ---- the daemon's server ----

void* tcp_server_ipv6_epoll_et(void*) {
    // Placed in static storage and never destroyed: the process may exit while this thread
    // still serves.
    alignas(tcp_server) static unsigned char storage[sizeof(tcp_server)];
    tcp_server* server = new (storage) tcp_server(tcp_port, video_ring, client_table,
                                                  video_suspended);
    if (server->setup() == 0) server->run();
    return nullptr;
}

int tcp_server_init() {
    signal(SIGPIPE, SIG_IGN);
    client_table.clear();
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, tcp_server_ipv6_epoll_et, nullptr);
    if (error != 0) {
        errno = error;
        log_perror("tcp_server_ipv6_epoll_et create failed");
        return -1;
    }
    error = pthread_detach(thread);
    if (error != 0) {
        errno = error;
        log_perror("tcp_server_ipv6_epoll_et detach error");
        return -1;
    }
    log_out("TCP server initialization successful (max %d clients).\n", max_clients);
    return 0;
}
