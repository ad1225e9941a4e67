// Nothing the daemon started may act after it has gone (an `iw` vendor send on a removed record
// file), and a running boot-environment or firmware write is waited for, since whatever
// supervises the daemon may kill what is left of it once it has gone.
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "command_child.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "named_thread.hpp"
#include "signal_cleanup.hpp"
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
// A firmware update or a reboot is waited for up to this, in all: an update script that itself
// stops the service would otherwise wait on the stop while the stop waits on it.
constexpr char stop_wait_cap_variable[] = "NANVIDEOD_STOP_WAIT_CAP_MS";

// While waiting, the service manager is asked every period to allow three more.
constexpr int64_t extend_period_us = 5000000;
constexpr int64_t extend_timeout_us = 3 * extend_period_us;
constexpr int64_t microseconds_per_ms = 1000;
// An ended write is noticed within this step.
constexpr int64_t write_poll_step_us = 10000;
constexpr int decimal_base = 10;
constexpr size_t extend_message_size = 48;  // "EXTEND_TIMEOUT_USEC=" and a 64-bit count

// The crash handler's one process-wide pointer: a signal handler has no argument to reach its
// state through. Set once, before the handler is installed.
daemon_stop* crash_stop = nullptr;

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

struct write_in_progress {
    pid_t pid = 0;
    const char* program = "";
    bool bounded = false;
    bool waiting = false;
};

// Lists the writes running now, with a line for each; returns how many.
size_t find_running_writes(const running_command_groups& running, const char* prefix,
                           unsigned bound_ms, write_in_progress (&writes)[running_command_slots]) {
    size_t count = 0;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* program = nullptr;
        const pid_t pid = running.group_at(slot, &program);
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
             const stop_bounds& bounds) {
    if (write_ended(write.pid)) {
        log_out("%s%s (PID: %d) finished\n", prefix, write.program, write.pid);
        return true;
    }
    const unsigned limit_ms = write.bounded ? bounds.boot_env_write_wait_ms
                                            : bounds.stop_wait_cap_ms;
    if (waited_us < static_cast<int64_t>(limit_ms) * microseconds_per_ms) return false;
    log_out("%s%s (PID: %d) still running after %u ms, not waiting any longer\n", prefix,
            write.program, write.pid, limit_ms);
    return true;
}

void ask_for_more_time(service_notifier& notifier) {
    char extend[extend_message_size];
    snprintf(extend, sizeof extend, "EXTEND_TIMEOUT_USEC=%lld",
             static_cast<long long>(extend_timeout_us));
    notifier.send(extend);
}

void reap_iw_event_child(pid_t pid) {
    // The listener leaves a child killed by the stop to it; either way it is gone.
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
}

sigset_t stop_signal_set() {
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : stop_signals) sigaddset(&signals, signo);
    return signals;
}

