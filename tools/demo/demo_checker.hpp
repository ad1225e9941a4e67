#pragma once
// The demo's checking client on port 554: reads the daemon's stream on a thread of its own,
// compares it with the file the video source plays (looped_file_checker) and measures each
// frame's latency, from the source's hand-over to the bus to the frame's last byte here.
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "looped_file_checker.hpp"
#include "unique_fd.hpp"
#include "video_source.hpp"

struct checker_figures {
    uint64_t frames_off_bus = 0;
    uint64_t frames_delivered = 0;
    std::optional<uint64_t> first_wrong_byte;
    std::optional<double> median_latency_ms;
    uint64_t bytes_received = 0;
};

class demo_checker {
public:
    demo_checker(unique_fd fd, std::vector<uint8_t> file, const video_source& source);
    ~demo_checker();
    demo_checker(const demo_checker&) = delete;
    demo_checker& operator=(const demo_checker&) = delete;

    // The figures so far, with the median latency of the frames since the previous call.
    checker_figures take_second();
    // The figures so far, with the median latency of the whole run.
    checker_figures whole_run();
    // Stops reading (the connection stays open until destruction).
    void stop();

private:
    void run();
    checker_figures figures(std::vector<double>& latencies);

    unique_fd fd_;
    unique_fd wake_fd_;
    const video_source& source_;
    std::mutex mutex_;
    looped_file_checker checker_;
    std::vector<double> second_latencies_;
    std::vector<double> all_latencies_;
    std::thread thread_;
};
