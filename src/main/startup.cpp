// The fixed start-up order: SPI link, TCP server, parameters, NAN. The first step that fails
// prints one line and the daemon ends with status 0.
#include "startup.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "nan_bringup.hpp"
#include "param_store.hpp"
#include "spi_device.hpp"
#include "tcp_server.hpp"
#include "tool_check.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

namespace {

// A step gives 0 when it started; otherwise its failure line is printed and start-up stops.
bool ok(int result, const char* failure) {
    if (result == 0) return true;
    log_puts(failure);
    return false;
}

// One daemon per board: a second one would find the port taken and, at bring-up, delete the
// running one's NAN interface as a leftover. The kernel drops the lock with its holder's last
// descriptor, so a killed daemon leaves none behind; the file names the holder for the next one.
// /var/run where a root file system has no /run (older BusyBox ones); elsewhere it is the same.
const char* const instance_lock_paths[] = {"/run/nanvideod.lock", "/var/run/nanvideod.lock"};
constexpr mode_t instance_lock_mode = 0644;
constexpr size_t pid_text_size = 16;
// A second instance did not start: a supervisor records a failed start (not a run that ended),
// and one that restarts it takes over once the running daemon has gone.
constexpr int instance_refused_status = 1;

unique_fd open_instance_lock(const char** path) {
    unique_fd fd;
    for (const char* candidate : instance_lock_paths) {
        *path = candidate;
        fd.reset(open(candidate, O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, instance_lock_mode));
        if (fd.valid() || errno != ENOENT) break;
    }
    return fd;
}

// The holder writes its pid just after it took the lock: a start in between finds none yet.
void read_holder_pid(int fd, char* pid, size_t size) {
    ssize_t got = pread(fd, pid, size - 1, 0);
    pid[got > 0 ? got : 0] = '\0';
    pid[strcspn(pid, "\n")] = '\0';
    if (pid[0] == '\0') snprintf(pid, size, "unknown");
}

void write_own_pid(int fd) {
    char pid[pid_text_size];
    int length = snprintf(pid, sizeof pid, "%d\n", static_cast<int>(getpid()));
    if (ftruncate(fd, 0) != 0 || pwrite(fd, pid, static_cast<size_t>(length), 0) != length)
        log_perror("Can't write the pid into the instance lock");
}

[[noreturn]] void end_refused() {
    log_flush();
    _exit(instance_refused_status);
}

}  // namespace

void take_instance_lock() {
    const char* path = instance_lock_paths[0];
    unique_fd fd = open_instance_lock(&path);
    if (!fd.valid()) {
        log_err("Can't open the instance lock %s: %s\n", path, strerror(errno));
        end_refused();
    }
    if (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
        if (errno != EWOULDBLOCK) {
            log_err("Can't lock the instance lock %s: %s\n", path, strerror(errno));
            end_refused();
        }
        char pid[pid_text_size];
        read_holder_pid(fd.get(), pid, sizeof pid);
        log_out("nanvideod is already running (pid %s, lock %s): this one ends.\n", pid, path);
        end_refused();
    }
    write_own_pid(fd.get());
    // Held for the life of the process.
    fd.release();
}

int run_startup(daemon_instances& instances) {
    // Before any step, so the cause comes first, whichever step or command it makes fail.
    report_missing_tools();
    const bool started =
        ok(spi_init(instances.spi), "SPI initialization failed.") &&
        ok(tcp_server_init(instances.server), "TCP server initialization failed.") &&
        ok(init_param(instances.params, instances.keywords), "Parameter initialization failed.") &&
        ok(nan_bringup(instances.events, instances.keywords, instances.params),
           "NAN initialization failed.");
    return started ? 0 : -1;
}
