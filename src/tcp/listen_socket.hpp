#pragma once
// The server's listening socket: one dual-stack IPv6 socket (IPv4 peers arrive as mapped IPv6
// addresses), or an IPv4 one on a kernel without IPv6.
#include <cstdint>

#include "unique_fd.hpp"

// A kernel built without IPv6, or booted with ipv6.disable=1, refuses IPv6 sockets with
// EAFNOSUPPORT; then, and only then, the server listens on IPv4 alone.
constexpr char ipv4_fallback_line[] =
    "IPv6 is not available (kernel without IPv6 or ipv6.disable=1): listening on IPv4 "
    "0.0.0.0:%u only\n";

// A non-blocking listening socket on every local address and `port` (0: an ephemeral one), or
// an invalid descriptor after printing why.
unique_fd open_listen_socket(uint16_t port, int backlog);
