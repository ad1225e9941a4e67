// The process ends on SIGINT, SIGTERM or SIGSEGV. The handler may interrupt a thread inside
// printf or holding any of the module's locks, so it only writes, kills, waits and exits.
// Nothing the daemon started may act after it has gone (an `iw` vendor send on a removed record
// file): the `iw event` child and every running `iw` command are killed with their process
// groups. A command that writes the boot environment or the firmware is left to finish.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>

#include "command_child.hpp"
#include "log.hpp"
#include "nan_event.hpp"
#include "signal_safe_write.hpp"

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGSEGV};
constexpr int exit_status_on_signal = 0;

std::atomic<void (*)()> signal_cleanup_hook{nullptr};

}  // namespace

void sig_handler(int signo) {
    safe_write_number(STDOUT_FILENO, "\n[sig_handler] Received signal ", signo,
                      ", cleaning up resources...\n");
    // Taken before anything is killed: the listener must see its stream end as the signal's
    // doing, not as one to restart.
    int pid = iw_event_child.take_pid_for_signal();
    // No command starts behind this; the running ones that may be cut end with their groups.
    running_commands.stop_all();
    if (pid > 0) {
        kill(-pid, SIGKILL);
        kill(pid, SIGKILL);
        // The listener may reap it first; either way it is gone.
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        safe_write_number(STDOUT_FILENO, "[sig_handler] Killed iw event process (PID: ", pid,
                          ")\n");
    }
    if (void (*hook)() = signal_cleanup_hook.load()) hook();
    // Queued lines go out before the last one; the log thread writes nothing after them.
    log_flush_from_signal();
    // Nothing to wake: the process ends here, without exit handlers.
    safe_write_text(STDOUT_FILENO, "[sig_handler] Cleanup completed, exiting process...\n");
    // The system call itself, as _exit makes it: a sanitizer's _exit wrapper does its own
    // bookkeeping first, which cannot be trusted inside a handler for a fault.
    syscall(SYS_exit_group, exit_status_on_signal);
    _exit(exit_status_on_signal);
}

void set_signal_cleanup_hook(void (*hook)()) { signal_cleanup_hook.store(hook); }

void stop_iw_event_child() {
    int pid = iw_event_child.take_pid_for_signal();
    if (pid <= 0) return;
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

int install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    // One cleanup at a time: a second stop signal waits for the first to finish the exit.
    for (int signo : stop_signals) sigaddset(&action.sa_mask, signo);
    for (int signo : stop_signals) {
        if (sigaction(signo, &action, nullptr) != 0) return -1;
    }
    return 0;
}
