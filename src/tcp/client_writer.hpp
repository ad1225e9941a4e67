#pragma once
// Everything the server thread writes to a client: frames, the rest a client is owed, replies
// from the outbox, and the time-out and close rules around them. Sends never block: what a
// socket does not take stays with its client and goes out first when it is writable.
// Server thread only.
#include <atomic>
#include <cstdint>

#include "client_table.hpp"
#include "log.hpp"
#include "mono_clock.hpp"
#include "reply_outbox.hpp"

class at_worker;

constexpr int video_send_timeout_ms = 5000;  // a rest waiting this long gives the time-out lines
constexpr int send_timeout_pause_ms = 100;   // a timed-out client is left alone this long
constexpr int video_send_retries = 1;        // shown as "retry 1/1"
constexpr int timeout_count_shown_limit = 1;  // shown as "count: n/1"; nothing compares with it
constexpr int64_t silence_limit_s = 13;       // a client silent for longer is closed
constexpr int silence_reported_s = 14;        // what the close lines report

constexpr int send_batch_frames = 8;  // waiting frames a client is offered in one call

class client_writer {
public:
    // rest_timeout_ms is video_send_timeout_ms in the daemon; suspended is the video switch
    // the status reply shows.
    client_writer(client_registry& clients, reply_outbox& replies, int rest_timeout_ms,
                  const std::atomic<int>* suspended = nullptr)
        : clients_(clients), replies_(replies), rest_timeout_ms_(rest_timeout_ms),
          suspended_(suspended) {}

    // The server's epoll set (closes take sockets out of it) and command queue (closes drop the
    // connection's waiting commands). Without them (tests) closes only close.
    void attach(int epoll_fd, at_worker* worker) {
        epoll_fd_ = epoll_fd;
        worker_ = worker;
    }

    // A new connection took entry index at now_us.
    void opened(int index, uint32_t connection, int64_t now_us = mono_now_us());
    // The rest, then owed replies, as far as the socket takes them.
    void write(int index, int64_t now_us);
    void write_all(int64_t now_us);
    // Offers count frames, numbered from first_frame on the streamer's count, to the client in
    // entry index in one call. Returns how many it took whole; the first one it did not take
    // whole (even with nothing of it sent) is its rest. -1 after a send error.
    int offer_frames(int index, int fd, const uint8_t (*payloads)[frame_max_payload],
                     const uint32_t* lengths, int count, int64_t first_frame, int64_t now_us);
    // The time-out lines for rests due by now; a silent client is closed there.
    void check_time_outs(int64_t now_us);
    // Out of the epoll set, closed, entry freed, output and replies forgotten.
    void close(int index);
    // Whether the client may be offered a frame now.
    bool ready_for_frames(int index, int64_t now_us);

private:
    void start_replies(int index, int fd, int64_t now_us);
    void drop_late_replies(int index, int fd, int64_t now_us);
    void write_failed(int index, int fd, int error, rest_kind kind);
    void time_out(int index, int fd, int64_t now_us);

    client_registry& clients_;
    reply_outbox& replies_;
    int rest_timeout_ms_;
    const std::atomic<int>* suspended_;
    int epoll_fd_ = -1;
    at_worker* worker_ = nullptr;
    log_repeat_limit failed_lines_{"send failed"};
    log_repeat_limit time_out_lines_{"send time-out"};
};

bool silent_too_long(const client_entry& entry, int64_t now_s);
