// The client table: each client's slot, its one way out, its counting and the status reply.
#include "client_table.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "mutex_hold.hpp"

client_table::client_table(daemon_counters& counts)
    : counts_(counts), totals_(counts.stream) {}

client_table::~client_table() {
    for (client& c : clients_) {
        if (c.connected()) ::close(c.fd);
    }
}

int client_table::find(int fd) const {
    for (int i = 0; i < max_clients; ++i) {
        if (clients_[i].connected() && clients_[i].fd == fd) return i;
    }
    return -1;
}

int client_table::free_slot() const {
    for (int i = 0; i < max_clients; ++i) {
        if (!clients_[i].connected()) return i;
    }
    return -1;
}

int client_table::connected() const {
    int count = 0;
    for (const client& c : clients_) count += c.connected() ? 1 : 0;
    return count;
}

void client_table::open(int index, int fd, int64_t now_us) {
    uint32_t number = ++last_connection_;
    if (number == 0) number = ++last_connection_;
    client& c = clients_[index];
    c.start(fd, number, now_us);
    {
        mutex_hold hold(lock_);
        c.owner = number;
        c.commands = command_queue{};
        c.replies.drop_all();
    }
    totals_.clients.store(connected(), std::memory_order_relaxed);
}

void client_table::close(int index) {
    client& c = clients_[index];
    const int fd = c.fd;
    if (c.connected()) {
        if (epoll_fd_ >= 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
    }
    c.fd = -1;
    c.connection = 0;
    c.rest_length = 0;
    c.kind = rest_kind::none;
    int unanswered = 0;
    {
        mutex_hold hold(lock_);
        c.owner = 0;
        c.commands = command_queue{};
        unanswered = c.replies.drop_all();
    }
    totals_.clients.store(connected(), std::memory_order_relaxed);
    // Replies that never started are reported as a send to the closed socket would be.
    if (unanswered > 0) {
        log_err("Failed to send AT response to (fd %d): %s: %d replies dropped\n", fd,
                strerror(EPIPE), unanswered);
    }
}

int client_table::post_reply(int index, uint32_t connection, const char* text, uint32_t length,
                             int64_t ready_us, bool command_reply) {
    if (length == 0) return EINVAL;
    if (length > at_reply_max) return EMSGSIZE;
    mutex_hold hold(lock_);
    client& c = clients_[index];
    // The connection that asked is gone, as a send to it would find.
    if (connection == 0 || c.owner != connection) return EPIPE;
    return c.replies.post(text, length, ready_us, command_reply);
}

bool client_table::peek_reply(int index, uint8_t* out, uint32_t* length, int64_t* ready_us) {
    mutex_hold hold(lock_);
    return clients_[index].replies.peek(out, length, ready_us);
}

bool client_table::oldest_reply(int index, int64_t* ready_us) {
    mutex_hold hold(lock_);
    return clients_[index].replies.oldest_ready(ready_us);
}

void client_table::pop_reply(int index) {
    mutex_hold hold(lock_);
    clients_[index].replies.pop();
}

bool client_table::replies_owed(int index) {
    mutex_hold hold(lock_);
    return clients_[index].replies.used != 0;
}

bool client_table::replies_over_limit(int index) {
    mutex_hold hold(lock_);
    return clients_[index].replies.over_limit;
}

int client_table::post_or_report(int index, uint32_t connection, int fd, const char* text,
                                 uint32_t length, int64_t ready_us) {
    const int error = post_reply(index, connection, text, length, ready_us, true);
    if (error == 0) return 0;
    reply_failed(index, fd, error);
    return -1;
}

void client_table::reply_failed(int index, int fd, int error) {
    bool shown = false;
    {
        // Both threads report failed replies; the limit is counted under the lock.
        mutex_hold hold(lock_);
        shown = failed_reply_lines_[static_cast<size_t>(index)].allow();
    }
    if (shown) log_err("Failed to send AT response to (fd %d): %s\n", fd, strerror(error));
}

size_t client_table::format_status(bool video_suspended, int64_t now_us, char* out, size_t size) {
    status_snapshot s = read_status(counts_, now_us);
    s.video_suspended = video_suspended;
    s.clients = 0;
    for (int i = 0; i < max_clients; ++i) {
        uint32_t connection = 0;
        {
            // Read under the lock: the server thread may be opening or closing the slot.
            mutex_hold hold(lock_);
            connection = clients_[i].owner;
        }
        if (connection == 0) continue;
        ++s.clients;
        s.client[i] = {true, connection, clients_[i].figures.reading()};
    }
    return format_status_reply(s, out, size);
}

int client_table::post_status(int index, uint32_t connection, int fd, bool video_suspended,
                              int64_t now_us) {
    char text[status_reply_size];
    const size_t length = format_status(video_suspended, now_us, text, sizeof text);
    return post_or_report(index, connection, fd, text, static_cast<uint32_t>(length), now_us);
}

void client_table::count_frames_sent(int index, uint64_t bytes, uint64_t frames) {
    client_figures& f = clients_[index].figures;
    f.bytes_sent.add(bytes);
    f.frames_sent.add(frames);
    totals_.bytes_sent.add(bytes);
    totals_.frames_sent.add(frames);
}

void client_table::count_skipped(int index, uint64_t frames) {
    clients_[index].figures.frames_skipped.add(frames);
    totals_.frames_skipped.add(frames);
}

void client_table::count_timeout(int index) {
    clients_[index].figures.timeouts.add();
    totals_.timeouts.add();
}

void client_table::count_command(int index) {
    clients_[index].figures.at_commands.add();
    totals_.at_commands.add();
}

void client_table::mark_alive(int index, int64_t now_s, bool whole_frame) {
    clients_[index].last_activity = now_s;
    if (whole_frame) clients_[index].timeout_count = 0;
}
