#pragma once
// Client bytes shown in a log line: printable ASCII as it is, everything else escaped, so a
// client cannot break the line or send control sequences to the terminal that shows the log.
#include <cstddef>

// Room for `length` bytes at their longest (\xHH) and the NUL.
constexpr size_t escaped_size(size_t length) { return length * 4 + 1; }

// What a client sent, in at most `room` characters, \r, \n, \\ and \xHH for other bytes outside
// 0x20..0x7E (out holds room + 1): whole when it fits, else as many bytes as fit followed by
// " ... (N bytes, M shown)". Returns the length.
size_t client_text_for_log(const char* data, size_t length, char* out, size_t room);
