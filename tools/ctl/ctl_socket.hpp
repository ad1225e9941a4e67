#pragma once
// The tool's end of the daemon's TCP port: a connection by name or address with a deadline,
// and reads and writes that never wait past a deadline. Deadlines are monotonic milliseconds
// (mono_now_ms).
#include <cstddef>
#include <cstdint>
#include <string>

#include "unique_fd.hpp"

// Connects to the first address of host (a name, an IPv4 or an IPv6 address, the latter also
// in brackets) that accepts. On failure returns an invalid descriptor and a message.
unique_fd connect_to_daemon(const std::string& host, uint16_t port, int64_t deadline_ms,
                            std::string& problem);

// connect_to_daemon within timeout_s from now; on failure prints why on standard error and
// returns an invalid descriptor (the command then ends with exit_unreachable).
unique_fd connect_or_say_why(const std::string& host, uint16_t port, double timeout_s);

// Sends all of text. False with a message on failure or at the deadline.
bool send_command(int fd, const std::string& text, int64_t deadline_ms, std::string& problem);

enum class read_status { data, closed, timed_out, interrupted, failed };

struct read_result {
    read_status status = read_status::failed;
    size_t count = 0;
    int error = 0;  // errno for failed
};

// Waits for bytes until the deadline; returns what one read brings.
read_result read_some(int fd, uint8_t* buffer, size_t size, int64_t deadline_ms);
