#pragma once
// The daemon's process-wide instances, made once by main and handed to the threads that use
// them. Nothing else in the daemon holds state for the life of the process.
#include <atomic>
#include <cstdint>

#include "client_table.hpp"
#include "daemon_counters.hpp"
#include "nan_event.hpp"
#include "service_watch.hpp"
#include "spi_device.hpp"
#include "status_summary.hpp"
#include "tcp_server.hpp"
#include "video_ring.hpp"

struct daemon_instances {
    // watchdog_us: the service manager's watchdog period for this process (0: none).
    explicit daemon_instances(int64_t watchdog_us)
        : spi(video_ring, counters),
          clients(counters.stream),
          server(tcp_port, video_ring, clients, video_suspended),
          watch(daemon_notifier, watchdog_us, &server.loop_turns(), status_summary) {}
    daemon_instances(const daemon_instances&) = delete;
    daemon_instances& operator=(const daemon_instances&) = delete;

    frame_ring video_ring;
    spi_intake spi;
    client_table clients;
    std::atomic<int> video_suspended{0};  // the video switch a command turns off
    tcp_server server;
    service_watch watch;
};
