#include "video_source.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "le_bytes.hpp"
#include "spidev_wire.hpp"

namespace {

using clock_type = std::chrono::steady_clock;

constexpr double bits_per_byte = 8;

std::runtime_error system_error(const std::string& what) {
    return std::runtime_error(what + ": " + strerror(errno));
}

// sun_path holds 107 characters. A socket deeper than that (a test's state directory in a long
// build path) is bound through its directory's descriptor, /proc/self/fd/N/NAME, a short name
// for the same place; clients outside this process use the real path or a bind mount of it.
void bind_unix_socket(int fd, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string bind_path = path;
    unique_fd directory;
    if (path.size() >= sizeof address.sun_path) {
        const size_t slash = path.rfind('/');
        const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
        directory.reset(open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (!directory.valid()) throw system_error("cannot open " + dir);
        bind_path = "/proc/self/fd/" + std::to_string(directory.get()) + path.substr(slash);
        if (bind_path.size() >= sizeof address.sun_path)
            throw std::runtime_error("socket name too long: " + path);
    }
    memcpy(address.sun_path, bind_path.c_str(), bind_path.size() + 1);
    unlink(bind_path.c_str());
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw system_error("cannot bind " + path);
}

void put_reply(const spi_reply& reply, std::vector<uint8_t>& packet) {
    packet.assign(wire_reply_header_size, 0);
    put_le32(packet.data(), static_cast<uint32_t>(reply.result));
    packet.insert(packet.end(), reply.data.begin(), reply.data.end());
}

transfer_request read_request(const uint8_t* bytes) {
    transfer_request request;
    request.length = get_le32(bytes + wire_request_len_offset);
    request.speed_hz = get_le32(bytes + wire_request_speed_offset);
    request.bits_per_word = bytes[wire_request_bits_offset];
    request.has_tx = bytes[wire_request_has_tx_offset] != 0;
    request.has_rx = bytes[wire_request_has_rx_offset] != 0;
    return request;
}

}  // namespace

video_source::video_source(const std::string& socket_path) : socket_path_(socket_path) {
    listen_fd_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    if (!listen_fd_.valid()) throw system_error("socket");
    bind_unix_socket(listen_fd_.get(), socket_path_);
    if (listen(listen_fd_.get(), 1) != 0) throw system_error("listen " + socket_path_);
    wake_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake_fd_.valid()) throw system_error("eventfd");
    server_ = std::thread([this] { serve(); });
}

video_source::~video_source() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    const uint64_t one = 1;
    const ssize_t written = write(wake_fd_.get(), &one, sizeof one);  // cannot fail: one count
    (void)written;
    server_.join();
    unlink(socket_path_.c_str());
}

bool video_source::wait_connected(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return connected_; });
}

bool video_source::connected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connected_;
}

void video_source::queue(spi_reply reply) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        queue_.push_back(std::move(reply));
        ++queued_total_;
    }
    changed_.notify_all();
}

bool video_source::send(spi_reply reply, milliseconds timeout) {
    queue(std::move(reply));
    return wait_queue_taken(timeout);
}

bool video_source::wait_queue_taken(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const uint64_t target = queued_total_;
    changed_.wait_for(lock, timeout, [&] { return taken_from_queue_ >= target || disconnected_; });
    return taken_from_queue_ >= target;
}

uint64_t video_source::transfers_taken() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return transfers_taken_;
}

transfer_request video_source::last_request() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_request_;
}

void video_source::start_stream(const stream_options& options) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stream_ = options;
        streamed_ = 0;
        feed_ended_ = false;
        streaming_ = true;
        next_frame_due_ = clock_type::now();
    }
    changed_.notify_all();
}

void video_source::stop_stream() {
    std::unique_lock<std::mutex> lock(mutex_);
    streaming_ = false;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !stream_frame_in_flight_; });
}

bool video_source::wait_stream_done(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return stream_ended() || disconnected_; });
    return stream_ended();
}

bool video_source::stream_done() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stream_ended();
}

bool video_source::stream_ended() const {
    return (stream_.count != 0 && streamed_ >= stream_.count) || feed_ended_;
}

std::optional<clock_type::time_point> video_source::handed_at(uint64_t index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index >= streamed_ || streamed_ - index > handed_kept) return std::nullopt;
    return handed_[index % handed_kept];
}

uint64_t video_source::frames_streamed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return streamed_;
}

