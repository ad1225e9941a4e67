#pragma once
// A client on another machine: a network namespace of its own, joined to the board's by a veth
// pair, whose end of the link can be taken down so that the peer vanishes without a word (no
// FIN, no RST), as a phone does when it leaves Wi-Fi range. Needs the right to change the
// board's network namespace (root); create() says why it could not.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "unique_fd.hpp"

class remote_peer {
public:
    static constexpr const char* board_address = "10.254.4.1";
    static constexpr const char* peer_address = "10.254.4.2";

    // The peer's namespace and the link into the namespace of process board_pid, both ends up
    // with their addresses; null (and why in *error) when that is not possible here.
    static std::unique_ptr<remote_peer> create(pid_t board_pid, std::string* error);

    // A TCP connection from the peer to the board's address; invalid (errno set) on failure.
    unique_fd connect(uint16_t port) const;
    // The peer's end of the link goes down: nothing it was sent arrives, nothing comes back.
    bool vanish() const;

private:
    explicit remote_peer(unique_fd ns) : ns_(std::move(ns)) {}
    unique_fd ns_;  // keeps the peer's namespace alive
};
