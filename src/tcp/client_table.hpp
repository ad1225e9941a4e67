#pragma once
// The connected clients. The server thread owns the table: it opens, writes, counts and closes.
// The command thread touches only each client's commands and replies, under the table's lock,
// which is the last lock ever taken: a command posts its reply while it may hold param_mutex,
// iwset_mutex or vendor_send_mutex, and nothing else is taken while this one is held (but the
// log's own, for a failure line's count).
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "client.hpp"
#include "daemon_counters.hpp"
#include "log.hpp"
#include "status_snapshot.hpp"

static_assert(status_reply_size <= at_reply_max, "the status reply goes out as one reply");

class client_table {
public:
    // counts are the daemon's: the table keeps the stream's totals in them and the status reply
    // reads them all.
    explicit client_table(daemon_counters& counts);
    ~client_table();
    client_table(const client_table&) = delete;
    client_table& operator=(const client_table&) = delete;

    client& at(int index) { return clients_[index]; }
    const client& at(int index) const { return clients_[index]; }
    // The slot holding fd, or -1.
    int find(int fd) const;
    // A slot no connection holds, or -1.
    int free_slot() const;
    int connected() const;

    // Server thread. Slot index takes the connected socket fd (already in the epoll set, which
    // close takes it out of).
    void open(int index, int fd, int64_t now_us);
    // Server thread: out of the epoll set, closed, its waiting commands cancelled and its replies
    // dropped (one line for them). A command of it already running finishes and finds it gone.
    void close(int index);
    void set_epoll(int epoll_fd) { epoll_fd_ = epoll_fd; }

    // ---- replies (the command thread posts, the server thread starts them) ----
    // Queues a whole reply for the slot's connection. Returns 0, EPIPE when the slot holds
    // another connection (or none), EINVAL for an empty text, EMSGSIZE for a text longer than
    // at_reply_max, ENOBUFS when it takes the owed bytes over the limit (the slot is then marked
    // for closing).
    int post_reply(int index, uint32_t connection, const char* text, uint32_t length,
                   int64_t ready_us, bool command_reply);
    bool peek_reply(int index, uint8_t* out, uint32_t* length, int64_t* ready_us);
    bool oldest_reply(int index, int64_t* ready_us);
    void pop_reply(int index);
    bool replies_owed(int index);
    bool replies_over_limit(int index);
    // A command's reply: posted, or reported as failed. 0, or -1 after the line.
    int post_or_report(int index, uint32_t connection, int fd, const char* text, uint32_t length,
                       int64_t ready_us);
    // "Failed to send AT response to (fd F): reason", under the slot's repeat limit.
    void reply_failed(int index, int fd, int error);

    // ---- the "AT+AB status" reply, from any thread ----
    // The daemon's counters and each client's, read now. Returns the length written (0 if out
    // is too small).
    size_t format_status(bool video_suspended, int64_t now_us, char* out, size_t size);
    // Posts the status reply for the connection in slot index as of now_us, after what it is
    // already owed. Returns 0, or -1 after the failure line.
    int post_status(int index, uint32_t connection, int fd, bool video_suspended, int64_t now_us);

    // ---- counting (server thread) ----
    // bytes of a batch of frames went out, finishing `frames` of them.
    void count_frames_sent(int index, uint64_t bytes, uint64_t frames);
    // frames missed by the client because its output was still busy.
    void count_skipped(int index, uint64_t frames);
    void count_timeout(int index);
    void count_command(int index);
    // Something went out to, or came in from, the client; a whole video frame also clears its
    // time-out count.
    void mark_alive(int index, int64_t now_s, bool whole_frame);

    // The lock over every client's commands and replies, and the command thread's wake-up.
    pthread_mutex_t& lock() { return lock_; }
    pthread_cond_t& commands_changed() { return commands_changed_; }

private:
    client clients_[max_clients];
    daemon_counters& counts_;
    stream_counters& totals_;
    uint32_t last_connection_ = 0;
    int epoll_fd_ = -1;
    pthread_mutex_t lock_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t commands_changed_ = PTHREAD_COND_INITIALIZER;
    // A client that never reads may have a reply fail every few milliseconds.
    log_repeat_limits<max_clients> failed_reply_lines_{"failed replies of client"};
};
