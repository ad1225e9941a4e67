#pragma once
// Client bytes shown in a log line: printable ASCII as it is, everything else escaped, so a
// client cannot break the line or send control sequences to the terminal that shows the log.
#include <cstddef>

// Room for `length` bytes at their longest (\xHH) and the NUL.
constexpr size_t escaped_size(size_t length) { return length * 4 + 1; }

// Writes data[0..length) into out as \r, \n, \\ and \xHH for other bytes outside 0x20..0x7E;
// out holds escaped_size(length) bytes. Returns the text's length.
size_t escape_for_log(const char* data, size_t length, char* out);
