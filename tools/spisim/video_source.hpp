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
#include <mutex>
#include <string>
#include <thread>

#include "payload_checker.hpp"
#include "unique_fd.hpp"
#include "video_frame.hpp"

struct stream_options {
    double frames_per_second = 90;  // 0: as fast as the daemon takes them
    uint64_t count = 0;             // 0: until stopped
    payload_plan plan = {};
    uint32_t first_frame = 0;
    uint8_t first_sequence = 0;
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
    void stop_stream();
    // True when a stream with a count has sent its last frame.
    bool wait_stream_done(milliseconds timeout);
    uint64_t frames_streamed() const;

private:
    void serve();
    bool accept_emulator();
    bool answer_one_request();
    bool next_reply(spi_reply& reply, bool& from_stream);
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
    std::chrono::steady_clock::time_point next_frame_due_;

    std::thread server_;
};
