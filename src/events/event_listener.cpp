// A new `iw event` follows one that ended (iw killed or crashed, the driver reloaded), or no
// data-path request would ever be answered again while the daemon lives on.
#include "event_listener.hpp"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "command_child.hpp"
#include "mono_clock.hpp"
#include "signal_safe_write.hpp"
#include "unique_fd.hpp"
#include "log.hpp"

namespace {

constexpr int exec_failed_status = 1;

// In the forked child only async-signal-safe calls: another thread of the daemon may have held
// a stdio or allocator lock at the moment of the fork. The child goes with the daemon, however
// the daemon ends (SIGKILL, the OOM killer): left behind it would sit in its netlink read until
// the next event, one more with every restart. The daemon may have gone before the death signal
// was set, in which case nobody is left to send it.
[[noreturn]] void exec_iw_event(int read_fd, int write_fd, pid_t daemon) {
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != daemon) _exit(exec_failed_status);
    close(read_fd);
    if (write_fd != STDOUT_FILENO) {
        dup2(write_fd, STDOUT_FILENO);
        close(write_fd);
    }
    execlp("iw", "iw", "event", "-t", "-f", static_cast<char*>(nullptr));
    safe_write_system_error("[nan_event_listener] execlp iw failed", errno);
    _exit(exec_failed_status);
}

// Owns the running child: reaps it on every way out of the listener. The listed group is
// withdrawn while the child is still a zombie, so the stop can never kill a reused id.
class iw_event_process {
public:
    iw_event_process(running_command_groups& commands, pid_t pid, int slot)
        : pid_(pid), listed_(commands, slot) {}
    ~iw_event_process() { reap(); }
    iw_event_process(const iw_event_process&) = delete;
    iw_event_process& operator=(const iw_event_process&) = delete;

    void kill_now() { kill(-pid_, SIGKILL); }

    void reap() {
        if (pid_ <= 0) return;
        siginfo_t info{};
        while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) != 0 &&
               errno == EINTR) {
        }
        listed_.withdraw();
        while (waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
        pid_ = -1;
    }

private:
    pid_t pid_;
    listed_command_group listed_;
};

// How a stream ended: without a line, after at least one, or by the signal path.
enum class stream_end { quiet, delivered, stopped };

// One `iw event` from start to end of stream.
stream_end run_iw_event(event_line_queue& ring, running_command_groups& commands) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        log_perror("[nan_event_listener] pipe failed");
        return stream_end::quiet;
    }
    unique_fd read_end(ends[0]);
    unique_fd write_end(ends[1]);

    int slot = -1;
    const pid_t daemon = getpid();
    pid_t pid = fork_command_child(commands, slot, iw_event_label);
    if (pid < 0) {
        // Once stopping nothing starts any more; the stop ends the process.
        if (errno == ECANCELED) return stream_end::stopped;
        log_perror("[nan_event_listener] fork failed");
        return stream_end::quiet;
    }
    if (pid == 0) exec_iw_event(read_end.get(), write_end.get(), daemon);

    write_end.reset();
    iw_event_process process(commands, pid, slot);
    FILE* stream = fdopen(read_end.get(), "r");
    if (stream == nullptr) {
        log_perror("[nan_event_listener] fdopen failed");
        process.kill_now();
        return stream_end::quiet;
    }
    read_end.release();  // the stream owns the descriptor now

    log_puts("[nan_event_listener] Start monitoring NAN events (blocking when no data)...");
    int forwarded = forward_event_lines(stream, ring);
    // The stream closed because the stop killed the child: the stop reaps it and ends the
    // process, so stay out of its way (and out of its output).
    if (commands.refusing()) {
        for (;;) pause();
    }
    fclose(stream);
    process.reap();
    return forwarded > 0 ? stream_end::delivered : stream_end::quiet;
}

}  // namespace

void run_event_listener(event_line_queue& ring, running_command_groups& commands,
                        const listener_restart& restart) {
    unsigned pause_ms = restart.first_pause_ms;
    for (int run = 1;; ++run) {
        stream_end end = run_iw_event(ring, commands);
        if (end == stream_end::stopped) {
            for (;;) pause();
        }
        if (restart.streams > 0 && run >= restart.streams) {
            log_puts("[nan_event_listener] iw event stream closed, exiting listener");
            return;
        }
        // A stream that worked starts the pauses again; one that keeps ending at once (no iw,
        // a driver gone) is retried ever more slowly.
        if (end == stream_end::delivered) pause_ms = restart.first_pause_ms;
        log_out("[nan_event_listener] iw event stream closed, restarting in %u ms\n", pause_ms);
        mono_sleep_us(static_cast<int64_t>(pause_ms) * 1000);
        pause_ms = pause_ms > restart.longest_pause_ms / 2 ? restart.longest_pause_ms
                                                           : pause_ms * 2;
    }
}

int forward_event_lines(FILE* stream, event_line_queue& ring) {
    char line[event_line_size];
    int forwarded = 0;
    while (fgets(line, sizeof(line), stream) != nullptr) {
        line[strcspn(line, "\n")] = '\0';
        ring.push(line);
        log_out("[nan_event_listener] Raw event: %s\n", line);
        ++forwarded;
    }
    return forwarded;
}
