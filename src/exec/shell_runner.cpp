// The two ways the daemon runs a shell command: captured output for the few queries whose answer
// is text, and exit status for every command that changes something. Each command runs in a
// process group of its own and gets a time limit: a driver bug can leave `iw` hanging for ever,
// and it would hold iwset_mutex, and with it every later NAN operation and AT command, for ever.
// A command that writes the boot environment or the firmware is never cut short, and none starts
// once the daemon is stopping: the stop waits for the running ones and must not wait for more.
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "command_child.hpp"
#include "keyword.hpp"
#include "mono_clock.hpp"
#include "unique_fd.hpp"
#include "log.hpp"

namespace {

constexpr const char* shell_path = "/bin/sh";
constexpr const char* null_device = "/dev/null";
constexpr int exec_failed_status = 127;  // what a shell reports for a command it cannot run
// Output is read in pieces of at most this size; the pieces are joined in the caller's buffer,
// so the answer does not depend on it.
constexpr size_t output_piece_size = 1024;
constexpr int64_t microseconds_per_ms = 1000;
constexpr int64_t no_deadline = INT64_MAX;
// A finished command is noticed within this share of its run time, and within 50 ms at most.
constexpr int64_t first_wait_step_us = 1000;
constexpr int64_t longest_wait_step_us = 50000;

// The boot-environment and firmware writers, never cut short (see command_time_limit_ms).
const char* const must_finish_programs[] = {"fw_setenv", "/bin/usb.sh", "reboot"};

unsigned long thread_id() { return static_cast<unsigned long>(pthread_self()); }

// The command's program is its first word: the listed program it names, or nullptr.
const char* must_finish_program(const char* cmd) {
    cmd += strspn(cmd, " \t");
    size_t length = strcspn(cmd, " \t;&|");
    for (const char* program : must_finish_programs) {
        if (strlen(program) == length && strncmp(cmd, program, length) == 0) return program;
    }
    return nullptr;
}

bool must_finish(const char* cmd) { return must_finish_program(cmd) != nullptr; }

// A stop has come: the list the command belongs to starts nothing any more.
void log_refused(const char* cmd) {
    log_err("[%lu] Error: Stopping, command not started: %s\n", thread_id(), cmd);
}

// Makes fd the child's descriptor target (1 or 2) and keeps it across the exec.
void put_on(int fd, int target) {
    if (fd == target) {
        fcntl(fd, F_SETFD, 0);  // it landed there itself (the daemon had closed it)
        return;
    }
    dup2(fd, target);
}

// Runs in the child of a threaded process, so only async-signal-safe calls. output_fd < 0: the
// command's output must never reach the daemon's, so standard output and standard error go to
// /dev/null (if that cannot be opened the child keeps the daemon's). Otherwise standard output
// goes to output_fd and standard error stays the daemon's. A command that may be cut goes with
// the daemon however the daemon ends (daemon: its pid; 0 for one that must finish). Its forking
// thread waits for it, so the thread never ends first.
[[noreturn]] void exec_shell(const char* cmd, int output_fd, pid_t daemon) {
    if (daemon != 0 && (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != daemon))
        _exit(exec_failed_status);
    if (output_fd >= 0) {
        put_on(output_fd, STDOUT_FILENO);
    } else {
        int null_fd = open(null_device, O_WRONLY | O_CLOEXEC);
        if (null_fd >= 0) {
            put_on(null_fd, STDOUT_FILENO);
            put_on(null_fd, STDERR_FILENO);
        }
    }
    execl(shell_path, "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(exec_failed_status);
}

// Owns a forked command until it has been reaped: waits for it under the time limit and, on
// every way out, leaves no process of its group behind unless the command must finish.
class command_child {
public:
    // Starts cmd in its child, listed in list, with its standard output on output_fd (< 0: none).
    // started() is false when it did not start: refused once stopping (ECANCELED, said here) or
    // the fork failed (errno set, for the caller's line).
    command_child(running_command_groups& list, const char* cmd, int output_fd,
                  unsigned time_limit_ms)
        : cmd_(cmd),
          time_limit_ms_(time_limit_ms),
          program_(must_finish_program(cmd)),
          pid_(start(list, output_fd)),
          deadline_us_(mono_now_us() +
                       static_cast<int64_t>(time_limit_ms) * microseconds_per_ms),
          listed_(list, slot_) {}
    ~command_child() {
        if (pid_ <= 0) return;
        if (!must_finish()) kill(-pid_, SIGKILL);
        int status = 0;
        reap(&status);
    }
    command_child(const command_child&) = delete;
    command_child& operator=(const command_child&) = delete;

    bool started() const { return pid_ > 0; }
    int64_t deadline_us() const { return deadline_us_; }

    // The limit has passed: a command that may be killed is, with its whole group (one line
    // says so); one that must finish gets a line and no deadline any more. True when killed.
    bool limit_passed() {
        if (must_finish()) {
            log_err("[%lu] Warning: Command still running after %u ms, waiting for it to "
                    "finish: %s\n",
                    thread_id(), time_limit_ms_, cmd_);
            deadline_us_ = no_deadline;
            return false;
        }
        kill(-pid_, SIGKILL);
        log_err("[%lu] Error: Command timed out after %u ms, killed: %s\n", thread_id(),
                time_limit_ms_, cmd_);
        return true;
    }

    // Waits for the command to end under the limit. Returns 0 with its wait status, 1 when it
    // was killed at the limit, -1 (errno set) when the wait itself failed.
    int finish(int* wait_status) {
        for (;;) {
            int ended = wait_until(deadline_us_);
            if (ended < 0) return -1;
            if (ended > 0) break;
            if (limit_passed()) {
                reap(wait_status);
                return 1;
            }
        }
        return reap(wait_status) ? 0 : -1;
    }

private:
    bool must_finish() const { return program_ != nullptr; }

    pid_t start(running_command_groups& list, int output_fd) {
        const pid_t daemon = must_finish() ? 0 : getpid();
        const pid_t pid = fork_command_child(list, slot_, program_);
        if (pid == 0) exec_shell(cmd_, output_fd, daemon);
        if (pid < 0 && errno == ECANCELED) {
            log_refused(cmd_);
            errno = ECANCELED;
        }
        return pid;
    }

    // 1 once the child has ended (not yet reaped), 0 at the deadline, -1 when waiting fails.
    int wait_until(int64_t deadline_us) {
        int64_t step_us = first_wait_step_us;
        for (;;) {
            siginfo_t info{};
            int options = WEXITED | WNOWAIT | (deadline_us == no_deadline ? 0 : WNOHANG);
            if (waitid(P_PID, static_cast<id_t>(pid_), &info, options) != 0) {
                if (errno == EINTR) continue;
                return -1;
            }
            if (info.si_pid == pid_) return 1;
            int64_t left_us = deadline_us - mono_now_us();
            if (left_us <= 0) return 0;
            mono_sleep_us(step_us < left_us ? step_us : left_us);
            if (step_us < longest_wait_step_us) step_us *= 2;
        }
    }

    // Withdraws the group from the signal path's list while the child is still a zombie, then
    // reaps it.
    bool reap(int* wait_status) {
        listed_.withdraw();
        pid_t result;
        do {
            result = waitpid(pid_, wait_status, 0);
        } while (result < 0 && errno == EINTR);
        pid_ = -1;
        return result >= 0;
    }

    const char* cmd_;
    unsigned time_limit_ms_;
    const char* program_;  // the must-finish program it runs, or nullptr
    int slot_ = -1;  // filled by start(), before listed_ takes it
    pid_t pid_;
    int64_t deadline_us_;
    listed_command_group listed_;
};

// Reads the command's standard output into output (at most len - 1 characters and a NUL) until
// it ends, does not fit (what fitted is kept and the warning printed), or the limit passes.
// False when the command was killed at the limit.
bool read_output(int fd, command_child& child, char* output, size_t len) {
    char piece[output_piece_size];
    size_t total = 0;
    for (;;) {
        int64_t deadline = child.deadline_us();
        int timeout_ms = -1;
        if (deadline != no_deadline) {
            int64_t left_us = deadline - mono_now_us();
            if (left_us <= 0) {
                if (child.limit_passed()) return false;
                continue;
            }
            timeout_ms = static_cast<int>((left_us + microseconds_per_ms - 1) / microseconds_per_ms);
        }
        pollfd ready{fd, POLLIN, 0};
        int polled = poll(&ready, 1, timeout_ms);
        if (polled < 0 && errno != EINTR) return true;
        if (polled <= 0) continue;
        ssize_t count = read(fd, piece, sizeof piece);
        if (count < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (count <= 0) return true;
        const size_t room = len - 1 - total;
        const size_t taken = static_cast<size_t>(count) < room ? static_cast<size_t>(count) : room;
        memcpy(output + total, piece, taken);
        total += taken;
        output[total] = '\0';
        if (taken < static_cast<size_t>(count)) {
            log_out("Warning: Command output exceeds buffer limit, truncated!\n");
            return true;
        }
    }
}

}  // namespace

void drop_final_line_feed(char* output) {
    size_t length = strlen(output);
    if (length > 0 && output[length - 1] == '\n') output[length - 1] = '\0';
}

shell_command_runner::shell_command_runner(unsigned time_limit_ms,
                                           running_command_groups& cuttable,
                                           running_command_groups& writes)
    : time_limit_ms_(time_limit_ms), cuttable_(cuttable), writes_(writes) {}

running_command_groups& shell_command_runner::list_for(const char* cmd) {
    return must_finish(cmd) ? writes_ : cuttable_;
}

int shell_command_runner::capture(const char* cmd, char* output, size_t len) {
    if (cmd == nullptr || output == nullptr) {
        log_out("Error: Invalid input parameters (cmd/output is NULL)!\n");
        return -1;
    }
    if (len == 0) {
        log_out("Error: Invalid input parameters (output size is 0)!\n");
        return -1;
    }
    // A stale answer must never pass for the command's: an empty output stays empty.
    output[0] = '\0';

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        log_out("Error: Failed to open pipe for command: %s\n", cmd);
        return -1;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);
    command_child child(list_for(cmd), cmd, write_end.get(), time_limit_ms_);
    if (!child.started()) {
        if (errno != ECANCELED) log_out("Error: Failed to open pipe for command: %s\n", cmd);
        return -1;
    }
    write_end.reset();
    if (!read_output(read_end.get(), child, output, len)) return -1;
    // A command still writing what no longer fits ends on the closed pipe, as with popen.
    read_end.reset();
    int status = 0;
    const int finished = child.finish(&status);
    if (finished < 0) log_out("Error: Failed to close pipe for command: %s\n", cmd);
    if (finished != 0) return -1;
    // The command's own exit status is not looked at: the answer is what it printed.
    drop_final_line_feed(output);
    return 0;
}

int shell_command_runner::status(const char* cmd) {
    if (cmd == nullptr || cmd[0] == '\0') return -1;

    command_child child(list_for(cmd), cmd, -1, time_limit_ms_);
    if (!child.started()) {
        if (errno != ECANCELED) log_err("Error: Fork failed (errno: %d)!\n", errno);
        return -1;
    }
    int status = 0;
    const int finished = child.finish(&status);
    if (finished < 0) log_err("Error: Wait for child failed (errno: %d)!\n", errno);
    if (finished != 0) return -1;
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
