#pragma once
// Everything the server thread writes to a client: frames, the rest a client is owed, its
// replies, and the time-out and close rules around them. Sends never block: what a
// socket does not take stays with its client and goes out first when it is writable.
// Server thread only.
#include <cstdint>

#include "client_table.hpp"
#include "log.hpp"

constexpr int video_send_timeout_ms = 5000;  // a rest waiting this long gives the time-out lines
constexpr int send_timeout_pause_ms = 100;   // a timed-out client is left alone this long
constexpr int video_send_retries = 1;        // shown as "retry 1/1"
constexpr int timeout_count_shown_limit = 1;  // shown as "count: n/1"; nothing compares with it
constexpr int64_t silence_limit_s = 13;       // a client silent for longer is closed
constexpr int silence_reported_s = 14;        // what the close lines report

constexpr int send_batch_frames = 8;  // waiting frames a client is offered in one call

class client_writer {
public:
    explicit client_writer(client_table& clients) : clients_(clients) {}

    // The rest, then owed replies, as far as the socket takes them.
    void write(int index, int64_t now_us);
    void write_all(int64_t now_us);
    // Offers count frames, numbered from first_frame on the streamer's count, to the client in
    // slot index in one call. Returns how many it took whole; the first one it did not take
    // whole (even with nothing of it sent) is its rest. -1 after a send error.
    int offer_frames(int index, const uint8_t (*payloads)[frame_max_payload],
                     const uint32_t* lengths, int count, int64_t first_frame, int64_t now_us);
    // The time-out lines for rests due by now; a silent client is closed there.
    void check_time_outs(int64_t now_us);
    // Whether the client may be offered a frame now.
    bool ready_for_frames(int index, int64_t now_us);

private:
    void start_replies(int index, int64_t now_us);
    void drop_late_replies(int index, int64_t now_us);
    void write_failed(int index, int error, rest_kind kind);
    void time_out(int index, int64_t now_us);

    client_table& clients_;
    log_repeat_limit failed_lines_{"send failed"};
    log_repeat_limit time_out_lines_{"send time-out"};
};

bool silent_too_long(const client& c, int64_t now_s);
