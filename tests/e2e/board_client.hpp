#pragma once
// TCP clients of a daemon on the simulated board. The daemon listens on port 554 inside its own
// network namespace; a client socket is made inside that namespace (by a short-lived thread that
// joins it) and then used from the test like any other socket.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.hpp"

enum class client_family { ipv4, ipv6 };

constexpr uint16_t daemon_port = 554;

// Connects to 127.0.0.1 or ::1 on the port inside the network namespace of process pid.
// Returns an invalid descriptor (and sets errno) when the connection fails.
unique_fd connect_in_namespace(pid_t pid, client_family family, uint16_t port = daemon_port);

// The local port of a client socket, which the daemon logs as the peer's (0 when unknown).
uint16_t local_port(int fd);

// Socket settings made before connecting; 0 keeps the system's.
struct socket_limits {
    int max_segment = 0;     // TCP_MAXSEG, as over a radio link
    int receive_buffer = 0;  // SO_RCVBUF
};
unique_fd connect_in_namespace(pid_t pid, client_family family, const socket_limits& limits,
                               uint16_t port = daemon_port);

// Connects as connect_in_namespace does, trying again while the connection is refused until the
// timeout has passed: start-up reports the server before its thread has bound the port.
unique_fd connect_when_listening(pid_t pid, client_family family, std::chrono::milliseconds timeout,
                                 const socket_limits& limits = {});

// Makes a listening socket inside the namespace (to hold a port before the daemon binds it).
unique_fd listen_in_namespace(pid_t pid, uint16_t port);

// Sends all of text; false on failure.
bool send_text(int fd, const std::string& text);

// Reads until at least `count` bytes have arrived or the deadline passes; returns all that
// arrived, which may be more than `count`.
std::string read_bytes(int fd, size_t count, std::chrono::milliseconds timeout);

// Reads until `suffix` ends what arrived or the deadline passes; returns what arrived.
std::string read_until(int fd, const std::string& suffix, std::chrono::milliseconds timeout);

// A client of the daemon and all it has received.
struct client_bytes {
    unique_fd fd;
    std::vector<uint8_t> bytes;
    bool ended = false;  // the daemon closed the connection
};

// Reads every client until each has `size` bytes, has ended, or has received nothing for
// `quiet`. Returns when the last byte came. clients must not be empty.
std::chrono::steady_clock::time_point read_until_quiet(std::vector<client_bytes>& clients,
                                                       size_t size,
                                                       std::chrono::milliseconds quiet);
