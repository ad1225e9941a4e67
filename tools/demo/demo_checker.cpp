#include "demo_checker.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace {

constexpr size_t read_chunk = 65536;

std::optional<double> median(std::vector<double>& values) {
    if (values.empty()) return std::nullopt;
    const auto middle = values.begin() + static_cast<ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

}  // namespace

demo_checker::demo_checker(unique_fd fd, std::vector<uint8_t> file, const video_source& source)
    : fd_(std::move(fd)),
      wake_fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      source_(source),
      checker_(std::move(file)) {
    thread_ = std::thread([this] { run(); });
}

demo_checker::~demo_checker() { stop(); }

void demo_checker::stop() {
    if (!thread_.joinable()) return;
    const uint64_t one = 1;
    const ssize_t written = write(wake_fd_.get(), &one, sizeof one);  // cannot fail: one count
    (void)written;
    thread_.join();
}

void demo_checker::run() {
    std::vector<uint8_t> buffer(read_chunk);
    const auto on_piece = [this](uint64_t index) {
        const std::optional<std::chrono::steady_clock::time_point> handed = source_.handed_at(index);
        if (!handed) return;
        const double ms = std::chrono::duration<double, std::milli>(
                              std::chrono::steady_clock::now() - *handed)
                              .count();
        second_latencies_.push_back(ms);
        all_latencies_.push_back(ms);
    };
    pollfd fds[2] = {{fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        const ssize_t got = recv(fd_.get(), buffer.data(), buffer.size(), 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        std::lock_guard<std::mutex> lock(mutex_);
        checker_.feed(buffer.data(), static_cast<size_t>(got), on_piece);
    }
}

checker_figures demo_checker::figures(std::vector<double>& latencies) {
    checker_figures f;
    f.frames_off_bus = source_.frames_streamed();
    f.frames_delivered = checker_.pieces_right();
    f.first_wrong_byte = checker_.first_wrong_byte();
    f.median_latency_ms = median(latencies);
    f.bytes_received = checker_.bytes_received();
    return f;
}

checker_figures demo_checker::take_second() {
    std::lock_guard<std::mutex> lock(mutex_);
    checker_figures f = figures(second_latencies_);
    second_latencies_.clear();
    return f;
}

checker_figures demo_checker::whole_run() {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures(all_latencies_);
}
