// How the process ends. SIGINT and SIGTERM (a supervisor's stop) are taken by a thread of their
// own with sigwaitinfo and the stop runs there as ordinary code. A crash signal runs a handler
// that does the least on a process whose state may be torn, then ends at once.
// Nothing the daemon started may act after it has gone (an `iw` vendor send on a removed record
// file): the `iw event` child and every running `iw` command are killed with their process
// groups, before anything is waited for. A command that writes the boot environment or the
// firmware is never cut: none starts once the stop began, and the running ones are waited for
// before the process ends, since whatever supervises the daemon may kill what is left of it once
// it has gone.
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
#include "named_thread.hpp"
#include "nan_event.hpp"
#include "service_notify.hpp"
#include "signal_safe_write.hpp"

namespace {

// The ones a supervisor sends to stop the daemon; blocked in every thread, taken by the stop's.
constexpr int stop_signals[] = {SIGINT, SIGTERM};
// Faults and aborts: the process cannot go on, but a boot-environment write must not be torn.
constexpr int crash_signals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int exit_status_on_signal = 0;

constexpr char handler_prefix[] = "[sig_handler] ";
constexpr char startup_prefix[] = "[startup] ";

// The one write that is waited for within a bound: a boot-environment write that hangs (a dead
// flash) must not keep the daemon from ending for ever.
constexpr char bounded_write_program[] = "fw_setenv";
std::atomic<unsigned> boot_env_write_wait_ms{default_boot_env_write_wait_ms};
// A firmware update or a reboot is waited for up to this, in all: an update script that itself
// stops the service would otherwise wait on the stop while the stop waits on it.
constexpr char stop_wait_cap_variable[] = "NANVIDEOD_STOP_WAIT_CAP_MS";
unsigned stop_wait_cap_ms = default_stop_wait_cap_ms;

// While waiting, the service manager is asked every period to allow three more.
constexpr int64_t extend_period_us = 5000000;
constexpr int64_t extend_timeout_us = 3 * extend_period_us;
constexpr int64_t microseconds_per_ms = 1000;
// An ended write is noticed within this step.
constexpr long write_poll_step_ns = 10000000;
constexpr int decimal_base = 10;
constexpr size_t extend_message_size = 48;  // "EXTEND_TIMEOUT_USEC=" and a 64-bit count

// Whoever claims it first ends the process: the stop or the exit after a failed start-up.
std::atomic<bool> stop_claimed{false};
// The first crash signal ends the process; one on another thread meanwhile waits for that.
std::atomic<bool> crash_claimed{false};

// The daemon's, given to start_signal_path before any other thread exists.
running_command_lists* daemon_commands = nullptr;
signal_cleanup_work* cleanup_work = nullptr;

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

bool is_bounded(const char* program) { return strcmp(program, bounded_write_program) == 0; }

void pause_one_step() {
    timespec step{0, write_poll_step_ns};
    nanosleep(&step, nullptr);
}

struct write_in_progress {
    pid_t pid = 0;
    const char* program = "";
    bool bounded = false;
    bool waiting = false;
};

// Lists the writes running now, with a line for each; returns how many.
size_t find_running_writes(const char* prefix, unsigned bound_ms,
                           write_in_progress (&writes)[running_command_slots]) {
    size_t count = 0;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* program = nullptr;
        const pid_t pid = daemon_commands->writes.group_at(slot, &program);
        if (pid <= 0 || write_ended(pid)) continue;
        write_in_progress& write = writes[count++];
        write = {pid, program != nullptr ? program : "command", false, true};
        write.bounded = is_bounded(write.program);
        if (write.bounded)
            log_out("%s%s (PID: %d) still running, waiting for it to finish, at most %u ms\n",
                    prefix, write.program, write.pid, bound_ms);
        else
            log_out("%s%s (PID: %d) still running, waiting for it to finish\n", prefix,
                    write.program, write.pid);
    }
    return count;
}

// True once the write needs no more waiting (with a line saying why).
bool settled(const char* prefix, const write_in_progress& write, int64_t waited_us,
             unsigned bound_ms) {
    if (write_ended(write.pid)) {
        log_out("%s%s (PID: %d) finished\n", prefix, write.program, write.pid);
        return true;
    }
    const unsigned limit_ms = write.bounded ? bound_ms : stop_wait_cap_ms;
    if (waited_us < static_cast<int64_t>(limit_ms) * microseconds_per_ms) return false;
    log_out("%s%s (PID: %d) still running after %u ms, not waiting any longer\n", prefix,
            write.program, write.pid, limit_ms);
    return true;
}

void ask_for_more_time() {
    char extend[extend_message_size];
    snprintf(extend, sizeof extend, "EXTEND_TIMEOUT_USEC=%lld",
             static_cast<long long>(extend_timeout_us));
    daemon_notifier.send(extend);
}

// Waits for every running write, a boot-environment write at most its bound from now and the
// others at most the cap, asking the service manager for more time meanwhile.
void wait_for_writes(const char* prefix) {
    write_in_progress writes[running_command_slots];
    const unsigned bound_ms = boot_env_write_wait_ms.load();
    size_t left = find_running_writes(prefix, bound_ms, writes);
    const int64_t start_us = mono_real_now_us();
    int64_t next_extend_us = start_us;
    while (left > 0) {
        const int64_t now_us = mono_real_now_us();
        if (now_us >= next_extend_us) {
            ask_for_more_time();
            next_extend_us = now_us + extend_period_us;
        }
        for (write_in_progress& write : writes) {
            if (!write.waiting || !settled(prefix, write, now_us - start_us, bound_ms)) continue;
            write.waiting = false;
            --left;
        }
        if (left > 0) pause_one_step();
    }
}

