// The service manager's view of a running daemon, sent from the server loop's tick on the
// monotonic clock.
#include "service_watch.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr char status_prefix[] = "STATUS=";
constexpr size_t status_text_size = 256;  // "STATUS=" and the summary
constexpr char watchdog_usec_variable[] = "WATCHDOG_USEC";
constexpr char watchdog_pid_variable[] = "WATCHDOG_PID";
constexpr char boot_env_wait_variable[] = "NANVIDEOD_BOOT_ENV_WAIT_MS";
constexpr long long longest_boot_env_wait_ms = 3600000;

// A decimal count without sign or junk, or -1.
long long parse_count(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return -1;
    return value;
}

// The manager's watchdog period from WATCHDOG_USEC, 0 when there is none or it is meant for
// another process (WATCHDOG_PID).
int64_t watchdog_usec_from_environment() {
    const long long period = parse_count(getenv(watchdog_usec_variable));
    if (period <= 0) return 0;
    const char* pid_text = getenv(watchdog_pid_variable);
    if (pid_text != nullptr && parse_count(pid_text) != getpid()) return 0;
    return period;
}

}  // namespace

service_watch::service_watch(service_notifier& notifier, int64_t watchdog_us,
                             const daemon_counters& counters)
    : notifier_(notifier),
      ping_period_us_(watchdog_us / 2),
      counters_(counters),
      window_(status_summary_span_s, counters.started_us) {}

void service_watch::step(int64_t now_us) {
    if (now_us >= next_status_us_) {
        send_summary(now_us);
        next_status_us_ = now_us + status_period_us;
    }
    if (ping_period_us_ <= 0) return;
    // The first ping is due a period after the first status.
    if (next_ping_us_ == 0) next_ping_us_ = now_us + ping_period_us_;
    if (now_us >= next_ping_us_) {
        notifier_.send_while_running("WATCHDOG=1");
        next_ping_us_ = now_us + ping_period_us_;
    }
}

void service_watch::send_summary(int64_t now_us) {
    char text[status_text_size];
    const size_t prefix = sizeof status_prefix - 1;
    memcpy(text, status_prefix, prefix);
    window_.summary(read_status(counters_, now_us), text + prefix, sizeof text - prefix);
    notifier_.send_while_running(text);
}

service_environment read_service_environment(service_notifier& notifier) {
    service_environment environment;
    const long long wait_ms = parse_count(getenv(boot_env_wait_variable));
    if (wait_ms >= 0 && wait_ms <= longest_boot_env_wait_ms)
        environment.bounds.boot_env_write_wait_ms = static_cast<unsigned>(wait_ms);
    environment.bounds.stop_wait_cap_ms = stop_wait_cap_from_environment();
    notifier.open(getenv(notify_socket_variable));
    environment.watchdog_us = watchdog_usec_from_environment();
    // The commands the daemon starts are not the process the manager watches.
    unsetenv(notify_socket_variable);
    unsetenv(watchdog_usec_variable);
    unsetenv(watchdog_pid_variable);
    return environment;
}

void start_service_watch(service_notifier& notifier, tcp_server& server, service_watch& watch) {
    if (!notifier.active()) return;
    notifier.send("READY=1");
    server.add_tick_work(&watch);
}
