// Once a frame or reply has been handed to a client, it is finished or the client is closed.
#include "client_writer.hpp"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "at_worker.hpp"
#include "log.hpp"

namespace {

// Errors after which the connection cannot carry anything again.
bool fatal_send_error(int error) {
    return error == EPIPE || error == ENETUNREACH || error == ECONNRESET ||
           error == EHOSTUNREACH;
}

int64_t whole_seconds(int64_t us) { return us / 1000000; }

}  // namespace

bool silent_too_long(const client_entry& entry, int64_t now_s) {
    return now_s - entry.last_activity > silence_limit_s;
}

void client_writer::opened(int index, uint32_t connection) {
    clients_.outputs[index].reset();
    clients_.replies.open(index, connection);
}

void client_writer::write_all(int64_t now_us) {
    for (int i = 0; i < max_clients; ++i) write(i, now_us);
}

void client_writer::write(int index, int64_t now_us) {
    const client_entry entry = clients_.read(index);
    if (entry.active == 0 || entry.fd <= 0) return;
    if (clients_.replies.over_limit(index)) {
        log_err("Client %d (fd %d): Owed replies over %u bytes, close connection\n",
                index, entry.fd, owed_reply_limit);
        close(index);
        return;
    }
    client_output& out = clients_.outputs[index];
    if (now_us < out.held_until_us) return;
    if (out.has_rest()) {
        const rest_kind kind = out.kind;
        uint32_t sent = 0;
        int error = out.flush(entry.fd, &sent);
        if (sent > 0) {
            const bool whole_frame = error == 0 && kind == rest_kind::video;
            clients_.mark_alive(index, whole_seconds(now_us), whole_frame);
            if (whole_frame) out.whole_frames = out.given_frames;
        }
        if (error == EAGAIN) return;
        if (error != 0) {
            write_failed(index, entry.fd, error, kind);
            return;
        }
    }
    start_replies(index, entry.fd, now_us);
}

// Replies start only on an empty output; the rest buffer stages the one being started.
void client_writer::start_replies(int index, int fd, int64_t now_us) {
    client_output& out = clients_.outputs[index];
    uint32_t length = 0;
    int64_t ready_us = 0;
    while (clients_.replies.peek(index, out.rest, &length, &ready_us)) {
        if (now_us - ready_us >= static_cast<int64_t>(at_reply_start_limit_ms) * 1000) {
            // Dropped whole: the worker reports it for its reply, this line for the server's own.
            if (!pop_reply(index, reply_fate::dropped)) {
                log_err("Failed to send AT response to (fd %d): %s\n", fd,
                        strerror(ETIMEDOUT));
            }
            continue;
        }
        long n = send_now(fd, out.rest, length);
        if (n == 0) return;
        if (n < 0) {
            const int error = errno;
            if (!pop_reply(index, reply_fate::refused)) {
                log_err("Failed to send AT response to (fd %d): %s\n", fd,
                        strerror(error));
            }
            if (fatal_send_error(error)) write_failed(index, fd, error, rest_kind::reply);
            return;
        }
        clients_.mark_alive(index, whole_seconds(now_us), false);
        pop_reply(index, reply_fate::started);
        if (static_cast<uint32_t>(n) < length) {
            out.keep(rest_kind::reply, out.rest + n, length - static_cast<uint32_t>(n), now_us,
                     rest_timeout_ms_);
            return;
        }
    }
}

// Once the worker's reply is dealt with, its client may send the next command: the server reads
// that command only after this returns, so it never finds the previous one still counted.
bool client_writer::pop_reply(int index, reply_fate fate) {
    const bool workers = clients_.replies.pop(index, fate);
    if (workers && worker_ != nullptr) worker_->replied();
    return workers;
}

bool client_writer::ready_for_frames(int index, int64_t now_us) {
    const client_output& out = clients_.outputs[index];
    if (out.has_rest() || now_us < out.held_until_us) return false;
    return !clients_.replies.owed(index);
}

frame_take client_writer::offer_frame(int index, int fd, const uint8_t* payload, uint32_t length,
                                      int64_t frame, int64_t now_us) {
    client_output& out = clients_.outputs[index];
    long n = send_now(fd, payload, length);
    if (n < 0) {
        write_failed(index, fd, errno, rest_kind::none);
        return frame_take::none;
    }
    out.given_frames = frame + 1;
    const bool whole = static_cast<uint32_t>(n) == length;
    if (n > 0) clients_.mark_alive(index, whole_seconds(now_us), whole);
    if (whole) {
        out.whole_frames = frame + 1;
        return frame_take::whole;
    }
    // Even a frame the socket took nothing of is this client's now: it goes out whole first.
    out.keep(rest_kind::video, payload + n, length - static_cast<uint32_t>(n), now_us,
             rest_timeout_ms_);
    return frame_take::partly;
}

// kind none: a frame of which nothing went out, which the client simply misses unless the
// error is fatal. A rest that cannot be finished ends the connection.
void client_writer::write_failed(int index, int fd, int error, rest_kind kind) {
    if (kind != rest_kind::reply && failed_lines_.allow()) {
        log_err("Client %d (fd %d): Send video data failed: %s\n", index, fd,
                strerror(error));
    }
    if (kind == rest_kind::none && !fatal_send_error(error)) return;
    log_err("Client %d (fd %d): Active close invalid connection (fatal error)\n", index,
            fd);
    close(index);
}

void client_writer::check_time_outs(int64_t now_us) {
    for (int i = 0; i < max_clients; ++i) {
        const client_output& out = clients_.outputs[i];
        if (!out.has_rest() || now_us < out.next_timeout_us) continue;
        const client_entry entry = clients_.read(i);
        if (entry.active == 0 || entry.fd <= 0) continue;
        time_out(i, entry.fd, now_us);
    }
}

void client_writer::time_out(int index, int fd, int64_t now_us) {
    const char* reason = strerror(ETIMEDOUT);
    const bool shown = time_out_lines_.allow();
    if (shown) {
        log_err("Client %d (fd %d): Send video data timeout (retry %d/%d): %s\n", index, fd,
                video_send_retries, video_send_retries, reason);
        log_err("Client %d (fd %d): Send video data failed: %s\n", index, fd, reason);
    }
    bool silent = false;
    {
        client_table_lock lock(clients_);
        client_entry& entry = clients_.entries[index];
        entry.timeout_count += 1;
        if (shown) {
            log_err("Client %d (fd %d): Send timeout count: %d/%d, keep connection\n", index,
                    fd, entry.timeout_count, timeout_count_shown_limit);
        }
        silent = silent_too_long(entry, whole_seconds(now_us));
    }
    if (silent) {
        log_err("Client %d (fd %d): Connection detect timeout (%d sec), close connection\n",
                index, fd, silence_reported_s);
        close(index);
        return;
    }
    client_output& out = clients_.outputs[index];
    out.held_until_us = now_us + static_cast<int64_t>(send_timeout_pause_ms) * 1000;
    out.next_timeout_us += static_cast<int64_t>(rest_timeout_ms_) * 1000;
}

void client_writer::close(int index) {
    client_entry entry;
    {
        client_table_lock lock(clients_);
        entry = clients_.entries[index];
        set_entry_free(clients_.entries[index]);
    }
    if (entry.fd > 0) {
        if (epoll_fd_ >= 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, entry.fd, nullptr);
        ::close(entry.fd);
    }
    clients_.outputs[index].reset();
    clients_.replies.close(index);
    if (worker_ != nullptr) worker_->cancel(index, entry.connection);
}
