// `iw event [-t] [-f]`: prints the driver's event log from its start and then follows it, as a
// netlink listener would hear the driver. The stream ends only when iw is killed, or when
// whoever read its output has gone (then there is no one to print for).
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "event_log.hpp"
#include "iw_commands.hpp"
#include "sim_state.hpp"
#include "unique_fd.hpp"

namespace wifisim {

namespace {

constexpr int exit_broken_state = 1;
// Set (to anything): the stream never notices that its reader has gone, as a real iw blocked in
// its netlink read does not, so a test sees whether its parent ends it.
constexpr char deaf_to_reader_env[] = "NANVIDEO_IW_EVENT_DEAF";
constexpr int follow_without_inotify_ms = 20;
constexpr size_t read_chunk = 16384;

bool write_out(const std::string& text) {
    const char* data = text.data();
    size_t left = text.size();
    while (left > 0) {
        ssize_t n = write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

class event_follower {
public:
    event_follower(bool timestamps, bool dump_data) : timestamps_(timestamps), dump_(dump_data) {}

    // Prints every whole entry that has been appended since the last call; the first call
    // starts after the last clear mark.
    bool print_new_entries(int fd) {
        char buffer[read_chunk];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0) pending_.append(buffer, static_cast<size_t>(n));
        if (!started_) skip_cleared();
        started_ = true;
        return write_out(take_complete_entries());
    }

private:
    void skip_cleared() {
        const std::string mark = clear_mark;
        if (pending_.compare(0, mark.size(), mark) == 0) pending_.erase(0, mark.size());
        const size_t last = pending_.rfind("\n" + mark);
        if (last != std::string::npos) pending_.erase(0, last + 1 + mark.size());
    }

    std::string take_complete_entries() {
        std::string out;
        size_t start = 0;
        for (size_t end; (end = pending_.find('\n', start)) != std::string::npos; start = end + 1) {
            event_entry entry;
            if (!decode_entry(pending_.substr(start, end - start), &entry)) continue;
            timespec now{};
            clock_gettime(CLOCK_REALTIME, &now);
            out += format_entry(entry, timestamps_, dump_, now);
        }
        pending_.erase(0, start);
        return out;
    }

    bool timestamps_;
    bool dump_;
    bool started_ = false;
    std::string pending_;
};

// Waits until the log may have grown. Returns false when standard output has no reader.
bool wait_for_more(int notify_fd) {
    static const bool deaf = getenv(deaf_to_reader_env) != nullptr;
    pollfd fds[2] = {{deaf ? -1 : STDOUT_FILENO, 0, 0}, {notify_fd, POLLIN, 0}};
    const nfds_t count = notify_fd >= 0 ? 2 : 1;
    const int timeout = notify_fd >= 0 ? -1 : follow_without_inotify_ms;
    if (poll(fds, count, timeout) < 0 && errno != EINTR) return false;
    if (fds[0].revents & (POLLERR | POLLHUP)) return false;
    if (count == 2 && (fds[1].revents & POLLIN)) {
        char drain[4096];
        while (read(notify_fd, drain, sizeof drain) > 0) {
        }
    }
    return true;
}

}  // namespace

int iw_event_stream(const std::string& state, int argc, char** argv) {
    bool timestamps = false;
    bool dump_data = false;
    for (int i = 0; i < argc; ++i) {
        if (strcmp(argv[i], "-t") == 0 || strcmp(argv[i], "-r") == 0) {
            timestamps = true;
        } else if (strcmp(argv[i], "-f") == 0) {
            dump_data = true;
        } else {
            return usage_error("Usage: iw event [-t|-r] [-f]");
        }
    }
    const std::string path = state_path(state, events_file);
    {
        state_lock lock(state);
        if (!lock.held() || !append_to_file(path, "")) {
            fprintf(stderr, "iw: cannot open the event log in %s\n", state.c_str());
            return exit_broken_state;
        }
    }
    // Watching before the first read: nothing appended in between goes unnoticed.
    unique_fd notify(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (notify.valid() && inotify_add_watch(notify.get(), path.c_str(), IN_MODIFY) < 0)
        notify.reset();
    unique_fd log(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!log.valid()) {
        fprintf(stderr, "iw: cannot read the event log %s: %s\n", path.c_str(), strerror(errno));
        return exit_broken_state;
    }
    event_follower follower(timestamps, dump_data);
    while (follower.print_new_entries(log.get()) && wait_for_more(notify.get())) {
    }
    return 0;
}

}  // namespace wifisim
