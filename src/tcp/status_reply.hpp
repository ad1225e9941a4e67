#pragma once
// The "AT+AB status" reply, made on the server thread, which owns the client table, at the
// moment the reply starts.
#include <cstddef>
#include <cstdint>

#include "client_table.hpp"

static_assert(status_reply_size <= rest_capacity, "the status reply is staged in a client's rest");

// The daemon's counters and each entry's; returns the length written (0 if out is too small).
size_t format_server_status(const client_registry& clients, bool video_suspended,
                            int64_t now_us, char* out, size_t size);
