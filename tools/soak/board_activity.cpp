#include "board_activity.hpp"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <map>

#include "board_client.hpp"
#include "board_world.hpp"

namespace {

// The version query and its whole reply on the healthy board.
constexpr const char* version_query = "AT+AB version\r\n";
const std::string version_reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";
// A reply waits behind video sends and a stalled client's time-outs (5 s each).
constexpr milliseconds reply_deadline{30000};
constexpr milliseconds shortest_absence{1000};
constexpr milliseconds longest_absence{4000};
constexpr milliseconds longest_linger{1500};
constexpr int poll_step_ms = 50;
constexpr size_t receive_chunk = 65536;

constexpr milliseconds shortest_peer_pause{2000};
constexpr milliseconds longest_peer_pause{5000};
// A few peers, more than the daemon's five-entry table holds, so entries are reused too.
constexpr unsigned peer_count = 7;
constexpr unsigned ndp_id_count = 254;  // ids 1..254

constexpr milliseconds shortest_failure_pause{2000};
constexpr milliseconds longest_failure_pause{8000};

constexpr unsigned data_rsp_subcmd = 0x1902;
constexpr size_t data_rsp_size = 284;
constexpr size_t rsp_mode_offset = 1;
constexpr uint8_t rsp_mode_accept = 2;
constexpr size_t ndp_id_offset = 2;

}  // namespace

// ---- at_prober ----

at_prober::at_prober(pid_t daemon, stop_flag& stop, uint64_t seed)
    : daemon_(daemon), stop_(stop), random_(seed), thread_([this] { run(); }) {}

at_prober::~at_prober() { join(); }

void at_prober::join() {
    if (thread_.joinable()) thread_.join();
}

at_report at_prober::report() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return report_;
}

void at_prober::run() {
    while (!stop_.wait_for(random_.between(shortest_absence, longest_absence))) one_visit();
}

void at_prober::one_visit() {
    unique_fd fd = connect_in_namespace(daemon_, client_family::ipv4);
    if (!fd.valid()) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.connect_failures;
        return;
    }
    if (!send_text(fd.get(), version_query)) {
        std::lock_guard<std::mutex> lock(mutex_);
        ++report_.turned_away;
        return;
    }
    // Video comes on this connection too, before and after the reply: read it all, keeping only
    // enough to find the reply across two reads.
    std::string window;
    std::vector<char> buffer(receive_chunk);
    bool received_any = false;
    bool answered = false;
    bool ended = false;
    soak_clock::time_point leave_at = soak_clock::now() + reply_deadline;
    while (!stop_.stopped() && soak_clock::now() < leave_at) {
        pollfd ready = {fd.get(), POLLIN, 0};
        if (poll(&ready, 1, poll_step_ms) <= 0) continue;
        const ssize_t got = recv(fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (got <= 0) {
            ended = true;
            break;
        }
        received_any = true;
        window.append(buffer.data(), static_cast<size_t>(got));
        if (!answered && window.find(version_reply) != std::string::npos) {
            answered = true;
            leave_at = soak_clock::now() + random_.between(milliseconds(0), longest_linger);
        }
        if (window.size() > version_reply.size())
            window.erase(0, window.size() - version_reply.size());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (ended && !received_any) {
        ++report_.turned_away;
        return;
    }
    if (stop_.stopped() && !answered) return;  // the run ended while it waited
    ++report_.asked;
    ++(answered ? report_.answered : report_.unanswered);
}

// ---- peer_requester ----

peer_requester::peer_requester(const std::string& state, stop_flag& stop, uint64_t seed)
    : state_(state), stop_(stop), random_(seed), thread_([this] { run(); }) {}

peer_requester::~peer_requester() { join(); }

void peer_requester::join() {
    if (thread_.joinable()) thread_.join();
}

std::vector<unsigned> peer_requester::requested() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requested_;
}

uint64_t peer_requester::injection_failures() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return injection_failures_;
}

void peer_requester::run() {
    for (unsigned n = 0; !stop_.wait_for(random_.between(shortest_peer_pause, longest_peer_pause));
         ++n) {
        char mac[18];
        snprintf(mac, sizeof mac, "02:5a:00:00:00:%02x", n % peer_count + 1);
        const unsigned ndp_id = n % ndp_id_count + 1;
        const bool injected = board_world::inject_peer_request(state_, mac, ndp_id) == 0;
        std::lock_guard<std::mutex> lock(mutex_);
        if (injected)
            requested_.push_back(ndp_id);
        else
            ++injection_failures_;
    }
}

// ---- failure_injector ----

failure_injector::failure_injector(const std::string& state, stop_flag& stop, uint64_t seed)
    : state_(state), stop_(stop), random_(seed), thread_([this] { run(); }) {}

failure_injector::~failure_injector() { join(); }

void failure_injector::join() {
    if (thread_.joinable()) thread_.join();
}

uint64_t failure_injector::injected() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_;
}

uint64_t failure_injector::met() const {
    const bool pending = one_pending();
    std::lock_guard<std::mutex> lock(mutex_);
    return injected_ - (pending ? 1 : 0);
}

bool failure_injector::one_pending() const {
    for (const board_world::failure& rule : board_world::read_failures(state_))
        if (rule.times != 0) return true;
    return false;
}

void failure_injector::run() {
    while (!stop_.wait_for(random_.between(shortest_failure_pause, longest_failure_pause))) {
        // One failure at a time, set only after the last one was met: a vendor send is tried
        // three times, so it never fails all three.
        if (one_pending()) continue;
        if (board_world::clear_failures(state_) != 0) continue;
        if (board_world::add_failure(state_, {vendor_send_pattern, 1, 1}) != 0) continue;
        std::lock_guard<std::mutex> lock(mutex_);
        ++injected_;
    }
}

uint64_t accepted_data_paths(const std::string& state, const std::vector<unsigned>& requested) {
    std::map<unsigned, uint64_t> accepted_by_id;
    for (const board_world::vendor_record& record : board_world::read_vendor_records(state)) {
        if (!record.taken() || record.subcmd != data_rsp_subcmd ||
            record.bytes.size() != data_rsp_size ||
            record.bytes[rsp_mode_offset] != rsp_mode_accept)
            continue;
        ++accepted_by_id[record.bytes[ndp_id_offset]];
    }
    uint64_t accepted = 0;
    for (unsigned id : requested) {
        uint64_t& left = accepted_by_id[id];
        if (left == 0) continue;
        --left;
        ++accepted;
    }
    return accepted;
}
