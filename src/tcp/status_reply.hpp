#pragma once
// The "AT+AB status" reply: the daemon's counters and each client's, read when it is made, on
// whichever thread answers (the server's at once, or the command thread's in its turn).
#include <cstddef>
#include <cstdint>

#include "client_table.hpp"

static_assert(status_reply_size <= at_reply_max, "the status reply goes out as one reply");

// Returns the length written (0 if out is too small).
size_t format_server_status(client_table& clients, bool video_suspended, int64_t now_us,
                            char* out, size_t size);

// Posts the status reply for the connection in slot index as of now_us, after what it is already
// owed. Returns 0, or -1 after the failure line.
int answer_status(client_table& clients, bool video_suspended, int index, uint32_t connection,
                  int fd, int64_t now_us);