void reap_iw_event_child(int pid) {
    // The listener leaves a child killed by the stop to it; either way it is gone.
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

[[noreturn]] void run_stop(int signo) {
    log_out("\n[sig_handler] Received signal %d, cleaning up resources...\n", signo);
    // First, before any wait: a hung command may hold what the rest of the daemon waits for.
    const int iw_event_pid = iw_event_child.pid();
    daemon_commands->cuttable.stop_all();
    daemon_commands->writes.refuse_starts();
    daemon_notifier.begin_stop();
    daemon_notifier.send("STOPPING=1");
    if (iw_event_pid > 0) {
        reap_iw_event_child(iw_event_pid);
        log_out("[sig_handler] Killed iw event process (PID: %d)\n", iw_event_pid);
    }
    cleanup_work->run_async_signal_safe();
    wait_for_writes(handler_prefix);
    log_out("[sig_handler] Cleanup completed, exiting process...\n");
    log_finish();
    _exit(exit_status_on_signal);
}

void* stop_signal_thread(void*) {
    sigset_t stop;
    sigemptyset(&stop);
    for (int signo : stop_signals) sigaddset(&stop, signo);
    for (;;) {
        const int signo = sigwaitinfo(&stop, nullptr);
        // A failed start-up that claimed the end first finishes it; later signals change nothing.
        if (signo > 0 && !stop_claimed.exchange(true)) run_stop(signo);
    }
    return nullptr;
}

// ---- the crash path: async-signal-safe only ----

// The process ends here, without exit handlers. The system call itself, as _exit makes it: a
// sanitizer's _exit wrapper does its own bookkeeping first, which cannot be trusted after a fault.
[[noreturn]] void end_after_crash() {
    syscall(SYS_exit_group, exit_status_on_signal);
    _exit(exit_status_on_signal);
}

// Once the daemon is gone its supervisor may kill what is left, a half-written boot environment
// among it.
void wait_for_boot_env_writes() {
    const int64_t deadline_us = mono_real_now_us() +
                                static_cast<int64_t>(boot_env_write_wait_ms.load()) *
                                    microseconds_per_ms;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* program = nullptr;
        const pid_t pid = daemon_commands->writes.group_at(slot, &program);
        if (pid <= 0 || program == nullptr || !is_bounded(program)) continue;
        while (!write_ended(pid) && mono_real_now_us() < deadline_us) pause_one_step();
    }
}

void crash_handler(int signo) {
    if (crash_claimed.exchange(true)) {
        for (;;) pause();
    }
    daemon_commands->cuttable.stop_all();
    daemon_commands->writes.refuse_starts();
    const pid_t iw_event_pid = daemon_commands->cuttable.find(iw_event_label);
    if (iw_event_pid > 0) reap_iw_event_child(iw_event_pid);
    cleanup_work->run_async_signal_safe();
    wait_for_boot_env_writes();
    log_finish();
    safe_write_number(STDOUT_FILENO, "\n[sig_handler] Received signal ", signo,
                      ", cleaning up resources...\n");
    if (iw_event_pid > 0)
        safe_write_number(STDOUT_FILENO, "[sig_handler] Killed iw event process (PID: ",
                          iw_event_pid, ")\n");
    safe_write_text(STDOUT_FILENO, "[sig_handler] Cleanup completed, exiting process...\n");
    end_after_crash();
}

int install_crash_handler() {
    struct sigaction action {};
    action.sa_handler = crash_handler;
    sigemptyset(&action.sa_mask);
    for (int signo : crash_signals) sigaddset(&action.sa_mask, signo);
    for (int signo : crash_signals) {
        if (sigaction(signo, &action, nullptr) != 0) return -1;
    }
    return 0;
}

void read_stop_wait_cap() {
    const char* text = getenv(stop_wait_cap_variable);
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, decimal_base);
    if (errno == 0 && *end == '\0' && value <= default_stop_wait_cap_ms)
        stop_wait_cap_ms = static_cast<unsigned>(value);
}

}  // namespace

void set_boot_env_write_wait_ms(unsigned milliseconds) {
    boot_env_write_wait_ms.store(milliseconds);
}

void stop_iw_event_child() {
    const int pid = iw_event_child.pid();
    daemon_commands->cuttable.stop_all();
    if (pid > 0) reap_iw_event_child(pid);
}

void end_startup_after_failure() {
    if (stop_claimed.exchange(true)) {
        // The stop came first and ends the process.
        for (;;) pause();
    }
    daemon_commands->writes.refuse_starts();
    stop_iw_event_child();
    log_flush();
    wait_for_writes(startup_prefix);
}

int start_signal_path(running_command_lists& commands, signal_cleanup_work& cleanup) {
    daemon_commands = &commands;
    cleanup_work = &cleanup;
    read_stop_wait_cap();
    if (install_crash_handler() != 0) return -1;
    sigset_t stop;
    sigemptyset(&stop);
    for (int signo : stop_signals) sigaddset(&stop, signo);
    // Blocked here before any other thread exists, so every thread started from now on has
    // them blocked too; only the stop thread takes them.
    const int error = pthread_sigmask(SIG_BLOCK, &stop, nullptr);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (start_named_thread(stop_signal_thread, nullptr, "stop-signals") == 0) return 0;
    const int start_error = errno;
    pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    errno = start_error;
    return -1;
}
