#pragma once
// A client of the daemon's video that connects, reads for a random while, leaves and comes back,
// for the whole soak. Every connection gets a fresh payload_checker, so each byte received is
// checked from where the client joined (the shared read position). Once, on request, it stops
// reading for a while with the connection open: the stalled client.
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <thread>

#include "payload_checker.hpp"
#include "soak_common.hpp"

// What one client saw, counted apart inside and outside the stall phase.
struct stream_counts {
    uint64_t bytes = 0;
    uint64_t frames_checked = 0;
    uint64_t wrong = 0;         // payloads whose bytes differ from the plan
    uint64_t out_of_order = 0;  // payloads of an earlier frame than the one due
    uint64_t skipped = 0;       // bytes that no payload could be matched with
    uint64_t missed = 0;        // frames jumped over while connected
};

struct client_report {
    stream_counts normal;  // outside the stall phase
    stream_counts stall;   // inside it
    uint64_t connections = 0;
    uint64_t turned_away = 0;       // ended by the daemon before any byte came (table full)
    uint64_t closed_by_daemon = 0;  // ended by the daemon after bytes had come
    uint64_t connect_failures = 0;
    bool connected = false;
    int64_t latest_frame = -1;  // the last frame checked on the current connection
};

struct client_timing {
    milliseconds shortest_stay{1000};
    milliseconds longest_stay{15000};
    milliseconds longest_absence{300};
};

class video_client {
public:
    video_client(int number, pid_t daemon, const payload_plan& plan, const stall_phase& phase,
                 stop_flag& stop, uint64_t seed, client_timing timing = {});
    ~video_client();
    video_client(const video_client&) = delete;
    video_client& operator=(const video_client&) = delete;

    // Stops reading for `duration` as soon as the client is connected and has had its first
    // bytes, keeping the connection open; then reads on.
    void request_stall(milliseconds duration);
    // True once a requested stall has been served in full.
    bool stall_over() const;
    client_report report() const;
    // Waits for the client's end after the stop; its connection is closed then.
    void join();

private:
    void run();
    void one_connection();
    // Takes the bytes through the checker one payload at a time and counts what it found.
    void take(payload_checker& checker, const uint8_t* data, size_t length);
    void serve_stall();

    const int number_;
    const pid_t daemon_;
    const payload_plan plan_;
    const stall_phase& phase_;
    stop_flag& stop_;
    random_source random_;
    const client_timing timing_;

    std::vector<uint8_t> pending_;  // received, not yet a whole payload

    mutable std::mutex mutex_;
    client_report report_;
    milliseconds stall_duration_{0};
    bool stall_requested_ = false;
    bool stall_over_ = false;

    std::thread thread_;
};
