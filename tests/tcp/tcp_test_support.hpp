#pragma once
// Loopback sockets, a stepping clock and frame building for the TCP server's tests.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client_table.hpp"
#include "le_bytes.hpp"
#include "mono_clock.hpp"
#include "frame_format.hpp"
#include "video_ring.hpp"
#include "unique_fd.hpp"

namespace tcp_test {

inline void must(bool ok, const char* what) {
    if (!ok) {
        perror(what);
        abort();
    }
}

// Time moves only by step_us per reading and by what the test adds, so whole-second rules are
// exact while a send time-out still runs out after a bounded number of waits.
class stepping_clock : public mono_clock_source {
public:
    int64_t now_us() override { return time_us_.fetch_add(step_us_) + step_us_; }
    void set_s(int64_t seconds) { time_us_.store(seconds * 1000000); }
    void set_us(int64_t us) { time_us_.store(us); }
    void advance_s(int64_t seconds) { time_us_.fetch_add(seconds * 1000000); }
    int64_t peek_s() const { return time_us_.load() / 1000000; }

private:
    static constexpr int64_t step_us_ = 1000;
    std::atomic<int64_t> time_us_{1000LL * 1000000};
};

struct tcp_pair {
    unique_fd server;  // non-blocking, as the server keeps its clients
    unique_fd peer;    // blocking, the far end
};

// A connected pair on 127.0.0.1. peer_receive_buffer and server_send_buffer shrink the socket
// buffers (0 keeps the defaults) so a test can fill them quickly.
inline tcp_pair loopback_pair(int peer_receive_buffer = 0, int server_send_buffer = 0) {
    unique_fd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    must(listener.valid(), "socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    must(bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0,
         "bind");
    must(listen(listener.get(), 1) == 0, "listen");
    socklen_t size = sizeof(address);
    must(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size) == 0,
         "getsockname");
    tcp_pair pair;
    pair.peer.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    must(pair.peer.valid(), "socket");
    if (peer_receive_buffer > 0) {
        must(setsockopt(pair.peer.get(), SOL_SOCKET, SO_RCVBUF, &peer_receive_buffer,
                        sizeof(peer_receive_buffer)) == 0,
             "SO_RCVBUF");
    }
    must(connect(pair.peer.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0,
         "connect");
    pair.server.reset(accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    must(pair.server.valid(), "accept4");
    if (server_send_buffer > 0) {
        must(setsockopt(pair.server.get(), SOL_SOCKET, SO_SNDBUF, &server_send_buffer,
                        sizeof(server_send_buffer)) == 0,
             "SO_SNDBUF");
    }
    return pair;
}

// A connected local stream pair whose far end never reads. Its buffer, once full, stays full:
// a TCP receiver may still reopen its window a little after collapsing its queue, which would let
// a stray byte through a test that needs a client that takes nothing.
inline tcp_pair stalled_pair(int send_buffer = 4096) {
    int fds[2];
    must(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) == 0,
         "socketpair");
    tcp_pair pair;
    pair.server.reset(fds[0]);
    pair.peer.reset(fds[1]);
    must(setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer)) == 0,
         "SO_SNDBUF");
    return pair;
}

// Fills a non-blocking socket of a stalled pair until it takes not even one byte.
inline void fill_socket(int fd) {
    static const char block[4096] = {};
    while (send(fd, block, sizeof(block), MSG_NOSIGNAL) > 0) {
    }
    while (send(fd, block, 1, MSG_NOSIGNAL) > 0) {
    }
    must(errno == EAGAIN, "fill_socket");
}

// Whatever has arrived so far, without waiting.
inline std::string read_available(int fd) {
    std::string data;
    char block[4096];
    for (;;) {
        ssize_t n = recv(fd, block, sizeof(block), MSG_DONTWAIT);
        if (n <= 0) break;
        data.append(block, static_cast<size_t>(n));
    }
    return data;
}

// Reads exactly count bytes, giving up after a generous deadline.
inline std::string read_exactly(int fd, size_t count) {
    std::string data;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char block[4096];
    while (data.size() < count && std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) continue;
        size_t want = count - data.size() < sizeof(block) ? count - data.size() : sizeof(block);
        ssize_t n = recv(fd, block, want, MSG_DONTWAIT);
        if (n <= 0) break;
        data.append(block, static_cast<size_t>(n));
    }
    return data;
}

// True when the far end has closed: end of file (or a reset) within a generous deadline.
inline bool sees_close(int fd) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    char block[4096];
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, 100) <= 0) continue;
        ssize_t n = recv(fd, block, sizeof(block), MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno == ECONNRESET)) return true;
    }
    return false;
}

// Nothing to read and no end of file.
inline bool still_open_and_quiet(int fd) {
    char byte;
    ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n < 0 && errno == EAGAIN;
}

// Resets the connection: the far end gets an RST instead of a FIN.
inline void reset_connection(unique_fd& fd) {
    linger hard{1, 0};
    must(setsockopt(fd.get(), SOL_SOCKET, SO_LINGER, &hard, sizeof(hard)) == 0, "SO_LINGER");
    fd.reset();
}

inline bool descriptor_open(int fd) { return fcntl(fd, F_GETFD) >= 0; }

inline uint16_t local_port(int fd) {
    sockaddr_storage address{};
    socklen_t size = sizeof(address);
    must(getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0, "getsockname");
    if (address.ss_family == AF_INET) {
        sockaddr_in v4{};
        memcpy(&v4, &address, sizeof(v4));
        return ntohs(v4.sin_port);
    }
    sockaddr_in6 v6{};
    memcpy(&v6, &address, sizeof(v6));
    return ntohs(v6.sin6_port);
}

// A whole frame as the processor stores it: header, payload, CRC.
inline std::vector<uint8_t> make_frame(const std::string& payload, uint8_t sequence = 0) {
    std::vector<uint8_t> frame(frame_header_size + payload.size() + frame_crc_size, 0);
    put_le16(&frame[frame_sync_offset], frame_sync_word);
    put_le32(&frame[frame_length_offset], static_cast<uint32_t>(payload.size()));
    frame[frame_sequence_offset] = sequence;
    memcpy(&frame[frame_header_size], payload.data(), payload.size());
    uint16_t crc = crc16_frame(crc16_frame_init, frame.data(), frame_header_size + payload.size());
    put_le16(&frame[frame_header_size + payload.size()], crc);
    return frame;
}

inline void store_frame(frame_ring& ring, const std::string& payload) {
    std::vector<uint8_t> frame = make_frame(payload);
    ring.store(frame.data(), frame.size());
}

// The frames the reader would take next: 0 once it has passed every stored one (an empty
// payload comes alone, so it counts 1 while the reader stands on it).
inline int unread_frames(frame_ring& ring) {
    constexpr int most = 8;
    static uint8_t payloads[most][frame_max_payload];
    uint32_t lengths[most];
    return ring.copy_payloads(payloads, lengths, most);
}

// Bytes with a visible pattern, different for each seed.
inline std::string pattern(size_t length, char seed) {
    std::string text(length, ' ');
    for (size_t i = 0; i < length; ++i) text[i] = static_cast<char>('A' + (seed + i) % 26);
    return text;
}

}  // namespace tcp_test
