// The service manager's view of a running daemon, sent by a thread of its own on the monotonic
// clock.
#include "service_watch.hpp"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "mono_clock.hpp"
#include "named_thread.hpp"

namespace {

constexpr char default_summary[] = "running";
constexpr char status_prefix[] = "STATUS=";
constexpr char boot_env_wait_variable[] = "NANVIDEOD_BOOT_ENV_WAIT_MS";
constexpr long long longest_boot_env_wait_ms = 3600000;

size_t default_status_summary(char* text, size_t size) {
    if (size == 0) return 0;
    const size_t length = strnlen(default_summary, size - 1);
    memcpy(text, default_summary, length);
    text[length] = '\0';
    return length;
}

// A decimal count without sign or junk, or -1.
long long parse_count(const char* text) {
    if (text == nullptr || *text < '0' || *text > '9') return -1;
    char* end = nullptr;
    errno = 0;
    const long long value = strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0') return -1;
    return value;
}

void* service_watch_thread(void* argument) {
    service_watch& watch = *static_cast<service_watch*>(argument);
    for (;;) {
        const int64_t next_us = watch.step(mono_now_us());
        const int64_t wait_us = next_us - mono_now_us();
        if (wait_us > 0) mono_sleep_us(wait_us);
    }
    return nullptr;
}

}  // namespace

service_watch::service_watch(service_notifier& notifier, int64_t watchdog_us,
                             const std::atomic<uint64_t>* progress, status_summary_source* summary)
    : notifier_(notifier),
      ping_period_us_(watchdog_us / 2),
      progress_(progress),
      summary_(summary),
      last_progress_(progress != nullptr ? progress->load(std::memory_order_relaxed) : 0) {}

int64_t service_watch::step(int64_t now_us) {
    if (!started_) {
        started_ = true;
        next_status_us_ = now_us;
        next_ping_us_ = now_us + ping_period_us_;
    }
    if (now_us >= next_status_us_) {
        send_status();
        next_status_us_ = now_us + status_period_us;
    }
    if (ping_period_us_ <= 0 || progress_ == nullptr) return next_status_us_;
    if (now_us >= next_ping_us_) {
        const uint64_t progress = progress_->load(std::memory_order_relaxed);
        // A loop that has not turned since the last ping is hung: the manager must notice.
        if (progress != last_progress_) notifier_.send_while_running("WATCHDOG=1");
        last_progress_ = progress;
        next_ping_us_ = now_us + ping_period_us_;
    }
    return next_ping_us_ < next_status_us_ ? next_ping_us_ : next_status_us_;
}

void service_watch::send_status() {
    char text[status_text_size];
    const size_t prefix = sizeof status_prefix - 1;
    memcpy(text, status_prefix, prefix);
    size_t length = summary_ != nullptr ? summary_->summary(text + prefix, sizeof text - prefix)
                                        : default_status_summary(text + prefix, sizeof text - prefix);
    if (length >= sizeof text - prefix) length = sizeof text - prefix - 1;
    text[prefix + length] = '\0';
    // One line: a line feed would start another variable.
    for (char* c = text; *c != '\0'; ++c)
        if (*c == '\n') *c = ' ';
    notifier_.send_while_running(text);
}

int64_t watchdog_usec_from_environment() {
    const long long period = parse_count(getenv(watchdog_usec_variable));
    if (period <= 0) return 0;
    const char* pid_text = getenv(watchdog_pid_variable);
    if (pid_text != nullptr && parse_count(pid_text) != getpid()) return 0;
    return period;
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

int start_service_watch(service_notifier& notifier, service_watch& watch) {
    if (!notifier.active()) return 0;
    notifier.send("READY=1");
    return start_named_thread(service_watch_thread, &watch, "service-watch");
}
