// Once a frame or reply has been handed to a client, it is finished or the client is closed.
#include "client_writer.hpp"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "log.hpp"

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

bool silent_too_long(const client& c, int64_t now_s) {
    return now_s - c.last_activity > silence_limit_s;
}

void client_writer::write_all(int64_t now_us) {
    for (int i = 0; i < max_clients; ++i) write(i, now_us);
}

void client_writer::write(int index, int64_t now_us) {
    client& c = clients_.at(index);
    if (!c.connected()) return;
    if (clients_.replies_over_limit(index)) {
        log_err("Client %d (fd %d): Owed replies over %u bytes, close connection\n",
                index, c.fd, owed_reply_limit);
        clients_.close(index);
        return;
    }
    // A reply's time runs from when it was posted, whatever the client still owes before it.
    drop_late_replies(index, now_us);
    if (now_us < c.held_until_us) return;
    if (c.has_rest()) {
        const rest_kind kind = c.kind;
        uint32_t sent = 0;
        int error = c.flush(&sent);
        if (sent > 0) {
            const bool whole_frame = error == 0 && kind == rest_kind::video;
            clients_.count_frames_sent(index, sent, whole_frame ? 1 : 0);
            clients_.mark_alive(index, whole_seconds(now_us), whole_frame);
            if (whole_frame) c.whole_frames = c.given_frames;
        }
        if (error == EAGAIN) return;
        if (error != 0) {
            write_failed(index, error, kind);
            return;
        }
    }
    start_replies(index, now_us);
}

void client_writer::drop_late_replies(int index, int64_t now_us) {
    int64_t ready_us = 0;
    while (clients_.oldest_reply(index, &ready_us) && reply_too_late(ready_us, now_us)) {
        clients_.pop_reply(index);
        clients_.reply_failed(index, clients_.at(index).fd, ETIMEDOUT);
    }
}

// Replies start only on an empty output; the rest buffer stages the one being started.
void client_writer::start_replies(int index, int64_t now_us) {
    client& c = clients_.at(index);
    uint32_t length = 0;
    int64_t ready_us = 0;
    while (clients_.peek_reply(index, c.rest, &length, &ready_us)) {
        if (reply_too_late(ready_us, now_us)) {
            clients_.pop_reply(index);
            clients_.reply_failed(index, c.fd, ETIMEDOUT);
            continue;
        }
        long n = send_now(c.fd, c.rest, length);
        if (n == 0) return;
        if (n < 0) {
            const int error = errno;
            clients_.pop_reply(index);
            clients_.reply_failed(index, c.fd, error);
            if (fatal_send_error(error)) write_failed(index, error, rest_kind::reply);
            return;
        }
        clients_.count_frames_sent(index, static_cast<uint64_t>(n), 0);
        clients_.mark_alive(index, whole_seconds(now_us), false);
        clients_.pop_reply(index);
        if (static_cast<uint32_t>(n) < length) {
            c.keep(rest_kind::reply, c.rest + n, length - static_cast<uint32_t>(n), now_us,
                   video_send_timeout_ms);
            return;
        }
    }
}

bool client_writer::ready_for_frames(int index, int64_t now_us) {
    const client& c = clients_.at(index);
    if (c.has_rest() || now_us < c.held_until_us) return false;
    return !clients_.replies_owed(index);
}

int client_writer::offer_frames(int index, const uint8_t (*payloads)[frame_max_payload],
                                const uint32_t* lengths, int count, int64_t first_frame,
                                int64_t now_us) {
    client& c = clients_.at(index);
    iovec parts[send_batch_frames];
    if (count > send_batch_frames) count = send_batch_frames;
    for (int i = 0; i < count; ++i) {
        parts[i].iov_base = const_cast<uint8_t*>(payloads[i]);
        parts[i].iov_len = lengths[i];
    }
    const long n = send_parts_now(c.fd, parts, count);
    if (n < 0) {
        write_failed(index, errno, rest_kind::none);
        return -1;
    }
    int whole = 0;
    uint32_t left = static_cast<uint32_t>(n);
    while (whole < count && left >= lengths[whole]) left -= lengths[whole++];
    clients_.count_frames_sent(index, static_cast<uint64_t>(n), static_cast<uint64_t>(whole));
    if (n > 0) clients_.mark_alive(index, whole_seconds(now_us), whole > 0);
    c.given_frames = first_frame + whole;
    if (whole > 0) c.whole_frames = first_frame + whole;
    if (whole == count) return whole;
    // Even a frame the socket took nothing of is this client's now: it goes out whole first.
    c.given_frames += 1;
    c.keep(rest_kind::video, payloads[whole] + left, lengths[whole] - left, now_us,
           video_send_timeout_ms);
    return whole;
}

// kind none: a frame of which nothing went out, which the client simply misses unless the
// error is fatal. A rest that cannot be finished ends the connection.
void client_writer::write_failed(int index, int error, rest_kind kind) {
    const int fd = clients_.at(index).fd;
    if (kind != rest_kind::reply && failed_lines_.allow()) {
        log_err("Client %d (fd %d): Send video data failed: %s\n", index, fd, strerror(error));
    }
    if (kind == rest_kind::none && !fatal_send_error(error)) return;
    log_err("Client %d (fd %d): Active close invalid connection (fatal error)\n", index, fd);
    clients_.close(index);
}

void client_writer::check_time_outs(int64_t now_us) {
    for (int i = 0; i < max_clients; ++i) {
        const client& c = clients_.at(i);
        if (!c.connected() || !c.has_rest() || now_us < c.next_timeout_us) continue;
        time_out(i, now_us);
    }
}

void client_writer::time_out(int index, int64_t now_us) {
    client& c = clients_.at(index);
    const int fd = c.fd;
    const char* reason = strerror(ETIMEDOUT);
    const bool shown = time_out_lines_.allow();
    if (shown) {
        log_err("Client %d (fd %d): Send video data timeout (retry %d/%d): %s\n", index, fd,
                video_send_retries, video_send_retries, reason);
        log_err("Client %d (fd %d): Send video data failed: %s\n", index, fd, reason);
    }
    c.timeout_count += 1;
    clients_.count_timeout(index);
    if (shown) {
        log_err("Client %d (fd %d): Send timeout count: %d/%d, keep connection\n", index, fd,
                c.timeout_count, timeout_count_shown_limit);
    }
    if (silent_too_long(c, whole_seconds(now_us))) {
        log_err("Client %d (fd %d): Connection detect timeout (%d sec), close connection\n",
                index, fd, silence_reported_s);
        clients_.close(index);
        return;
    }
    c.held_until_us = now_us + static_cast<int64_t>(send_timeout_pause_ms) * 1000;
    c.next_timeout_us += static_cast<int64_t>(video_send_timeout_ms) * 1000;
}
