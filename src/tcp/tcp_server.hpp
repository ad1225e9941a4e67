#pragma once
// The TCP server: one thread, one dual-stack listening socket, one edge-triggered epoll set.
// It accepts up to max_clients clients, hands what they send to the AT worker, drops clients
// that hang up, writes to clients as their sockets take it, and runs the streaming tick every
// loop_wait_ms on its own schedule, whatever events arrive.
#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "at_worker.hpp"
#include "client_table.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "spi_link.hpp"
#include "unique_fd.hpp"
#include "video_stream.hpp"

constexpr uint16_t tcp_port = 554;
constexpr int listen_backlog = 4;
constexpr int max_events = 5;        // per wait
constexpr int loop_wait_ms = 10;     // the streaming tick's period
constexpr int client_send_buffer_size = 65536;
constexpr size_t receive_buffer_size = 1024;
constexpr size_t receive_limit = receive_buffer_size - 1;  // room for the terminating NUL
constexpr uint32_t listen_events = EPOLLIN | EPOLLRDHUP | EPOLLET;
constexpr uint32_t client_events = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP | EPOLLRDHUP | EPOLLET;
static_assert(listen_events == 0x80002001u);
static_assert(client_events == 0x8000201du);

// Set to 1 by the AT configuration query; the streaming tick does nothing from then on.
extern std::atomic<int> video_suspended;

// Called on the AT worker with each received chunk (always at least one byte, NUL-terminated);
// replies to the client itself through send_at_response. Returns 0 or an error code.
using at_command_handler = int (*)(int fd, const char* data, int length);
void tcp_set_at_command_handler(at_command_handler handler);
at_command_handler tcp_at_command_handler();

// A chunk that comes while its client's previous command is queued or running runs nothing and
// gets this reply at once.
constexpr char at_busy_reply[] = "ERROR: Command execution failed\r\n";
constexpr int at_busy_code = -9;

// Clears client_table, ignores SIGPIPE and starts the detached server thread on port 554.
// Returns 0 once the thread runs (its own set-up may still fail), -1 otherwise.
int tcp_server_init();

// Thread entry of the daemon's server (port 554, video_ring, client_table).
void* tcp_server_ipv6_epoll_et(void*);

class tcp_server {
public:
    // port 0 binds an ephemeral port (tests); the daemon uses tcp_port.
    tcp_server(uint16_t port, frame_ring& ring, client_registry& clients,
               const std::atomic<int>& suspended, int video_timeout_ms = video_send_timeout_ms);
    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    // Creates the epoll set and the listening socket and starts the AT worker. Returns 0, or -1
    // after printing why and releasing what was made.
    int setup();
    // Serves until a wait fails (or stop() is called), then shuts down.
    void run();
    // One wait (at most wait_ms, and never past the tick's due time), the handling of its
    // events, the replies owed, and the streaming tick when it is due. Returns -1 when the wait
    // failed; the caller then shuts down.
    int turn(int wait_ms = loop_wait_ms);
    // Closes the listening socket, the epoll set and every client, frees the table and stops
    // the AT worker.
    void shutdown();
    // True when no AT command is queued or running (tests).
    bool commands_idle() { return worker_.idle(); }

    // Asks run() to return after its current turn; the daemon never calls it.
    void stop() { stop_requested_.store(true); }
    // The port actually bound (after setup).
    uint16_t port() const;
    // What the loop does for an event on a client socket (exposed for tests).
    void handle_client_event(int fd, uint32_t events);

private:
    enum class close_path { hang_up, peer_closed, read_error };
    enum class admission { added, rejected, failed };

    void accept_clients();
    admission add_client(unique_fd& socket, int* index);
    void receive_from(int fd);
    void close_client(int fd, close_path path);
    void hand_to_worker(int fd, size_t length);

    uint16_t port_;
    client_registry& clients_;
    video_streamer streamer_;
    at_worker worker_;
    int64_t next_tick_us_ = 0;
    unique_fd epoll_fd_;
    unique_fd listen_fd_;
    std::atomic<bool> stop_requested_{false};
    char receive_buffer_[receive_buffer_size];
    char shown_[escaped_size(receive_limit)];
    log_repeat_limits<max_clients> received_lines_{"received data from client"};
    log_repeat_limit accept_error_lines_{"accept errors"};
};
