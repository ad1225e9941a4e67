#include "piped_relay.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include "mono_clock.hpp"
#include "frame_format.hpp"
#include "raw_queue.hpp"
#include "video_ring.hpp"
#include "tcp_server.hpp"

namespace {

constexpr int connect_wait_ms = 10000;

// Moves length bytes by repeating step(done) (a read, write or send of what is left after the
// first done bytes) through short counts and signals; false at an end or an error.
template <typename Step>
bool whole(size_t length, Step step) {
    size_t done = 0;
    while (done < length) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool read_whole(int fd, uint8_t* data, size_t length) {
    return whole(length, [&](size_t done) { return read(fd, data + done, length - done); });
}

bool write_whole(int fd, const uint8_t* data, size_t length) {
    return whole(length, [&](size_t done) { return write(fd, data + done, length - done); });
}

bool send_whole(int fd, const uint8_t* data, size_t length) {
    return whole(length, [&](size_t done) {
        return send(fd, data + done, length - done, MSG_NOSIGNAL);
    });
}

// The engine's shape. The intake thread blocks for each frame, as the transfer thread blocks in
// the bus transfer, and queues it with one signal a slot; the frames thread copies it into the
// ring and wakes the server through an eventfd; the server sends every waiting frame to each
// client on that wake-up and also wakes for its 10 ms tick, on the tick's own schedule.
class engine_shape {
public:
    engine_shape(int input, std::vector<unique_fd> clients, uint32_t payload)
        : input_(input), clients_(std::move(clients)), payload_(payload) {}

    int run() {
        wake_.reset(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
        const unique_fd epoll(epoll_create1(EPOLL_CLOEXEC));
        epoll_event interest{};
        interest.events = EPOLLIN;
        if (!wake_.valid() || !epoll.valid() ||
            epoll_ctl(epoll.get(), EPOLL_CTL_ADD, wake_.get(), &interest) != 0)
            return 1;
        pthread_t intake, frames;
        if (pthread_create(&intake, nullptr, &engine_shape::intake_entry, this) != 0 ||
            pthread_create(&frames, nullptr, &engine_shape::frames_entry, this) != 0)
            return 1;
        return serve(epoll.get());
    }

private:
    static void* intake_entry(void* self) { return static_cast<engine_shape*>(self)->intake(); }
    static void* frames_entry(void* self) { return static_cast<engine_shape*>(self)->frames(); }

    // A zero-length slot says the input ended.
    void* intake() {
        static uint8_t block[frame_max_payload];
        for (;;) {
            const bool got = read_whole(input_, block, payload_);
            pthread_mutex_lock(&queue_mutex_);
            memcpy(queue_[queue_write_ % raw_queue_slots], block, payload_);
            queue_length_[queue_write_ % raw_queue_slots] = got ? payload_ : 0;
            ++queue_write_;
            pthread_cond_signal(&queue_cond_);
            pthread_mutex_unlock(&queue_mutex_);
            if (!got) return nullptr;
        }
    }

    void* frames() {
        for (;;) {
            pthread_mutex_lock(&queue_mutex_);
            while (queue_read_ == queue_write_) pthread_cond_wait(&queue_cond_, &queue_mutex_);
            const unsigned slot = queue_read_++ % raw_queue_slots;
            pthread_mutex_unlock(&queue_mutex_);
            const uint32_t length = queue_length_[slot];
            pthread_mutex_lock(&ring_mutex_);
            memcpy(ring_[ring_write_ % video_ring_slots], queue_[slot], length);
            ring_length_[ring_write_ % video_ring_slots] = length;
            ++ring_write_;
            pthread_mutex_unlock(&ring_mutex_);
            const uint64_t one = 1;
            if (write(wake_.get(), &one, sizeof one) < 0) return nullptr;
            if (length == 0) return nullptr;
        }
    }

    int serve(int epoll) {
        int64_t next_tick_us = mono_now_us() + loop_wait_ms * 1000;
        for (;;) {
            const int64_t until_tick_us = std::max<int64_t>(0, next_tick_us - mono_now_us());
            epoll_event event;
            const int count = epoll_wait(epoll, &event, 1,
                                         static_cast<int>((until_tick_us + 999) / 1000));
            if (count < 0 && errno != EINTR) return 1;
            if (count > 0) {
                uint64_t stored;
                if (read(wake_.get(), &stored, sizeof stored) < 0 && errno != EAGAIN) return 1;
                if (!send_waiting()) return ended_ ? 0 : 1;
            }
            const int64_t now_us = mono_now_us();
            if (now_us >= next_tick_us) next_tick_us = now_us + loop_wait_ms * 1000;
        }
    }

    // False once the input's end is reached (or a client went).
    bool send_waiting() {
        static uint8_t frame[frame_max_payload];
        for (;;) {
            pthread_mutex_lock(&ring_mutex_);
            const bool waiting = ring_read_ != ring_write_;
            const unsigned slot = ring_read_ % video_ring_slots;
            const uint32_t length = waiting ? ring_length_[slot] : 0;
            if (waiting) memcpy(frame, ring_[slot], length);
            pthread_mutex_unlock(&ring_mutex_);
            if (!waiting) return true;
            ++ring_read_;
            if (length == 0) {
                ended_ = true;
                return false;
            }
            for (const unique_fd& client : clients_)
                if (!send_whole(client.get(), frame, length)) return false;
        }
    }

    const int input_;
    const std::vector<unique_fd> clients_;
    const uint32_t payload_;
    unique_fd wake_;
    bool ended_ = false;
    pthread_mutex_t queue_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t queue_cond_ = PTHREAD_COND_INITIALIZER;
    uint8_t queue_[raw_queue_slots][frame_max_payload];
    uint32_t queue_length_[raw_queue_slots];
    unsigned queue_read_ = 0, queue_write_ = 0;
    pthread_mutex_t ring_mutex_ = PTHREAD_MUTEX_INITIALIZER;
    uint8_t ring_[video_ring_slots][frame_max_payload];
    uint32_t ring_length_[video_ring_slots];
    unsigned ring_read_ = 0, ring_write_ = 0;
};

// Port 0 lets bind choose one.
sockaddr_in loopback_address(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

unique_fd connect_to(uint16_t port) {
    const sockaddr_in address = loopback_address(port);
    unique_fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.valid() &&
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        fd.reset();
    return fd;
}

}  // namespace

piped_relay::~piped_relay() {
    if (pid_ > 0) finish();
}

bool piped_relay::listen_locally() {
    listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address = loopback_address(0);
    socklen_t size = sizeof address;
    if (!listener_.valid() ||
        bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listener_.get(), max_clients) != 0 ||
        getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
        return false;
    port_ = ntohs(address.sin_port);
    int pipe_fds[2];
    if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
    input_.reset(pipe_fds[1]);
    relay_input_.reset(pipe_fds[0]);
    return true;
}

bool piped_relay::accept_connections(int count) {
    relay_input_.reset();  // the child's alone now
    for (int i = 0; i < count; ++i) {
        pollfd ready{listener_.get(), POLLIN, 0};
        if (poll(&ready, 1, connect_wait_ms) != 1) return false;
        connections_.emplace_back(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        if (!connections_.back().valid()) return false;
    }
    return true;
}

bool piped_relay::start_socat() {
    if (!listen_locally()) return false;
    const std::string target = "TCP:127.0.0.1:" + std::to_string(port_);
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        dup2(relay_input_.get(), STDIN_FILENO);
        execlp("socat", "socat", "-u", "STDIN", target.c_str(), static_cast<char*>(nullptr));
        perror("socat");
        _exit(127);
    }
    return accept_connections(1);
}

bool piped_relay::start_engine_shape(int clients, uint32_t payload) {
    if (!listen_locally()) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
        // The input's end must come when the bench closes its copy.
        input_.reset();
        listener_.reset();
        std::vector<unique_fd> sockets;
        for (int i = 0; i < clients; ++i) {
            sockets.push_back(connect_to(port_));
            if (!sockets.back().valid()) _exit(1);
        }
        // Large, and nothing the bench's own threads need: the child's alone.
        static engine_shape shape(relay_input_.get(), std::move(sockets), payload);
        _exit(shape.run());
    }
    return accept_connections(clients);
}

unique_fd piped_relay::take_connection(size_t i) {
    return i < connections_.size() ? std::move(connections_[i]) : unique_fd();
}

bool piped_relay::write_payload(const std::vector<uint8_t>& payload) {
    return write_whole(input_.get(), payload.data(), payload.size());
}

double piped_relay::finish() {
    input_.reset();
    if (pid_ <= 0) return NAN;
    int status = 0;
    rusage usage{};
    if (wait4(pid_, &status, 0, &usage) != pid_) return NAN;
    pid_ = -1;
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}
