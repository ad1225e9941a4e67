// The server thread. Every send and receive on a client socket runs here; the command thread
// reaches a client only through the reply outbox.
#include "tcp_server.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "listen_socket.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "named_thread.hpp"

namespace {

// Dual-stack: IPv4 peers arrive as IPv4-mapped IPv6 addresses and take the IPv6 line. The IPv4
// line is for the IPv4 listener of a kernel without IPv6.
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

// epoll_ctl's result for adding fd to the set, reporting events.
int epoll_add(int epfd, int fd, uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &event);
}

}  // namespace

tcp_server::tcp_server(uint16_t port, frame_ring& ring, client_table& clients,
                       std::atomic<int>& suspended, mono_clock_source& clock)
    : port_(port), ring_(ring), clients_(clients), suspended_(suspended), clock_(clock),
      streamer_(ring, clients, suspended, clock),
      worker_(clients, suspended, clock) {}

int tcp_server::setup() {
    epoll_fd_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_fd_.valid()) {
        log_perror("epoll_create1 failed");
        return -1;
    }
    listen_fd_ = open_listen_socket(port_, listen_backlog);
    if (!listen_fd_.valid()) {
        epoll_fd_.reset();
        return -1;
    }
    if (epoll_add(epoll_fd_.get(), listen_fd_.get(), listen_events) < 0) {
        log_perror("epoll_ctl add tcp_fd failed");
        shutdown();
        return -1;
    }
    // The processor's wake-up: a stored frame leaves at once instead of at the next tick.
    wake_fd_ = ring_.open_wake();
    if (wake_fd_ >= 0) {
        if (epoll_add(epoll_fd_.get(), wake_fd_, EPOLLIN) < 0) {
            log_perror("epoll_ctl add frame wake-up failed");
            wake_fd_ = -1;
        }
    }
    if (worker_.start() != 0) {
        log_perror("AT worker create failed");
        shutdown();
        return -1;
    }
    clients_.set_epoll(epoll_fd_.get());
    spare_.open();
    return 0;
}

void tcp_server::run() {
    while (turn() >= 0) {
    }
    shutdown();
}

int tcp_server::turn(int wait_ms) {
    int64_t now_us = clock_.now_us();
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
    // Connections are taken after the batch's hang-ups have freed their slots, and after every
    // event of the batch that names a descriptor: one closed here may be a new client's by then.
    bool listener_ready = false;
    bool frames_stored = false;
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == listen_fd_.get()) {
            listener_ready = true;
        } else if (wake_fd_ >= 0 && events[i].data.fd == wake_fd_) {
            ring_.clear_wake();
            frames_stored = true;
        } else {
            handle_client_event(events[i].data.fd, events[i].events);
        }
    }
    if (listener_ready) accept_clients();
    now_us = clock_.now_us();
    streamer_.writer().write_all(now_us);
    if (now_us >= next_tick_us_) {
        if (accept_retry_due_) accept_clients();
        streamer_.tick();
        if (tick_work* work = tick_work_.load()) work->step(now_us);
        next_tick_us_ += loop_wait_ms * 1000;
        // A tick held up longer than a period is not made up for with a burst of ticks.
        if (next_tick_us_ <= now_us) next_tick_us_ = now_us + loop_wait_ms * 1000;
    } else if (frames_stored) {
        streamer_.send_waiting();
    }
    return 0;
}

// Closing every slot first drops what each client was owed and its waiting commands; the
// command thread ends after the one it runs.
void tcp_server::shutdown() {
    listen_fd_.reset();
    for (int i = 0; i < max_clients; ++i) {
        if (clients_.at(i).connected()) clients_.close(i);
    }
    worker_.stop();
    clients_.set_epoll(-1);
    epoll_fd_.reset();
}

void tcp_server::handle_client_event(int fd, uint32_t events) {
    if (events & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
        close_client(fd, close_path::hang_up);
        return;
    }
    if (events & EPOLLIN) receive_from(fd);
    if (events & EPOLLOUT) {
        const int index = clients_.find(fd);
        if (index >= 0) streamer_.writer().write(index, clock_.now_us());
    }
}

// Takes every waiting connection, refusing those that find four live clients: edge-triggered
// notification does not come again for the ones left behind. An error that may leave some
// waiting has the next tick try again.
void tcp_server::accept_clients() {
    accept_retry_due_ = false;
    for (;;) {
        sockaddr_storage peer{};
        socklen_t peer_size = sizeof(peer);
        unique_fd socket(accept4(listen_fd_.get(), reinterpret_cast<sockaddr*>(&peer), &peer_size,
                                 SOCK_CLOEXEC));
        if (!socket.valid()) {
            if (errno == EINTR) {
                if (accept_interrupted_lines_.allow()) log_out("accept interrupted by signal, retry\n");
                continue;
            }
            const after_failure next =
                errno == EAGAIN ? after_failure::backlog_empty : after_accept_failure(errno);
            if (next == after_failure::take_next) continue;
            if (next == after_failure::backlog_empty) {
                if (backlog_empty_lines_.allow())
                    log_out("event.events & EPOLLIN break (no more connections)\n");
                spare_.open();  // lost when it could not be opened again after a refusal
            }
            accept_retry_due_ = next == after_failure::try_at_tick;
            return;
        }
        const int fd = socket.get();
        if (clients_.connected() == max_clients) close_hung_up_clients();
        // The first client starts at live; later ones join the shared position, which is live
        // while the others keep up.
        if (clients_.connected() == 0) streamer_.catch_up_to_live();
        int index = -1;
        if (!add_client(socket, &index)) continue;
        log_peer(index, peer, fd);
    }
}

