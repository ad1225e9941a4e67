#pragma once
// The TCP server: one thread, one dual-stack listening socket, one edge-triggered epoll set.
// It accepts up to max_clients clients, hands what they send to the command thread, drops
// clients that hang up, writes to clients as their sockets take it, sends a frame as soon as the
// processor's wake-up says one was stored, and runs the streaming tick (time-outs, the silence
// sweep, and any frame a wake-up missed) every loop_wait_ms on its own schedule, whatever events
// arrive.
#include <sys/epoll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "accept_errors.hpp"
#include "at_reply.hpp"
#include "at_worker.hpp"
#include "client_socket.hpp"
#include "client_table.hpp"
#include "log.hpp"
#include "log_text.hpp"
#include "mono_clock.hpp"
#include "video_ring.hpp"
#include "unique_fd.hpp"
#include "video_stream.hpp"

constexpr uint16_t tcp_port = 554;
constexpr int listen_backlog = 4;
constexpr int max_events = 6;        // per wait: the listener, the wake-up and four clients
constexpr int loop_wait_ms = 10;     // the streaming tick's period
constexpr size_t receive_limit = at_chunk_max;  // one read's chunk; a NUL follows it
constexpr uint32_t listen_events = EPOLLIN | EPOLLRDHUP | EPOLLET;
constexpr uint32_t client_events = EPOLLIN | EPOLLOUT | EPOLLERR | EPOLLHUP | EPOLLRDHUP | EPOLLET;
static_assert(listen_events == 0x80002001u);
static_assert(client_events == 0x8000201du);

// What the tick does besides streaming once it is handed over: a stuck loop stops it by itself.
class tick_work {
public:
    virtual ~tick_work() = default;
    virtual void step(int64_t now_us) = 0;
};

class tcp_server {
public:
    // port 0 binds an ephemeral port (tests); the daemon uses tcp_port.
    // clients is the server thread's once setup() ran; suspended is the video switch a command
    // turns off (the tick reads it); clock measures the tick, the time-outs and the silence.
    tcp_server(uint16_t port, frame_ring& ring, client_table& clients,
               std::atomic<int>& suspended, mono_clock_source& clock);
    tcp_server(const tcp_server&) = delete;
    tcp_server& operator=(const tcp_server&) = delete;

    // Creates the epoll set and the listening socket and starts the AT worker. Returns 0, or -1
    // after printing why and releasing what was made.
    int setup();
    // Serves until a wait fails, then shuts down.
    void run();
    // One wait (at most wait_ms, and never past the tick's due time), the handling of its
    // events, the replies owed, and the streaming tick when it is due. Returns -1 when the wait
    // failed; the caller then shuts down.
    int turn(int wait_ms = loop_wait_ms);
    // Closes the listening socket, the epoll set and every client, frees the table and stops
    // the AT worker.
    void shutdown();
    // Runs received chunks through handler; without one they are only logged. A chunk that
    // the handler says is a status request is answered at once when nothing of its client's is
    // ahead of it. Set before the server thread starts.
    void set_handler(at_command_handler* handler) { worker_.set_handler(handler); }

    // What the loop does for an event on a client socket (exposed for tests).
    void handle_client_event(int fd, uint32_t events);
    // What the loop does when the listening socket is ready, and at each tick after an accept
    // error, until the backlog is empty (exposed for tests).
    void accept_clients();
    // Every tick from now on also runs work; from any thread.
    void add_tick_work(tick_work* work) { tick_work_.store(work); }
    // How long a peer that stopped acknowledging keeps its slot (dead_peer_default unless set
    // before clients come).
    void set_dead_peer_timing(const dead_peer_timing& timing) { dead_peer_ = timing; }

private:
    enum class close_path { hang_up, peer_closed, read_error };

    enum class after_failure { take_next, backlog_empty, try_at_tick };
    after_failure after_accept_failure(int error);
    void close_hung_up_clients();
    // True once the client is in the table and the epoll set.
    bool add_client(unique_fd& socket, int* index);
    void receive_from(int fd);
    void show_received(int fd, size_t length);
    void close_client(int fd, close_path path);
    void hand_to_worker(int index, int fd, size_t length);

    uint16_t port_;
    frame_ring& ring_;
    client_table& clients_;
    std::atomic<int>& suspended_;
    mono_clock_source& clock_;
    video_streamer streamer_;
    at_worker worker_;
    int64_t next_tick_us_ = 0;
    unique_fd epoll_fd_;
    unique_fd listen_fd_;
    spare_descriptor spare_;
    accept_error_log accept_errors_;
    log_repeat_limit refused_for_descriptors_{"reject: no descriptor"};
    bool accept_retry_due_ = false;  // an accept error may have left connections waiting
    dead_peer_timing dead_peer_ = dead_peer_default;
    int wake_fd_ = -1;  // the ring's, in the epoll set
    std::atomic<tick_work*> tick_work_{nullptr};
    char receive_buffer_[receive_limit + 1];
    char shown_[escaped_size(receive_limit)];
    log_repeat_limits<max_clients> received_lines_{"received data from client"};
    log_repeat_limits<max_clients> refused_lines_{"refused commands of client"};
    log_repeat_limit accept_interrupted_lines_{"accept interrupted"};
    log_repeat_limit backlog_empty_lines_{"no more connections"};
};

// Ignores SIGPIPE, reads the dead-peer timing from the environment and starts the detached
// thread that serves with server (the daemon's, on port 554) until the process ends.
// Returns 0 once the thread runs (its own set-up may still fail), -1 otherwise.
int tcp_server_init(tcp_server& server);
