#pragma once
// The video source at the far end of the simulated SPI bus. It listens on a unix SOCK_SEQPACKET
// socket, accepts the spidev emulator that runs inside the daemon, and answers each of its
// transfer requests with the next reply: first the ones queued by hand (frames with or without
// faults, short, empty and failed transfers), then the frames of a paced stream. A transfer
// request waits while there is nothing to send, as a slave transfer waits for its master.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "byte_feed.hpp"
#include "payload_checker.hpp"
#include "unique_fd.hpp"
#include "video_frame.hpp"

struct stream_options {
    double frames_per_second = 90;  // 0: as fast as the daemon takes them
    uint64_t count = 0;             // 0: until stopped
    payload_plan plan = {};
    uint32_t first_frame = 0;
    uint8_t first_sequence = 0;
    // Payloads cut from a byte stream instead of the plan's; the stream also ends at its end.
    std::shared_ptr<byte_feed> feed = {};
    // When above 0, paces by the payload's bits instead of frames_per_second, in real time: each
    // payload is due its own bits at this rate after the previous one was due, so the time a
    // transfer takes does not slow the stream down (a daemon that asks late gets the frames
    // that are due at once, at most one period's worth behind).
    double bits_per_second = 0;
    // Noise instead of frames (garbage_transfer), as from a camera that sends nothing.
    bool garbage = false;
};

// What the daemon asked for in its latest transfer.
struct transfer_request {
    uint32_t length = 0;
    uint32_t speed_hz = 0;
    uint8_t bits_per_word = 0;
    bool has_tx = false;
    bool has_rx = false;
};

class video_source {
public:
    using milliseconds = std::chrono::milliseconds;

    // Listens at socket_path (replacing a stale socket file). Throws std::runtime_error when it
    // cannot.
    explicit video_source(const std::string& socket_path);
    // Stops answering, drops the connection (the daemon's transfers then fail) and removes the
    // socket file.
    ~video_source();
    video_source(const video_source&) = delete;
    video_source& operator=(const video_source&) = delete;

    const std::string& socket_path() const { return socket_path_; }

    // True once the daemon has opened the device (the emulator connects at open).
    bool wait_connected(milliseconds timeout);
    bool connected() const;

    // Queues a reply for a coming transfer; replies go out in the order queued.
    void queue(spi_reply reply);
    // Queues a reply and waits until the daemon's transfer has taken it. The waits give up
    // early (false) when the daemon closes the device, e.g. because it ended.
    bool send(spi_reply reply, milliseconds timeout);
    // Waits until every reply queued so far has been taken.
    bool wait_queue_taken(milliseconds timeout);
    // Transfers answered since start, by hand and streamed.
    uint64_t transfers_taken() const;
    transfer_request last_request() const;

    // Streams frames of the plan after the queued replies, at most frames_per_second (a frame
    // goes out no sooner than one period after the previous one), with consecutive sequence
    // numbers wrapping after 255.
    void start_stream(const stream_options& options);
    // Returns once no stream frame is on its way, so frames_streamed() then counts every frame
    // the daemon will get.
    void stop_stream();
    // True when a stream with a count has sent its last frame, or its byte stream has ended.
    bool wait_stream_done(milliseconds timeout);
    bool stream_done() const;
    uint64_t frames_streamed() const;
    // When the daemon's transfer took stream frame `index` (counted from 0 at start_stream);
    // nothing for a frame not yet taken or one of long ago (the last handed_kept are kept).
    std::optional<std::chrono::steady_clock::time_point> handed_at(uint64_t index) const;
    static constexpr size_t handed_kept = 8192;

private:
    void serve();
    bool accept_emulator();
    bool answer_one_request();
    bool next_reply(spi_reply& reply, bool& from_stream);
    bool next_stream_reply(std::unique_lock<std::mutex>& lock, spi_reply& reply);
    bool stream_ended() const;
    bool wait_readable(int fd);

    std::string socket_path_;
    unique_fd listen_fd_;
    unique_fd wake_fd_;  // eventfd: wakes the serving thread out of poll when stopping
    unique_fd connection_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool connected_ = false;
    bool disconnected_ = false;  // a connection has ended and no new one has come
    std::deque<spi_reply> queue_;
    uint64_t queued_total_ = 0;
    uint64_t taken_from_queue_ = 0;
    uint64_t transfers_taken_ = 0;
    transfer_request last_request_;

    bool streaming_ = false;
    stream_options stream_;
    uint64_t streamed_ = 0;
    bool stream_frame_in_flight_ = false;  // taken from the stream, not yet sent and counted
    bool feed_ended_ = false;
    std::vector<std::chrono::steady_clock::time_point> handed_ =
        std::vector<std::chrono::steady_clock::time_point>(handed_kept);
    std::vector<uint8_t> feed_payload_;
    std::chrono::steady_clock::time_point next_frame_due_;

    std::thread server_;
};
