#pragma once
// A port of the host forwarded into the simulated board's network namespace, so that a player
// on the same machine reaches the daemon's port 554 without nsenter. Connections accepted on
// 127.0.0.1:HOST_PORT are joined to a fresh connection made inside the board, and the bytes are
// relayed both ways. One viewer at a time: the daemon serves four clients, and the forwarder
// takes at most one of them; a second viewer is closed at once, as is one that stops reading.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <thread>

#include "unique_fd.hpp"

// Connects to ::1 on the port inside the network namespace of process pid (a short-lived thread
// joins the namespace to make the socket, which stays there). Invalid, with errno set, on
// failure.
unique_fd connect_in_board(pid_t pid, uint16_t port);

class port_forward {
public:
    // Listens on 127.0.0.1:host_port. Throws std::runtime_error when it cannot.
    port_forward(uint16_t host_port, pid_t board_pid, uint16_t board_port);
    ~port_forward();
    port_forward(const port_forward&) = delete;
    port_forward& operator=(const port_forward&) = delete;

    uint64_t viewers_served() const { return served_; }
    bool viewer_connected() const { return connected_; }

private:
    void run();
    void take_viewer();
    bool relay(int from, int to);
    void drop_viewer();

    pid_t board_pid_;
    uint16_t board_port_;
    unique_fd listen_fd_;
    unique_fd wake_fd_;
    unique_fd viewer_;
    unique_fd board_;
    std::atomic<uint64_t> served_{0};
    std::atomic<bool> connected_{false};
    std::thread thread_;
};
