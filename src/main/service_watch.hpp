#pragma once
// What the service manager hears while the daemon runs: READY=1 once start-up has completed,
// a one-line STATUS= every few seconds, and WATCHDOG=1 every half of the manager's watchdog
// period, but only while the server loop made progress since the last ping: a hung loop stops
// the pings and gets the daemon restarted. The transfer thread may legitimately wait as long as
// the camera sends nothing, so the bus plays no part in the pings.
#include <atomic>
#include <cstddef>
#include <cstdint>

#include "service_notify.hpp"
#include "signal_cleanup.hpp"

constexpr int64_t status_period_us = 5000000;
constexpr size_t status_text_size = 256;  // "STATUS=" and the summary
constexpr char watchdog_usec_variable[] = "WATCHDOG_USEC";
constexpr char watchdog_pid_variable[] = "WATCHDOG_PID";

// The summary after "STATUS=".
class status_summary_source {
public:
    virtual ~status_summary_source() = default;
    // Writes at most size - 1 characters and a NUL, returns the length.
    virtual size_t summary(char* text, size_t size) = 0;
};

class service_watch {
public:
    // watchdog_us 0: no watchdog, only the status. progress is a count that moves while the
    // watched loop turns. Without a summary source the summary is "running".
    service_watch(service_notifier& notifier, int64_t watchdog_us,
                  const std::atomic<uint64_t>* progress, status_summary_source* summary);

    // Sends what is due at now_us; returns when the next message is due.
    int64_t step(int64_t now_us);

private:
    void send_status();

    service_notifier& notifier_;
    int64_t ping_period_us_;
    const std::atomic<uint64_t>* progress_;
    status_summary_source* summary_;
    uint64_t last_progress_;
    int64_t next_status_us_ = 0;
    int64_t next_ping_us_ = 0;
    bool started_ = false;
};

// The manager's watchdog period from WATCHDOG_USEC, 0 when there is none or it is meant for
// another process (WATCHDOG_PID).
int64_t watchdog_usec_from_environment();

struct service_environment {
    int64_t watchdog_us = 0;  // the manager's watchdog period meant for this process (0: none)
    stop_bounds bounds;       // how long a stop waits for running writes
};

// Reads and removes the manager's variables (the daemon's commands are not its main process) and
// opens notifier, the daemon's; called before any thread starts.
service_environment read_service_environment(service_notifier& notifier);

// Once start-up has completed: READY=1 through notifier, and a thread that sends the status and
// the pings from then on with watch (made with the same notifier). Nothing when the manager's
// socket is not set. 0, or -1 with errno set when
// the thread cannot start.
int start_service_watch(service_notifier& notifier, service_watch& watch);