// Linux gives a descriptor to the new connection before it looks for one, so running out of
// descriptors says nothing about the backlog: the spare finds out, refusing a waiting one.
tcp_server::after_failure tcp_server::after_accept_failure(int error) {
    const after_accept_error meaning = what_after_accept_error(error);
    if (meaning != after_accept_error::refuse_spare) {
        accept_errors_.report(error);
        return meaning == after_accept_error::next ? after_failure::take_next
                                                   : after_failure::try_at_tick;
    }
    const spare_descriptor::refusal refusal = spare_.refuse_one(listen_fd_.get());
    if (refusal == spare_descriptor::refusal::none_waiting) return after_failure::backlog_empty;
    accept_errors_.report(error);
    if (refusal == spare_descriptor::refusal::failed) return after_failure::try_at_tick;
    if (refused_for_descriptors_.allow()) log_err("Reject new client: out of descriptors\n");
    return after_failure::take_next;
}

// A client that hung up between the wait and the accept still holds its slot, its hang-up not
// yet read: the table is full only of clients whose sockets show neither a hang-up nor an error.
void tcp_server::close_hung_up_clients() {
    int fds[max_clients];
    int count = 0;
    for (int i = 0; i < max_clients; ++i) {
        if (clients_.at(i).connected()) fds[count++] = clients_.at(i).fd;
    }
    int hung_up[max_clients];
    const int found = sockets_hung_up(fds, count, hung_up);
    for (int i = 0; i < found; ++i) close_client(hung_up[i], close_path::hang_up);
}

bool tcp_server::add_client(unique_fd& socket, int* index) {
    *index = clients_.free_slot();
    if (*index < 0) {
        log_err("Reject new client: max %d connections reached\n", max_clients);
        socket.reset();
        return false;
    }
    if (set_client_socket_options(socket.get(), dead_peer_) < 0) {
        socket.reset();
        return false;
    }
    if (epoll_add(epoll_fd_.get(), socket.get(), client_events) < 0) {
        log_perror("epoll_ctl add cs failed");
        socket.reset();
        return false;
    }
    clients_.open(*index, socket.release(), clock_.now_us());
    return true;
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
    show_received(fd, total);
    const int index = clients_.find(fd);
    if (index < 0 || received_lines_[static_cast<size_t>(index)].allow())
        log_out("Received data from (fd %d): %s\n", fd, shown_);
    if (index < 0) return;
    clients_.mark_alive(index, clock_.now_s(), false);
    if (worker_.handler() != nullptr) hand_to_worker(index, fd, total);
}

// The line, its '\n' included, is at most log_line_max bytes: one write, never torn by another
// writer's on the same pipe.
void tcp_server::show_received(int fd, size_t length) {
    const int prefix = snprintf(nullptr, 0, "Received data from (fd %d): ", fd);
    size_t room = log_line_max - 1 - static_cast<size_t>(prefix > 0 ? prefix : 0);
    if (room > sizeof shown_ - 1) room = sizeof shown_ - 1;
    client_text_for_log(receive_buffer_, length, shown_, room);
}

// A status request with nothing of its client's ahead of it is answered here and now, so it
// comes even while another client's command hangs. A chunk beyond a client's waiting limit runs
// nothing; its line is printed now and its reply follows the replies of the commands before it.
void tcp_server::hand_to_worker(int index, int fd, size_t length) {
    clients_.count_command(index);
    const uint32_t connection = clients_.at(index).connection;
    at_command_handler* const handler = worker_.handler();
    if (handler != nullptr && handler->asks_status(receive_buffer_, static_cast<int>(length)) &&
        worker_.idle(index)) {
        clients_.post_status(index, connection, fd, suspended_.load() != 0, clock_.now_us());
        return;
    }
    if (worker_.submit(index, connection, fd, receive_buffer_, length)) return;
    if (refused_lines_[static_cast<size_t>(index)].allow())
        log_err("AT command execution failed (fd %d), error code: %d\n", fd, at_busy_code);
}

void tcp_server::close_client(int fd, close_path path) {
    if (path == close_path::hang_up) log_err("Client fd %d closed/error\n", fd);
    if (path == close_path::peer_closed) log_err("Client fd %d closed\n", fd);
    const int index = clients_.find(fd);
    if (index < 0) {
        epoll_ctl(epoll_fd_.get(), EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        return;
    }
    if (path == close_path::hang_up) {
        log_err("Client %d (fd %d): Marked as disconnected\n", index, fd);
    }
    clients_.close(index);
}

namespace {

void* tcp_server_ipv6_epoll_et(void* argument) {
    tcp_server& server = *static_cast<tcp_server*>(argument);
    if (server.setup() == 0) server.run();
    return nullptr;
}

}  // namespace

int tcp_server_init(tcp_server& server) {
    signal(SIGPIPE, SIG_IGN);
    server.set_dead_peer_timing(dead_peer_timing_from_environment());
    if (start_named_thread(tcp_server_ipv6_epoll_et, &server, "tcp-server") != 0) {
        log_perror("tcp_server_ipv6_epoll_et create failed");
        return -1;
    }
    log_out("TCP server initialization successful (max %d clients).\n", max_clients);
    return 0;
}
