#pragma once
// A relay in a child process beside the daemon: the bench writes each payload into its pipe and
// it sends them to clients of the bench over loopback TCP. Its CPU time comes from wait4 when its
// input ends. Two relays give the daemon's CPU figure its references:
//   socat         a bare relay, one wake-up, one read and one send a frame
//   engine shape  the daemon's streaming engine with nothing inside it: the same threads,
//                 hand-offs, wake-ups and tick, no frame checks, no client table, no commands
#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "unique_fd.hpp"

class piped_relay {
public:
    piped_relay() = default;
    piped_relay(const piped_relay&) = delete;
    piped_relay& operator=(const piped_relay&) = delete;
    ~piped_relay();

    // socat copying the pipe to one client.
    bool start_socat();
    // The engine's shape sending each payload (payload bytes, as written) to `clients` clients.
    bool start_engine_shape(int clients, uint32_t payload);

    // Hands the receiving end of connection i to a client (once).
    unique_fd take_connection(size_t i);
    bool write_payload(const std::vector<uint8_t>& payload);
    // Ends the input and waits for the relay; returns its CPU seconds (user + system).
    double finish();

private:
    bool listen_locally();
    bool accept_connections(int count);

    unique_fd listener_;
    uint16_t port_ = 0;
    unique_fd input_;        // the bench writes payloads here
    unique_fd relay_input_;  // the pipe's other end: the child's, closed here once it runs
    std::vector<unique_fd> connections_;
    pid_t pid_ = -1;
};
