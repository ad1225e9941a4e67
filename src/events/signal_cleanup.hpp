#pragma once
// How the daemon ends. SIGINT and SIGTERM are blocked in every thread and taken by a stop thread
// of their own, so a stop never lands on a thread that serves clients; the stop runs there as
// ordinary code. It kills every running command that may be cut (the `iw event` child among
// them) with their process groups and reaps the `iw event` child before it waits for anything;
// from then on no boot-environment or firmware write starts. It tells the service manager it is
// stopping, waits for the running writes (a boot-environment write at most its bound, the others
// at most the cap), asking the manager for more time meanwhile, writes out every queued line and
// ends the process with status 0. A later stop signal changes nothing.
// SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT keep a handler that kills the same children,
// waits within the bound for a running boot-environment write, writes out the queued lines,
// then its own, and ends with status 0.
#include <sys/types.h>

#include <atomic>

#include "command_child.hpp"
#include "service_notify.hpp"

// How long a stop waits for a running boot-environment write (fw_setenv) before the process
// ends all the same.
constexpr unsigned default_boot_env_write_wait_ms = 30000;
// How long a stop waits for a firmware update or a reboot at most.
constexpr unsigned default_stop_wait_cap_ms = 600000;

// Work the stop and the crash path do before the process ends, for rooms this one does not know
// (the vendor transport's record file). The crash path runs it too, so it must be
// async-signal-safe.
class signal_cleanup_work {
public:
    virtual ~signal_cleanup_work() = default;
    virtual void run_async_signal_safe() = 0;
};

struct stop_bounds {
    unsigned boot_env_write_wait_ms = default_boot_env_write_wait_ms;
    unsigned stop_wait_cap_ms = default_stop_wait_cap_ms;
};

// The cap NANVIDEOD_STOP_WAIT_CAP_MS sets (it may only shorten it), or the default.
unsigned stop_wait_cap_from_environment();

class daemon_stop {
public:
    // commands: the groups a stop kills, the `iw event` child listed among them under
    // iw_event_label; writes: the ones it waits for; clean_up: done by both paths before the
    // waits.
    daemon_stop(running_command_groups& commands, running_command_groups& writes,
                service_notifier& notifier, signal_cleanup_work& clean_up, stop_bounds bounds)
        : commands_(commands), writes_(writes), notifier_(notifier), clean_up_(clean_up),
          bounds_(bounds) {}
    daemon_stop(const daemon_stop&) = delete;
    daemon_stop& operator=(const daemon_stop&) = delete;

    // The stop thread's work for each stop signal it takes: the first ends the process.
    void on_stop_signal(int signo);
    // The crash handler's work; async-signal-safe only.
    [[noreturn]] void on_crash(int signo);

    // The daemon ends after a failed start-up step: no write starts any more, the `iw event`
    // child goes, and the running writes are waited for as a stop waits for them (the server
    // took configuration writes from its first step). Returns when the caller may end the
    // process; when a stop signal came first, never returns (the stop ends the process).
    void end_startup_after_failure();

private:
    pid_t stop_children();
    [[noreturn]] void run_stop(int signo);
    void wait_for_writes(const char* prefix);

    running_command_groups& commands_;
    running_command_groups& writes_;
    service_notifier& notifier_;
    signal_cleanup_work& clean_up_;
    const stop_bounds bounds_;
    // Whoever claims it first ends the process: the stop or the exit after a failed start-up.
    std::atomic<bool> stop_claimed_{false};
    // The first crash signal ends the process; one on another thread meanwhile waits for that.
    std::atomic<bool> crash_claimed_{false};
};

// Called in the daemon before any other thread exists: blocks the stop signals (every thread
// started later inherits that), makes stop the crash handler's and starts the stop thread.
// 0, or -1 with errno set.
int start_signal_path(daemon_stop& stop);
