#pragma once
// A book of the test's own: both streams into pipes the test reads, a clock the test moves.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <memory>
#include <string>
#include <vector>

#include "log.hpp"

inline std::atomic<int64_t> test_now_us{0};
inline int64_t test_clock() { return test_now_us.load(); }

// Generous: a busy machine must not fail a test, and a passing one never waits this long.
constexpr int line_deadline_ms = 30000;

// The read end of a pipe, split into lines as they come.
class pipe_reader {
public:
    pipe_reader() {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) == 0) {
            read_fd_ = fds[0];
            write_fd_ = fds[1];
        }
    }
    ~pipe_reader() {
        close(read_fd_);
        close(write_fd_);
    }
    int write_fd() const { return write_fd_; }
    int read_fd() const { return read_fd_; }

    // The next `count` lines, each waited for; fewer when the deadline passes first.
    std::vector<std::string> lines(size_t count) {
        std::vector<std::string> got;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(line_deadline_ms);
        while (got.size() < count) {
            const size_t newline = pending_.find('\n');
            if (newline != std::string::npos) {
                got.push_back(pending_.substr(0, newline));
                pending_.erase(0, newline + 1);
                continue;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) break;
        }
        return got;
    }
    // What has arrived and is not yet taken as lines, without waiting.
    std::string ready_now() {
        while (read_some(0)) {
        }
        std::string all;
        all.swap(pending_);
        return all;
    }

private:
    bool read_some(int timeout_ms) {
        pollfd ready{read_fd_, POLLIN, 0};
        if (poll(&ready, 1, timeout_ms) <= 0) return false;
        char chunk[4096];
        const ssize_t got = read(read_fd_, chunk, sizeof chunk);
        if (got <= 0) return false;
        pending_.append(chunk, static_cast<size_t>(got));
        return true;
    }

    int read_fd_ = -1;
    int write_fd_ = -1;
    std::string pending_;
};

// Both streams into one pipe (the order of all lines shows) or into two.
struct test_log {
    explicit test_log(size_t ring_bytes = 4096, bool one_pipe = false)
        : ring(ring_bytes / 4),
          book(ring.data(), ring_bytes, out.write_fd(), one_pipe ? out.write_fd() : err.write_fd(),
               false, test_clock) {}
    ~test_log() { book.stop(); }

    void print(log_stream stream, const char* format, ...) __attribute__((format(printf, 3, 4))) {
        va_list args;
        va_start(args, format);
        book.print(stream, format, args);
        va_end(args);
    }

    pipe_reader out;
    pipe_reader err;
    std::vector<uint32_t> ring;
    log_book book;
};