void* stop_signal_thread(void* stop) {
    const sigset_t signals = stop_signal_set();
    for (;;) {
        const int signo = sigwaitinfo(&signals, nullptr);
        if (signo > 0) static_cast<daemon_stop*>(stop)->on_stop_signal(signo);
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
void wait_for_boot_env_writes(const running_command_groups& running, unsigned bound_ms) {
    const int64_t deadline_us = mono_now_us() +
                                static_cast<int64_t>(bound_ms) * microseconds_per_ms;
    for (int slot = 0; slot < running_command_slots; ++slot) {
        const char* program = nullptr;
        const pid_t pid = running.group_at(slot, &program);
        if (pid <= 0 || program == nullptr || !is_bounded(program)) continue;
        while (!write_ended(pid) && mono_now_us() < deadline_us) mono_sleep_us(write_poll_step_us);
    }
}

void crash_handler(int signo) { crash_stop->on_crash(signo); }

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

}  // namespace

unsigned stop_wait_cap_from_environment() {
    const char* text = getenv(stop_wait_cap_variable);
    if (text == nullptr || *text == '\0') return default_stop_wait_cap_ms;
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(text, &end, decimal_base);
    if (errno == 0 && *end == '\0' && value <= default_stop_wait_cap_ms)
        return static_cast<unsigned>(value);
    return default_stop_wait_cap_ms;
}

// Kills what may be cut, the `iw event` child among it, before anything is waited for: a hung
// command may hold what the rest of the daemon waits for. Found by its label, as the crash
// handler can find it. Returns the child reaped, or 0.
pid_t daemon_stop::stop_children() {
    const pid_t iw_event_pid = commands_.find(iw_event_label);
    commands_.stop_all();
    writes_.refuse_starts();
    if (iw_event_pid > 0) reap_iw_event_child(iw_event_pid);
    return iw_event_pid;
}

// Waits for every running write, a boot-environment write at most its bound from now and the
// others at most the cap, asking the service manager for more time meanwhile.
void daemon_stop::wait_for_writes(const char* prefix) {
    write_in_progress writes[running_command_slots];
    size_t left = find_running_writes(writes_, prefix, bounds_.boot_env_write_wait_ms, writes);
    const int64_t start_us = mono_now_us();
    int64_t next_extend_us = start_us;
    while (left > 0) {
        const int64_t now_us = mono_now_us();
        if (now_us >= next_extend_us) {
            ask_for_more_time(notifier_);
            next_extend_us = now_us + extend_period_us;
        }
        for (write_in_progress& write : writes) {
            if (!write.waiting || !settled(prefix, write, now_us - start_us, bounds_)) continue;
            write.waiting = false;
            --left;
        }
        if (left > 0) mono_sleep_us(write_poll_step_us);
    }
}

void daemon_stop::run_stop(int signo) {
    log_out("\n[sig_handler] Received signal %d, cleaning up resources...\n", signo);
    const pid_t iw_event_pid = stop_children();
    notifier_.begin_stop();
    notifier_.send("STOPPING=1");
    if (iw_event_pid > 0)
        log_out("[sig_handler] Killed iw event process (PID: %d)\n", iw_event_pid);
    clean_up_.run_async_signal_safe();
    wait_for_writes(handler_prefix);
    log_out("[sig_handler] Cleanup completed, exiting process...\n");
    log_finish();
    _exit(exit_status_on_signal);
}

void daemon_stop::on_stop_signal(int signo) {
    // A failed start-up that claimed the end first finishes it; later signals change nothing.
    if (!stop_claimed_.exchange(true)) run_stop(signo);
}

void daemon_stop::on_crash(int signo) {
    if (crash_claimed_.exchange(true)) {
        for (;;) pause();
    }
    const pid_t iw_event_pid = stop_children();
    clean_up_.run_async_signal_safe();
    wait_for_boot_env_writes(writes_, bounds_.boot_env_write_wait_ms);
    log_finish();
    safe_write_number(STDOUT_FILENO, "\n[sig_handler] Received signal ", signo,
                      ", cleaning up resources...\n");
    if (iw_event_pid > 0)
        safe_write_number(STDOUT_FILENO, "[sig_handler] Killed iw event process (PID: ",
                          iw_event_pid, ")\n");
    safe_write_text(STDOUT_FILENO, "[sig_handler] Cleanup completed, exiting process...\n");
    end_after_crash();
}

void daemon_stop::end_startup_after_failure() {
    if (stop_claimed_.exchange(true)) {
        // The stop came first and ends the process.
        for (;;) pause();
    }
    stop_children();
    log_flush();
    wait_for_writes(startup_prefix);
}

int start_signal_path(daemon_stop& stop) {
    crash_stop = &stop;
    if (install_crash_handler() != 0) return -1;
    const sigset_t signals = stop_signal_set();
    // Blocked here before any other thread exists, so every thread started from now on has
    // them blocked too; only the stop thread takes them.
    const int error = pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (error != 0) {
        errno = error;
        return -1;
    }
    if (start_named_thread(stop_signal_thread, &stop, "stop-signals") == 0) return 0;
    const int start_error = errno;
    pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
    errno = start_error;
    return -1;
}
