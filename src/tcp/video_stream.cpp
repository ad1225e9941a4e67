// All clients share the ring's one read position: a frame is consumed as soon as one client has
// it whole, and offered again on the next tick when nobody got it.
#include "video_stream.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mono_clock.hpp"

namespace {

// Errors after which the connection cannot carry anything again.
bool fatal_send_error(int error) {
    return error == EPIPE || error == ENETUNREACH || error == ECONNRESET ||
           error == EHOSTUNREACH;
}

bool silent_too_long(const client_entry& entry, int64_t now) {
    return now - entry.last_activity > silence_limit_s;
}

}  // namespace

void video_streamer::tick() {
    if (suspended_.load() != 0) return;
    uint32_t length = 0;
    // An empty ring is no sign of a dead client: the sweep waits for video to flow.
    if (!ring_.copy_next_payload(payload_, &length)) return;
    if (length == 0) {
        // An empty frame has nothing to send; it is passed over once someone could have had it.
        if (clients_.connected() > 0) ring_.advance_read();
    } else if (offer_frame(length)) {
        ring_.advance_read();
    }
    sweep_silent_clients();
}

bool video_streamer::offer_frame(uint32_t length) {
    bool any_sent = false;
    for (int i = 0; i < max_clients; ++i) {
        client_entry entry = clients_.read(i);
        if (entry.active == 0 || entry.fd <= 0) continue;
        if (send_all(clients_, entry.fd, payload_, length, send_timeout_ms_) >= 0) {
            client_table_lock lock(clients_);
            clients_.entries[i].timeout_count = 0;
            clients_.entries[i].last_activity = mono_now_s();
            any_sent = true;
            continue;
        }
        send_failed(i, entry.fd, errno);
    }
    return any_sent;
}

void video_streamer::send_failed(int index, int fd, int error) {
    if (error == ETIMEDOUT) {
        fprintf(stderr, "Client %d (fd %d): Send video data timeout (retry %d/%d): %s\n", index, fd,
                video_send_retries, video_send_retries, strerror(error));
        usleep(send_timeout_pause_us);
    }
    fprintf(stderr, "Client %d (fd %d): Send video data failed: %s\n", index, fd,
            strerror(error));
    if (fatal_send_error(error)) {
        fprintf(stderr, "Client %d (fd %d): Active close invalid connection (fatal error)\n",
                index, fd);
        close(fd);  // also leaves the epoll set
        client_table_lock lock(clients_);
        set_entry_free(clients_.entries[index]);
    } else if (error == ETIMEDOUT) {
        count_send_timeout(index, fd);
    }
    // Any other error leaves the client connected and its entry as it was.
}

void video_streamer::count_send_timeout(int index, int fd) {
    client_table_lock lock(clients_);
    client_entry& entry = clients_.entries[index];
    entry.timeout_count += 1;
    fprintf(stderr, "Client %d (fd %d): Send timeout count: %d/%d, keep connection\n", index, fd,
            entry.timeout_count, timeout_count_shown_limit);
    if (!silent_too_long(entry, mono_now_s())) return;
    fprintf(stderr, "Client %d (fd %d): Connection detect timeout (%d sec), close connection\n",
            index, fd, silence_reported_s);
    close(fd);
    set_entry_free(entry);
}

void video_streamer::sweep_silent_clients() {
    const int64_t now = mono_now_s();
    client_table_lock lock(clients_);
    for (int i = 0; i < max_clients; ++i) {
        client_entry& entry = clients_.entries[i];
        if (entry.active == 0 || entry.fd <= 0 || !silent_too_long(entry, now)) continue;
        fprintf(stderr,
                "Client %d (fd %d): Connection timeout (no comm for %d sec), close connection\n", i,
                entry.fd, silence_reported_s);
        close(entry.fd);
        set_entry_free(entry);
    }
}
