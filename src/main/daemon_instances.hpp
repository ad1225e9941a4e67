#pragma once
// The daemon's process-wide instances, made once by main and handed to the threads that use
// them. Nothing else in the daemon holds state for the life of the process.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "client_table.hpp"
#include "command_child.hpp"
#include "daemon_counters.hpp"
#include "mono_clock.hpp"
#include "nan_event.hpp"
#include "service_notify.hpp"
#include "service_watch.hpp"
#include "signal_cleanup.hpp"
#include "spi_device.hpp"
#include "status_summary.hpp"
#include "tcp_server.hpp"
#include "vendor_cmd.hpp"
#include "video_ring.hpp"

// The "STATUS=" text: the counters over the last status_summary_span_s, read on the notify
// sender's thread, the only one that asks.
class counters_summary final : public status_summary_source {
public:
    explicit counters_summary(const daemon_counters& counts)
        : counts_(counts), window_(status_summary_span_s, counts.started_us) {}
    size_t summary(char* text, size_t size) override {
        return window_.summary(read_status(counts_, mono_now_us()), text, size);
    }

private:
    const daemon_counters& counts_;
    status_window window_;
};

struct daemon_instances {
    // Reads the service manager's variables first (and removes them from the environment).
    daemon_instances()
        : environment(read_service_environment(notifier)),
          spi(video_ring, counters),
          clients(counters),
          server(tcp_port, video_ring, clients, video_suspended),
          summary(counters),
          watch(notifier, environment.watchdog_us, &server.loop_turns(), &summary),
          status_lines(counters.started_us),
          events(running_commands, keywords, counters.nan),
          stop(running_commands, running_writes, notifier, refuse_record_files,
               environment.bounds) {}
    daemon_instances(const daemon_instances&) = delete;
    daemon_instances& operator=(const daemon_instances&) = delete;

    service_notifier notifier;  // opened by the environment's reading, so made before it
    service_environment environment;
    daemon_counters counters;
    frame_ring video_ring;
    spi_intake spi;
    client_table clients;
    std::atomic<int> video_suspended{0};  // the video switch a command turns off
    tcp_server server;
    counters_summary summary;
    service_watch watch;
    status_log status_lines;  // the main thread's, every second
    executing_dispatcher keywords;  // where the decision thread sends its keyword
    nan_events events;
    daemon_stop stop;
};