void video_source::serve() {
    for (;;) {
        if (!connection_.valid() && !accept_emulator()) break;
        if (!answer_one_request()) {
            bool stop;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                connected_ = false;
                disconnected_ = true;
                stop = stopping_;
            }
            changed_.notify_all();
            connection_.reset();
            if (stop) break;
        }
    }
}

// Waits for fd to become readable; false when the source is stopping.
bool video_source::wait_readable(int fd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (fds[1].revents != 0) return false;
        if (fds[0].revents != 0) return true;
    }
}

bool video_source::accept_emulator() {
    if (!wait_readable(listen_fd_.get())) return false;
    connection_.reset(accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (!connection_.valid()) return true;  // try again with the next caller
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connected_ = true;
        disconnected_ = false;
    }
    changed_.notify_all();
    return true;
}

// Reads one transfer request and answers it. False when the connection ended or the source
// is stopping.
bool video_source::answer_one_request() {
    if (!wait_readable(connection_.get())) return false;
    uint8_t request[wire_request_size];
    ssize_t got = recv(connection_.get(), request, sizeof request, 0);
    if (got != static_cast<ssize_t>(sizeof request)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last_request_ = read_request(request);
    }

    spi_reply reply;
    bool from_stream = false;
    if (!next_reply(reply, from_stream)) return false;
    std::vector<uint8_t> packet;
    put_reply(reply, packet);
    const bool sent = ::send(connection_.get(), packet.data(), packet.size(), MSG_NOSIGNAL) >= 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (from_stream) stream_frame_in_flight_ = false;
        if (sent) {
            ++transfers_taken_;
            if (from_stream)
                handed_[streamed_++ % handed_kept] = clock_type::now();
            else
                ++taken_from_queue_;
        }
    }
    changed_.notify_all();
    return sent;
}

// The next reply to hand out: a queued one, else the next stream frame once it is due. False
// when the source is stopping.
bool video_source::next_reply(spi_reply& reply, bool& from_stream) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (stopping_) return false;
        if (!queue_.empty()) {
            reply = std::move(queue_.front());
            queue_.pop_front();
            from_stream = false;
            return true;
        }
        if (!streaming_ || stream_ended()) {
            changed_.wait(lock);
            continue;
        }
        if (clock_type::now() < next_frame_due_) {
            changed_.wait_until(lock, next_frame_due_);
            continue;
        }
        if (next_stream_reply(lock, reply)) {
            from_stream = true;
            stream_frame_in_flight_ = true;
            return true;
        }
    }
}

// Builds the due stream frame and sets when the next one is due. A byte stream is read with the
// lock let go (standard input may keep it waiting); false when the stream ended or changed
// meanwhile.
bool video_source::next_stream_reply(std::unique_lock<std::mutex>& lock, spi_reply& reply) {
    const uint32_t frame = stream_.first_frame + static_cast<uint32_t>(streamed_);
    const uint8_t sequence = static_cast<uint8_t>(stream_.first_sequence + streamed_);
    const std::shared_ptr<byte_feed> feed = stream_.feed;
    uint32_t length = 0;
    if (feed) {
        lock.unlock();
        const bool more = feed->next(feed_payload_);
        lock.lock();
        if (!streaming_ || stream_.feed != feed) return false;
        if (!more) {
            feed_ended_ = true;
            changed_.notify_all();
            return false;
        }
        length = static_cast<uint32_t>(feed_payload_.size());
        reply = payload_transfer(feed_payload_.data(), length, frame, sequence);
    } else if (stream_.garbage) {
        length = static_cast<uint32_t>(source_transfer_size);
        reply = garbage_transfer(stream_.plan.seed, frame);
    } else {
        length = stream_.plan.length_of(frame);
        reply = frame_transfer(stream_.plan, frame, sequence);
    }
    const auto now = clock_type::now();
    const auto period = [](double seconds) {
        return std::chrono::duration_cast<clock_type::duration>(std::chrono::duration<double>(seconds));
    };
    if (stream_.bits_per_second > 0) {
        const auto step = period(length * bits_per_byte / stream_.bits_per_second);
        next_frame_due_ = std::max(next_frame_due_ + step, now - step);
    } else if (stream_.frames_per_second > 0) {
        next_frame_due_ = now + period(1.0 / stream_.frames_per_second);
    }
    return true;
}
