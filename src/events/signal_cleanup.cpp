// The process ends on SIGINT, SIGTERM or SIGSEGV. The handler may interrupt a thread inside
// printf or holding any of the module's locks, so it only writes, kills, waits and exits.
// Nothing the daemon started may act after it has gone (an `iw` vendor send on a removed record
// file): the `iw event` child and every running `iw` command are killed with their process
// groups. A command that writes the boot environment or the firmware is never cut: none starts
// once the stop began, and a stop (not a crash) waits for the running ones before the process
// ends, since whatever supervises the daemon may kill what is left of it once it has gone.
#include <pthread.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "command_child.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "nan_event.hpp"
#include "service_notify.hpp"
#include "signal_safe_write.hpp"

namespace {

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGSEGV};
// The ones a supervisor sends to stop the daemon; they are taken on the stop thread only.
constexpr int supervisor_signals[] = {SIGINT, SIGTERM};
constexpr int exit_status_on_signal = 0;

constexpr char handler_prefix[] = "[sig_handler] ";
constexpr char startup_prefix[] = "[startup] ";

// The one write that is waited for within a bound: a boot-environment write that hangs (a dead
// flash) must not keep the daemon from ending for ever. A firmware update or a reboot is
// waited for as long as it runs.
constexpr char bounded_write_program[] = "fw_setenv";
std::atomic<unsigned> boot_env_write_wait_ms{default_boot_env_write_wait_ms};

// While waiting, the service manager is asked every period to allow three more.
constexpr int64_t extend_period_us = 5000000;
constexpr int64_t extend_timeout_us = 3 * extend_period_us;
constexpr int64_t microseconds_per_ms = 1000;
// An ended write is noticed within this step.
constexpr long write_poll_step_ns = 10000000;

// Whoever claims it first ends the process: a stop signal's handler or the exit after a failed
// start-up. Everyone else leaves the ending to it.
std::atomic<bool> stop_claimed{false};

std::atomic<void (*)()> signal_cleanup_hook{nullptr};

// The write has ended (a zombie its runner has yet to reap) or is no longer a child: its runner
// reaped it. Never reaps: the runner owns the child and waits for it itself.
bool write_ended(pid_t pid) {
    for (;;) {
        siginfo_t info{};
        if (waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | WNOHANG) == 0)
            return info.si_pid == pid;
        if (errno != EINTR) return true;
    }
}

struct write_in_progress {
    pid_t pid = 0;
    const char* program = "";
    bool bounded = false;
    bool waiting = false;
};

safe_line write_line(const char* prefix, const write_in_progress& write) {
    safe_line line;
    line.text(prefix).text(write.program).text(" (PID: ").number(write.pid).text(")");
    return line;
}

// Lists the writes running now, with a line for each; returns how many.
size_t find_running_writes(const char* prefix, unsigned bound_ms,
                           write_in_progress (&writes)[running_command_slots]) {
    size_t count = 0;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* program = nullptr;
        const pid_t pid = running_writes.group_at(slot, &program);
        if (pid <= 0 || write_ended(pid)) continue;
        write_in_progress& write = writes[count++];
        write = {pid, program != nullptr ? program : "command", false, true};
        write.bounded = strcmp(write.program, bounded_write_program) == 0;
        safe_line line = write_line(prefix, write);
        line.text(" still running, waiting for it to finish");
        if (write.bounded) line.text(", at most ").number(bound_ms).text(" ms");
        line.write_to(STDOUT_FILENO);
    }
    return count;
}

// True once the write needs no more waiting (with a line saying why).
bool settled(const char* prefix, const write_in_progress& write, bool past_bound,
             unsigned bound_ms) {
    if (write_ended(write.pid)) {
        write_line(prefix, write).text(" finished").write_to(STDOUT_FILENO);
        return true;
    }
    if (!write.bounded || !past_bound) return false;
    write_line(prefix, write)
        .text(" still running after ")
        .number(bound_ms)
        .text(" ms, not waiting any longer")
        .write_to(STDOUT_FILENO);
    return true;
}

void ask_for_more_time() {
    safe_line extend;
    extend.text("EXTEND_TIMEOUT_USEC=").number(extend_timeout_us);
    daemon_notifier.send(extend.c_str());
}

