#pragma once
// Reading the video stream for record and check: until the consumer has enough, a time is up,
// Ctrl-C, or the stream ends or stalls.
#include <cstddef>
#include <cstdint>
#include <functional>

enum class stream_end { finished, interrupted, closed, stalled, failed };

// Says on standard error why a stream ended early (closed, stalled or failed; the others are
// not early) and returns exit_no_answer.
int report_early_end(stream_end end, const char* host, double timeout_s, int read_errno);

struct stream_limits {
    int64_t end_ms = 0;    // monotonic; 0: no time limit
    int64_t stall_ms = 0;  // how long the stream may stay silent
};

// Returns false when it has had enough.
using stream_consumer = std::function<bool(const uint8_t* data, size_t length)>;

// Ctrl-C (SIGINT) and SIGTERM end the reading in an orderly way from now on.
void stop_on_interrupt();

// failed_errno receives errno for stream_end::failed.
stream_end read_stream(int fd, const stream_limits& limits, const stream_consumer& consume,
                       int& failed_errno);
