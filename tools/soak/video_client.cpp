#include "video_client.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "board_client.hpp"

namespace {

constexpr int poll_step_ms = 50;
constexpr size_t receive_chunk = 65536;
constexpr milliseconds retry_after_connect_failure{100};
// After a stall the client stays at least this long, so it shows that video flows again.
constexpr milliseconds stay_after_stall{2000};

struct checker_counts {
    uint64_t checked, errors, discontinuities, missing, skipped;
};

checker_counts counts_of(const payload_checker& checker) {
    return {checker.frames_checked(), checker.errors(), checker.discontinuities(),
            checker.frames_missing(), checker.bytes_skipped()};
}

}  // namespace

video_client::video_client(int number, pid_t daemon, const payload_plan& plan,
                           const stall_phase& phase, stop_flag& stop, uint64_t seed,
                           client_timing timing)
    : number_(number),
      daemon_(daemon),
      plan_(plan),
      phase_(phase),
      stop_(stop),
      random_(seed),
      timing_(timing),
      thread_([this] { run(); }) {}

video_client::~video_client() { join(); }

void video_client::join() {
    if (thread_.joinable()) thread_.join();
}

void video_client::request_stall(milliseconds duration) {
    std::lock_guard<std::mutex> lock(mutex_);
    stall_duration_ = duration;
    stall_requested_ = true;
}

bool video_client::stall_over() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return stall_over_;
}

client_report video_client::report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return report_;
}

void video_client::run() {
    while (!stop_.stopped()) {
        one_connection();
        if (stop_.wait_for(random_.between(milliseconds(0), timing_.longest_absence))) break;
    }
}

void video_client::one_connection() {
    // Both address families reach the same dual-stack socket; take turns.
    const client_family family = number_ % 2 == 0 ? client_family::ipv6 : client_family::ipv4;
    unique_fd fd = connect_in_namespace(daemon_, family);
    if (!fd.valid()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.connect_failures;
        stop_.wait_for(retry_after_connect_failure);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.connections;
        report_.connected = true;
        report_.latest_frame = -1;
    }
    payload_checker checker(plan_);
    pending_.clear();
    soak_clock::time_point leave_at =
        soak_clock::now() + random_.between(timing_.shortest_stay, timing_.longest_stay);
    bool received_any = false;
    bool ended_by_daemon = false;
    std::vector<uint8_t> buffer(receive_chunk);
    while (!stop_.stopped() && soak_clock::now() < leave_at) {
        bool stall_due = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stall_due = stall_requested_ && !stall_over_ && received_any;
        }
        if (stall_due) {
            serve_stall();
            leave_at = std::max(leave_at, soak_clock::now() + stay_after_stall);
        }
        pollfd ready = {fd.get(), POLLIN, 0};
        if (poll(&ready, 1, poll_step_ms) <= 0) continue;
        const ssize_t got = recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
            ended_by_daemon = true;
            break;
        }
        received_any = true;
        take(checker, buffer.data(), static_cast<size_t>(got));
    }
    std::lock_guard<std::mutex> lock(mutex_);
    report_.connected = false;
    report_.latest_frame = -1;
    if (ended_by_daemon) ++(received_any ? report_.closed_by_daemon : report_.turned_away);
}

void video_client::serve_stall() {
    milliseconds duration;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        duration = stall_duration_;
    }
    stop_.wait_for(duration);
    std::lock_guard<std::mutex> lock(mutex_);
    stall_over_ = true;
}

void video_client::take(payload_checker& checker, const uint8_t* data, size_t length) {
    // One payload at a time (the client joins at a payload's start, and every payload has the
    // plan's one length), so each step shows what happened to that payload alone.
    const size_t payload_length = plan_.length_of(0);
    pending_.insert(pending_.end(), data, data + length);
    size_t used = 0;
    while (pending_.size() - used >= payload_length) {
        const checker_counts before = counts_of(checker);
        checker.feed(pending_.data() + used, payload_length);
        used += payload_length;
        const checker_counts after = counts_of(checker);

        std::lock_guard<std::mutex> lock(mutex_);
        stream_counts& counts = phase_.active() ? report_.stall : report_.normal;
        counts.bytes += payload_length;
        counts.frames_checked += after.checked - before.checked;
        counts.wrong += after.errors - before.errors;
        counts.skipped += after.skipped - before.skipped;
        counts.missed += after.missing - before.missing;
        // A jump that skips no frame goes backwards (or repeats the frame just seen).
        if (after.discontinuities > before.discontinuities && after.missing == before.missing)
            counts.out_of_order += after.discontinuities - before.discontinuities;
        if (checker.synced() && checker.frames_checked() > 0)
            report_.latest_frame = static_cast<int64_t>(checker.next_frame()) - 1;
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(used));
}