// Waits for every running write, each bounded one at most the bound from now, asking the
// service manager for more time meanwhile. Async-signal-safe.
void wait_for_writes(const char* prefix) {
    write_in_progress writes[running_command_slots];
    const unsigned bound_ms = boot_env_write_wait_ms.load();
    size_t left = find_running_writes(prefix, bound_ms, writes);
    const int64_t bound_us = static_cast<int64_t>(bound_ms) * microseconds_per_ms;
    const int64_t start_us = mono_real_now_us();
    int64_t next_extend_us = start_us;
    while (left > 0) {
        const int64_t now_us = mono_real_now_us();
        if (now_us >= next_extend_us) {
            ask_for_more_time();
            next_extend_us = now_us + extend_period_us;
        }
        const bool past_bound = now_us - start_us >= bound_us;
        for (write_in_progress& write : writes) {
            if (!write.waiting || !settled(prefix, write, past_bound, bound_ms)) continue;
            write.waiting = false;
            --left;
        }
        if (left == 0) break;
        timespec step{0, write_poll_step_ns};
        nanosleep(&step, nullptr);
    }
}

void kill_iw_event_child(int pid) {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    // The listener may reap it first; either way it is gone.
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

// Nothing to wake: the process ends here, without exit handlers.
[[noreturn]] void end_after_signal() {
    // The system call itself, as _exit makes it: a sanitizer's _exit wrapper does its own
    // bookkeeping first, which cannot be trusted inside a handler for a fault.
    syscall(SYS_exit_group, exit_status_on_signal);
    _exit(exit_status_on_signal);
}

// The thread that takes the supervisor's signals, so that the handler never stops the server
// or the AT worker: a client keeps its replies while the stop waits for a write.
void* stop_signal_thread(void*) {
    sigset_t none;
    sigemptyset(&none);
    for (;;) sigsuspend(&none);
    return nullptr;
}

}  // namespace

void sig_handler(int signo) {
    const bool crash = signo == SIGSEGV;
    if (stop_claimed.exchange(true)) {
        // The stop under way ends the process itself, after its wait; a crash meanwhile ends
        // it at once.
        if (crash) end_after_signal();
        return;
    }
    safe_write_number(STDOUT_FILENO, "\n[sig_handler] Received signal ", signo,
                      ", cleaning up resources...\n");
    if (!crash) {
        daemon_notifier.begin_stop();
        daemon_notifier.send("STOPPING=1");
    }
    // Taken before anything is killed: the listener must see its stream end as the signal's
    // doing, not as one to restart.
    int pid = iw_event_child.take_pid_for_signal();
    // No command starts behind this; the running ones that may be cut end with their groups,
    // the writes go on.
    running_commands.stop_all();
    running_writes.refuse_starts();
    if (pid > 0) {
        kill_iw_event_child(pid);
        safe_write_number(STDOUT_FILENO, "[sig_handler] Killed iw event process (PID: ", pid,
                          ")\n");
    }
    if (void (*hook)() = signal_cleanup_hook.load()) hook();
    if (!crash) wait_for_writes(handler_prefix);
    // Queued lines go out before the last one; the log thread writes nothing after them.
    log_flush_from_signal();
    safe_write_text(STDOUT_FILENO, "[sig_handler] Cleanup completed, exiting process...\n");
    end_after_signal();
}

void set_signal_cleanup_hook(void (*hook)()) { signal_cleanup_hook.store(hook); }

void set_boot_env_write_wait_ms(unsigned milliseconds) {
    boot_env_write_wait_ms.store(milliseconds);
}

void stop_iw_event_child() {
    int pid = iw_event_child.take_pid_for_signal();
    if (pid > 0) kill_iw_event_child(pid);
}

void end_startup_after_failure() {
    if (stop_claimed.exchange(true)) {
        // A stop signal came first; its handler ends the process.
        for (;;) pause();
    }
    running_writes.refuse_starts();
    stop_iw_event_child();
    log_flush();
    wait_for_writes(startup_prefix);
}

int install_signal_handlers() {
    struct sigaction action {};
    action.sa_handler = sig_handler;
    sigemptyset(&action.sa_mask);
    // One cleanup at a time in a thread: a second stop signal waits for the first to finish.
    for (int signo : stop_signals) sigaddset(&action.sa_mask, signo);
    for (int signo : stop_signals) {
        if (sigaction(signo, &action, nullptr) != 0) return -1;
    }
    return 0;
}

int start_signal_path() {
    if (install_signal_handlers() != 0) return -1;
    sigset_t supervisor;
    sigemptyset(&supervisor);
    for (int signo : supervisor_signals) sigaddset(&supervisor, signo);
    // Blocked here before any other thread exists, so every thread started from now on has
    // them blocked too; only the stop thread takes them.
    int error = pthread_sigmask(SIG_BLOCK, &supervisor, nullptr);
    pthread_t thread;
    if (error == 0) error = pthread_create(&thread, nullptr, stop_signal_thread, nullptr);
    if (error == 0) pthread_setname_np(thread, "stop-signals");
    if (error == 0) error = pthread_detach(thread);
    if (error != 0) {
        pthread_sigmask(SIG_UNBLOCK, &supervisor, nullptr);
        errno = error;
        return -1;
    }
    return 0;
}
