// Once a frame or reply has been handed to a client, it is finished or the client is closed.
#include "client_writer.hpp"

#include <sys/epoll.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "at_worker.hpp"
#include "log.hpp"
#include "status_reply.hpp"

namespace {

// Errors after which the connection cannot carry anything again.
bool fatal_send_error(int error) {
    return error == EPIPE || error == ENETUNREACH || error == ECONNRESET ||
           error == EHOSTUNREACH;
}

int64_t whole_seconds(int64_t us) { return us / 1000000; }

bool reply_too_late(int64_t ready_us, int64_t now_us) {
    return now_us - ready_us >= static_cast<int64_t>(at_reply_start_limit_ms) * 1000;
}

}  // namespace

bool silent_too_long(const client_entry& entry, int64_t now_s) {
    return now_s - entry.last_activity > silence_limit_s;
}

void client_writer::opened(int index, uint32_t connection, int64_t now_us) {
    clients_.count_opened(index, now_us);
    clients_.outputs[index].reset();
    replies_.open(index, connection);
}

void client_writer::write_all(int64_t now_us) {
    for (int i = 0; i < max_clients; ++i) write(i, now_us);
}

void client_writer::write(int index, int64_t now_us) {
    const client_entry entry = clients_.read(index);
    if (entry.active == 0 || entry.fd <= 0) return;
    if (replies_.over_limit(index)) {
        log_err("Client %d (fd %d): Owed replies over %u bytes, close connection\n",
                index, entry.fd, owed_reply_limit);
        close(index);
        return;
    }
    // A reply's time runs from when it was posted, whatever the client still owes before it.
    drop_late_replies(index, entry.fd, now_us);
    client_output& out = clients_.outputs[index];
    if (now_us < out.held_until_us) return;
    if (out.has_rest()) {
        const rest_kind kind = out.kind;
        uint32_t sent = 0;
        int error = out.flush(entry.fd, &sent);
        if (sent > 0) {
            const bool whole_frame = error == 0 && kind == rest_kind::video;
            clients_.count_sent(index, sent, whole_frame);
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

void client_writer::drop_late_replies(int index, int fd, int64_t now_us) {
    int64_t ready_us = 0;
    while (replies_.oldest_ready(index, &ready_us) && reply_too_late(ready_us, now_us)) {
        replies_.pop(index);
        log_err("Failed to send AT response to (fd %d): %s\n", fd, strerror(ETIMEDOUT));
    }
}

// Replies start only on an empty output; the rest buffer stages the one being started.
void client_writer::start_replies(int index, int fd, int64_t now_us) {
    client_output& out = clients_.outputs[index];
    uint32_t length = 0;
    int64_t ready_us = 0;
    reply_kind kind = reply_kind::text;
    while (replies_.peek(index, out.rest, &length, &ready_us, &kind)) {
        if (reply_too_late(ready_us, now_us)) {
            replies_.pop(index);
            log_err("Failed to send AT response to (fd %d): %s\n", fd, strerror(ETIMEDOUT));
            continue;
        }
        if (kind == reply_kind::status) {
            const bool suspended = suspended_ != nullptr && suspended_->load() != 0;
            length = static_cast<uint32_t>(
                format_server_status(clients_, suspended, now_us, reinterpret_cast<char*>(out.rest),
                                     rest_capacity));
        }
        long n = send_now(fd, out.rest, length);
        if (n == 0) return;
        if (n < 0) {
            const int error = errno;
            replies_.pop(index);
            log_err("Failed to send AT response to (fd %d): %s\n", fd, strerror(error));
            if (fatal_send_error(error)) write_failed(index, fd, error, rest_kind::reply);
            return;
        }
        clients_.count_sent(index, static_cast<uint64_t>(n), false);
        clients_.mark_alive(index, whole_seconds(now_us), false);
        replies_.pop(index);
        if (static_cast<uint32_t>(n) < length) {
            out.keep(rest_kind::reply, out.rest + n, length - static_cast<uint32_t>(n), now_us,
                     rest_timeout_ms_);
            return;
        }
    }
}

bool client_writer::ready_for_frames(int index, int64_t now_us) {
    const client_output& out = clients_.outputs[index];
    if (out.has_rest() || now_us < out.held_until_us) return false;
    return !replies_.owed(index);
}

int client_writer::offer_frames(int index, int fd, const uint8_t (*payloads)[frame_max_payload],
                                const uint32_t* lengths, int count, int64_t first_frame,
                                int64_t now_us) {
    iovec parts[send_batch_frames];
    if (count > send_batch_frames) count = send_batch_frames;
    for (int i = 0; i < count; ++i) {
        parts[i].iov_base = const_cast<uint8_t*>(payloads[i]);
        parts[i].iov_len = lengths[i];
    }
    const long n = send_parts_now(fd, parts, count);
    if (n < 0) {
        write_failed(index, fd, errno, rest_kind::none);
        return -1;
    }
    int whole = 0;
    uint32_t left = static_cast<uint32_t>(n);
    while (whole < count && left >= lengths[whole]) left -= lengths[whole++];
    client_output& out = clients_.outputs[index];
    clients_.count_frames_sent(index, static_cast<uint64_t>(n), static_cast<uint64_t>(whole));
    if (n > 0) clients_.mark_alive(index, whole_seconds(now_us), whole > 0);
    out.given_frames = first_frame + whole;
    if (whole > 0) out.whole_frames = first_frame + whole;
    if (whole == count) return whole;
    // Even a frame the socket took nothing of is this client's now: it goes out whole first.
    out.given_frames += 1;
    out.keep(rest_kind::video, payloads[whole] + left, lengths[whole] - left, now_us,
             rest_timeout_ms_);
    return whole;
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
    client_entry& entry = clients_.entries[index];
    entry.timeout_count += 1;
    clients_.count_timeout(index);
    if (shown) {
        log_err("Client %d (fd %d): Send timeout count: %d/%d, keep connection\n", index, fd,
                entry.timeout_count, timeout_count_shown_limit);
    }
    if (silent_too_long(entry, whole_seconds(now_us))) {
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
    const client_entry entry = clients_.entries[index];
    set_entry_free(clients_.entries[index]);
    clients_.count_closed();
    if (entry.fd > 0) {
        if (epoll_fd_ >= 0) epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, entry.fd, nullptr);
        ::close(entry.fd);
    }
    clients_.outputs[index].reset();
    // A command's reply that never started is reported as a send to the closed socket would be.
    const int unanswered = replies_.close(index);
    for (int i = 0; i < unanswered; ++i) {
        log_err("Failed to send AT response to (fd %d): %s\n", entry.fd, strerror(EPIPE));
    }
    if (worker_ != nullptr) worker_->cancel(index, entry.connection);
}
