// nanvideod: SPI video intake, TCP streaming, AT commands and NAN bring-up on the camera board.
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <new>

#include "command_line.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "service_watch.hpp"
#include "startup.hpp"
#include "status_summary.hpp"

namespace {

constexpr unsigned idle_step_seconds = 1;
// The main thread's name, which `ps` and `top` show for the process: the installed name, whatever
// path started it (started through /proc/self/fd/N, as the simulated board does, it would be N).
constexpr const char* process_name = "nanvideod";

// A daemon may be started with 0, 1 or 2 closed. Without this the SPI device or a client socket
// would land on one of them, and log lines would go into a client's stream.
void fill_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        int null_fd = open("/dev/null", O_RDWR);
        if (null_fd >= 0 && null_fd != fd) {
            dup2(null_fd, fd);
            close(null_fd);
        }
    }
}

// Descriptors inherited from whoever started the daemon are none of its children's business:
// they must not reach a shell command or the `iw event` child.
void keep_inherited_descriptors_from_children() {
    if (close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0) return;
    long limit = sysconf(_SC_OPEN_MAX);
    for (int fd = 3; fd < limit; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags != -1) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
    }
}

// Ends the process without running static destructors: the SPI threads still use the queue and
// the ring, so tearing those down under them could block or crash on the way out.
[[noreturn]] void end_process(int status) {
    log_flush();
    _exit(status);
}

// The daemon's instances: made once, never destroyed, since the threads that use them run until
// the process ends.
alignas(daemon_instances) unsigned char instances_storage[sizeof(daemon_instances)];

}  // namespace

int main(int argc, char* argv[]) {
    // A reader of the output that has gone (the system logger) must not end the daemon on its
    // next line, whichever line that is.
    signal(SIGPIPE, SIG_IGN);
    // First, so that threads started later (a sanitizer's among them) inherit it.
    pthread_setname_np(pthread_self(), process_name);
    fill_standard_descriptors();
    keep_inherited_descriptors_from_children();
    // The process can end through _exit; a pipe or log collector must not lose buffered lines.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Making the instances starts no thread.
    daemon_instances& instances = *new (instances_storage) daemon_instances();
    // Before any other thread, so that every thread started later leaves the stop signals to
    // the stop's own: the server takes configuration writes from its first step, and a stop
    // must wait for them.
    if (start_signal_path(instances.stop) != 0) log_perror("Signal handling setup failed");
    if (parse_command_line(argc, argv, instances.spi.settings) == command_line_result::exit_info)
        end_process(info_exit_status);
    take_instance_lock();
    // From here on lines are queued and written by the log thread, before any thread that
    // carries video exists; a log that cannot start prints on each caller's thread, as before.
    log_start();
    if (run_startup(instances) != 0) {
        // A failure after NAN bring-up started the event module must not leave `iw event`
        // behind, nor cut a configuration write a client asked for meanwhile.
        instances.stop.end_startup_after_failure();
        end_process(0);
    }
    start_service_watch(instances.notifier, instances.server, instances.watch);
    for (;;) {
        sleep(idle_step_seconds);
        instances.status_lines.tick(read_status(instances.counters, mono_now_us()));
    }
}
