#pragma once
// A client socket read on a thread of its own, so the daemon never finds it full, and the rates
// the suites that check order and content use.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.hpp"

// Rates for tests that check order and content: the slow lanes (ThreadSanitizer, the daemon
// under qemu-arm) get a fifth, so a loaded machine does not turn them into rate tests.
inline double lane_rate(double host_rate) {
    bool slow = getenv("NANVIDEO_E2E_QEMU") != nullptr && *getenv("NANVIDEO_E2E_QEMU") != '\0';
#if defined(__SANITIZE_THREAD__)
    slow = true;
#endif
    return slow ? host_rate / 5 : host_rate;
}

// Reads all that a client socket receives on a thread of its own, so the daemon never finds
// this client's socket full. The socket stays the caller's.
class client_reader {
public:
    explicit client_reader(int fd) : fd_(fd), wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
        thread_ = std::thread([this] { run(); });
    }
    ~client_reader() { stop(); }
    client_reader(const client_reader&) = delete;
    client_reader& operator=(const client_reader&) = delete;

    // Stops reading; the socket is untouched (and may be closed by the caller afterwards).
    void stop() {
        if (!thread_.joinable()) return;
        const uint64_t one = 1;
        const ssize_t written = write(wake_.get(), &one, sizeof one);  // cannot fail: one count
        (void)written;
        thread_.join();
    }

    // True once at least `count` bytes have arrived.
    bool wait_for_size(size_t count, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return data_.size() >= count; });
    }
    // True once the daemon has closed the connection (end of stream or an error).
    bool wait_ended(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return ended_; });
    }
    std::string data() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return data_;
    }
    size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return data_.size();
    }

private:
    void run() {
        std::vector<char> buffer(65536);
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_.get(), POLLIN, 0}};
        for (;;) {
            if (poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            if (fds[1].revents != 0) return;
            const ssize_t got = recv(fd_, buffer.data(), buffer.size(), 0);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) continue;
            if (got <= 0) break;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                data_.append(buffer.data(), static_cast<size_t>(got));
            }
            changed_.notify_all();
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ended_ = true;
        }
        changed_.notify_all();
    }

    int fd_;
    unique_fd wake_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string data_;
    bool ended_ = false;
    std::thread thread_;
};

