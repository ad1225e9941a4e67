#pragma once
// The daemon's process-wide instances, made once by main and handed to the threads that use
// them. Nothing else in the daemon holds state for the life of the process but the log, which
// every room writes to, and the crash handler's pointer to the stop.
#include <atomic>

#include "at_command.hpp"
#include "client_table.hpp"
#include "command_child.hpp"
#include "daemon_counters.hpp"
#include "keyword.hpp"
#include "mono_clock.hpp"
#include "nan_event.hpp"
#include "param_store.hpp"
#include "service_notify.hpp"
#include "service_watch.hpp"
#include "signal_cleanup.hpp"
#include "spi_device.hpp"
#include "status_summary.hpp"
#include "tcp_server.hpp"
#include "vendor_cmd.hpp"
#include "video_ring.hpp"

// The stop and the crash path remove a vendor record file in flight.
class record_file_cleanup final : public signal_cleanup_work {
public:
    explicit record_file_cleanup(vendor_record_sender& sender) : sender_(sender) {}
    void run_async_signal_safe() override { sender_.refuse_record_files(); }

private:
    vendor_record_sender& sender_;
};

struct daemon_instances {
    // Reads the service manager's variables first (and removes them from the environment).
    daemon_instances()
        : environment(read_service_environment(notifier)),
          spi(video_ring, counters),
          clients(counters),
          server(tcp_port, video_ring, clients, video_suspended, clock),
          watch(notifier, environment.watchdog_us, counters),
          status_lines(counters.started_us),
          runner(command_time_limit_ms, commands.cuttable, commands.writes),
          records(runner, pauser),
          record_cleanup(records),
          vendor(records),
          config_write(params),
          keywords(nan, {vendor.srvc_ext, vendor.data_req, vendor.data_rsp, vendor.data_end,
                         vendor.followup, vendor.pasn_start, config_write},
                   runner, pauser),
          at(params, keywords),
          dispatcher(keywords),
          events(commands.cuttable, dispatcher, counters.nan, clock),
          stop(commands.cuttable, commands.writes, notifier, record_cleanup, environment.bounds) {
        server.set_handler(&at);
    }
    daemon_instances(const daemon_instances&) = delete;
    daemon_instances& operator=(const daemon_instances&) = delete;

    service_notifier notifier;  // opened by the environment's reading, so made before it
    service_environment environment;
    monotonic_clock clock;  // what the server and the NAN events measure their durations on
    daemon_counters counters;
    frame_ring video_ring;
    spi_intake spi;
    client_table clients;
    std::atomic<int> video_suspended{0};  // the video switch a command turns off
    tcp_server server;
    service_watch watch;  // the server thread's, once start-up has completed
    status_log status_lines;  // the main thread's, every second

    // NAN control: every command the daemon runs, the keyword table and what its rows work on.
    running_command_lists commands;
    shell_command_runner runner;
    sleeping_pauser pauser;
    nan_interface_state nan;
    vendor_record_sender records;
    record_file_cleanup record_cleanup;
    vendor_keywords vendor;
    param_state params;
    config_write_keyword config_write;
    keyword_dispatch_table keywords;
    at_commands at;

    // NAN events and the way out.
    executing_dispatcher dispatcher;  // where the decision thread sends its keyword
    nan_events events;
    daemon_stop stop;
};
