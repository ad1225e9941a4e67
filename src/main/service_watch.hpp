#pragma once
// What the service manager hears while the daemon runs: READY=1 once start-up has completed,
// a one-line STATUS= every few seconds, and WATCHDOG=1 every half of the manager's watchdog
// period. The server loop's tick sends them, so a hung loop stops the pings and gets the daemon
// restarted. The transfer thread may legitimately wait as long as the camera sends nothing, so
// the bus plays no part in the pings.
#include <cstdint>

#include "daemon_counters.hpp"
#include "service_notify.hpp"
#include "signal_cleanup.hpp"
#include "status_summary.hpp"
#include "tcp_server.hpp"

constexpr int64_t status_period_us = 5000000;

class service_watch final : public tick_work {
public:
    // watchdog_us 0: no watchdog, only the status, which sums up counters over the last
    // status_summary_span_s.
    service_watch(service_notifier& notifier, int64_t watchdog_us, const daemon_counters& counters);

    // Sends what is due at now_us.
    void step(int64_t now_us) override;

private:
    void send_summary(int64_t now_us);

    service_notifier& notifier_;
    int64_t ping_period_us_;
    const daemon_counters& counters_;
    status_window window_;
    int64_t next_status_us_ = 0;
    int64_t next_ping_us_ = 0;  // 0: not yet set by the first step
};

struct service_environment {
    int64_t watchdog_us = 0;  // the manager's watchdog period meant for this process (0: none)
    stop_bounds bounds;       // how long a stop waits for running writes
};

// Reads and removes the manager's variables (the daemon's commands are not its main process) and
// opens notifier, the daemon's; called before any thread starts.
service_environment read_service_environment(service_notifier& notifier);

// Once start-up has completed: READY=1 through notifier, and server's tick sends the status and
// the pings from then on with watch (made with the same notifier). Nothing when the manager's
// socket is not set.
void start_service_watch(service_notifier& notifier, tcp_server& server, service_watch& watch);
