#pragma once
// A client of the daemon on the board as the end-to-end tests see it: its socket and the
// descriptor the daemon logged for it in "New IPv6 connection (client N) from [ADDRESS]:PORT,
// fd=FD" (every client arrives as an IPv6 peer, an IPv4 one with its mapped address).
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>

#include "board_client.hpp"
#include "board_fixture.hpp"

struct connected_client {
    unique_fd socket;
    int daemon_fd = -1;
};

// The address the daemon logs for a client of this family on the board's own loopback.
inline std::string logged_address(client_family family) {
    return family == client_family::ipv4 ? "::ffff:127.0.0.1" : "::1";
}

// Waits for the exact connection line of client `index` at `address`, from the port of the
// client's socket; returns the logged descriptor, -1 (with a test failure) when none comes.
inline int expect_connection_line(board_fixture& board, int index, const std::string& address,
                                  int client_fd) {
    const std::string prefix = "New IPv6 connection (client " + std::to_string(index) +
                               ") from [" + address + "]:" + std::to_string(local_port(client_fd)) +
                               ", fd=";
    const std::optional<size_t> at =
        board.daemon().wait_for_prefix(output_stream::err, prefix, 0, e2e_deadline);
    if (!at) {
        ADD_FAILURE() << "no line beginning \"" << prefix << "\"";
        return -1;
    }
    const std::string line = board.stderr_lines()[*at];
    const std::string fd_text = line.substr(prefix.size());
    const bool digits = !fd_text.empty() && fd_text.size() < 6 &&
                        std::all_of(fd_text.begin(), fd_text.end(),
                                    [](char c) { return c >= '0' && c <= '9'; });
    if (!digits || std::stoi(fd_text) <= 0) {
        ADD_FAILURE() << "connection line with a bad descriptor: " << line;
        return -1;
    }
    return std::stoi(fd_text);
}

// Connects client number `index` (retrying while the server is not yet listening) and waits for
// the daemon's line about it.
inline connected_client connect_client(board_fixture& board, int index, client_family family) {
    connected_client client;
    client.socket = connect_when_listening(board.daemon().pid(), family, e2e_deadline);
    if (!client.socket.valid()) {
        ADD_FAILURE() << "client " << index << " cannot connect: " << strerror(errno);
        return client;
    }
    client.daemon_fd =
        expect_connection_line(board, index, logged_address(family), client.socket.get());
    return client;
}
