#pragma once
// Durations (send time-outs, client silence, stale event data) are measured on the monotonic
// clock: the board sets its wall clock late, and a jump must not close clients or stall a send.
// What measures durations that tests step is handed a mono_clock_source; the daemon's is a
// monotonic_clock.
#include <cerrno>
#include <cstdint>
#include <ctime>

// Real time passing: for bounds that hold whatever clock a room was handed (a command's time
// limit, the stop's wait, the log's flush). Async-signal-safe.
inline int64_t mono_now_us() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

inline int64_t mono_now_ms() { return mono_now_us() / 1000; }

class mono_clock_source {
public:
    virtual ~mono_clock_source() = default;
    virtual int64_t now_us() = 0;
    // Whole seconds, as the silence and stale rules count them.
    int64_t now_s() { return now_us() / 1000000; }
};

class monotonic_clock final : public mono_clock_source {
public:
    int64_t now_us() override { return mono_now_us(); }
};

// Sleeps the whole pause on the real monotonic clock, whatever signals arrive meanwhile.
inline void mono_sleep_us(int64_t microseconds) {
    timespec until{};
    clock_gettime(CLOCK_MONOTONIC, &until);
    const int64_t nanoseconds = until.tv_nsec + microseconds % 1000000 * 1000;
    until.tv_sec += static_cast<time_t>(microseconds / 1000000 + nanoseconds / 1000000000);
    until.tv_nsec = static_cast<long>(nanoseconds % 1000000000);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
