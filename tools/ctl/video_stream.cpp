#include "video_stream.hpp"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"

namespace {

constexpr size_t read_size = 65536;

volatile sig_atomic_t stop_requested = 0;

void request_stop(int) {
    stop_requested = 1;
}

}  // namespace

void stop_on_interrupt() {
    struct sigaction action {};
    action.sa_handler = request_stop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no restart: a waiting poll returns at once
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

stream_end read_stream(int fd, const stream_limits& limits, const stream_consumer& consume,
                       int& failed_errno) {
    std::vector<uint8_t> buffer(read_size);
    for (;;) {
        if (stop_requested) return stream_end::interrupted;
        const int64_t now = mono_now_ms();
        if (limits.end_ms != 0 && now >= limits.end_ms) return stream_end::finished;
        int64_t deadline = now + limits.stall_ms;
        if (limits.end_ms != 0 && limits.end_ms < deadline) deadline = limits.end_ms;

        const read_result r = read_some(fd, buffer.data(), buffer.size(), deadline);
        switch (r.status) {
            case read_status::data:
                if (!consume(buffer.data(), r.count)) return stream_end::finished;
                break;
            case read_status::interrupted:
                break;
            case read_status::timed_out:
                if (limits.end_ms != 0 && mono_now_ms() >= limits.end_ms)
                    return stream_end::finished;
                return stream_end::stalled;
            case read_status::closed:
                return stream_end::closed;
            case read_status::failed:
                failed_errno = r.error;
                return stream_end::failed;
        }
    }
}

int report_early_end(stream_end end, const char* host, double timeout_s, int read_errno) {
    switch (end) {
        case stream_end::closed:
            fprintf(stderr, "nanvideoctl: %s closed the connection\n", host);
            break;
        case stream_end::stalled:
            fprintf(stderr, "nanvideoctl: no video from %s for %g s\n", host, timeout_s);
            break;
        case stream_end::failed:
            fprintf(stderr, "nanvideoctl: reading from %s failed: %s\n", host, strerror(read_errno));
            break;
        case stream_end::finished:
        case stream_end::interrupted:
            break;
    }
    return exit_no_answer;
}
