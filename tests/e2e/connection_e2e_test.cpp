// Who gets a slot on port 554 when things go wrong around the daemon: descriptors running out,
// peers that vanish without a word, and viewers that reconnect all at once.
#include <dirent.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"
#include "connected_client.hpp"
#include "daemon_children.hpp"
#include "remote_peer.hpp"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

const std::string server_ready = "TCP server initialization successful (max 4 clients).";
const std::string bringup_done = "=== add_func custom logic execution completed ===";
const std::string full_reject_line = "Reject new client: max 4 connections reached";
const std::string query_reply = std::string(board_world::default_vemuparam) + "\r\nOK\r\n";
const std::string version_reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";

class connection_test : public board_test {
protected:
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(server_ready));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    }

    connected_client connect(int index, client_family family) {
        return connect_client(board, index, family);
    }

    // Streams `count` frames; each reader must get exactly their payloads, in order.
    void expect_video(const std::vector<client_reader*>& readers, uint32_t count) {
        board.source().start_stream(
            {.frames_per_second = lane_rate(90), .count = count, .plan = plan});
        std::string stream;
        for (uint32_t n = 0; n < count; ++n) {
            const std::vector<uint8_t> payload = plan.payload(n);
            stream.append(payload.begin(), payload.end());
        }
        for (size_t i = 0; i < readers.size(); ++i) {
            ASSERT_TRUE(readers[i]->wait_for_size(stream.size(), e2e_deadline)) << "reader " << i;
            EXPECT_TRUE(readers[i]->data() == stream) << "reader " << i << " got other bytes";
        }
        ASSERT_TRUE(board.source().wait_stream_done(e2e_deadline));
    }

    // A client's request and its whole reply, read while nothing else comes.
    void exchange(int fd, const std::string& command, const std::string& reply) {
        ASSERT_TRUE(send_text(fd, command + "\r\n"));
        EXPECT_EQ(read_until(fd, reply, e2e_deadline), reply) << command;
    }

    bool any_line(const std::string& exact) const {
        const std::vector<std::string> lines = board.stderr_lines();
        return std::find(lines.begin(), lines.end(), exact) != lines.end();
    }

    payload_plan plan{.seed = 74, .derived_length = false, .fixed_length = 4096};
};

// ---- descriptors run out ----

// Descriptors numbered `limit` and above are refused to the process for the scope.
class process_descriptor_limit {
public:
    process_descriptor_limit(pid_t pid, rlim_t limit) : pid_(pid) {
        ok_ = prlimit(pid_, RLIMIT_NOFILE, nullptr, &saved_) == 0;
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        ok_ = ok_ && prlimit(pid_, RLIMIT_NOFILE, &lowered, nullptr) == 0;
    }
    ~process_descriptor_limit() { restore(); }
    process_descriptor_limit(const process_descriptor_limit&) = delete;
    process_descriptor_limit& operator=(const process_descriptor_limit&) = delete;
    bool ok() const { return ok_; }
    void restore() {
        if (ok_) prlimit(pid_, RLIMIT_NOFILE, &saved_, nullptr);
        ok_ = false;
    }

private:
    pid_t pid_;
    rlimit saved_{};
    bool ok_ = false;
};

// The descriptor numbers a process has open.
std::vector<int> open_descriptors(pid_t pid) {
    std::vector<int> found;
    const std::string path = "/proc/" + std::to_string(pid) + "/fd";
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return found;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] >= '0' && entry->d_name[0] <= '9')
            found.push_back(atoi(entry->d_name));
    }
    closedir(dir);
    std::sort(found.begin(), found.end());
    return found;
}

int lowest_free(const std::vector<int>& open) {
    int fd = 0;
    while (std::binary_search(open.begin(), open.end(), fd)) ++fd;
    return fd;
}

// True when every /dev/null the process holds (the server's spare among them) lies below its
// lowest free number. A limit at that number then leaves the spare something to give back; with
// a number left free below the spare for a moment (a descriptor closed and not yet opened
// again), closing the spare would free only a number the limit forbids.
bool spare_below_lowest_free(pid_t pid) {
    const std::vector<int> open = open_descriptors(pid);
    const int free_fd = lowest_free(open);
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int fd : open) {
        if (fd < free_fd) continue;
        char target[64] = {};
        if (readlink((dir + std::to_string(fd)).c_str(), target, sizeof(target) - 1) > 0 &&
            strcmp(target, "/dev/null") == 0)
            return false;
    }
    return true;
}

using Descriptors = connection_test;

// Measured on the board: with its open-file limit lowered while clients connected, the backlog
// filled and stayed full after the limit came back, and no client ever got in again. Now each
// connection that comes while no descriptor is free is refused at once (more than the backlog
// holds), and once descriptors are back a new client gets video.
TEST_F(Descriptors, ClientsComingWhileNoneIsFreeAreRefusedAndOnceTheyAreBackOneGetsVideo) {
    start();
    // Start-up is over and the `iw event` child runs (its first one may end and be started
    // again a second later): nothing but the server opens or closes descriptors from here on,
    // so every number below the limit stays taken, the spare's included.
    ASSERT_TRUE(board.wait_stdout(bringup_done));
    const pid_t pid = board.daemon().pid();
    const auto deadline = steady_clock::now() + e2e_deadline;
    while (daemon_children::iw_event_children(pid).empty() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_FALSE(daemon_children::iw_event_children(pid).empty());
    connected_client viewer = connect(0, client_family::ipv6);
    ASSERT_GT(viewer.daemon_fd, 0);
    while (!spare_below_lowest_free(pid) && steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(spare_below_lowest_free(pid));
    constexpr int more_than_the_backlog = 7;
    {
        process_descriptor_limit none_free(pid,
                                           static_cast<rlim_t>(lowest_free(open_descriptors(pid))));
        ASSERT_TRUE(none_free.ok()) << strerror(errno);
        for (int i = 0; i < more_than_the_backlog; ++i) {
            unique_fd refused = connect_in_namespace(pid, client_family::ipv4);
            ASSERT_TRUE(refused.valid()) << "connection " << i << ": " << strerror(errno);
            EXPECT_EQ(read_bytes(refused.get(), 1, e2e_deadline), "") << "connection " << i;
            char byte;
            EXPECT_EQ(recv(refused.get(), &byte, 1, MSG_DONTWAIT), 0) << "connection " << i;
        }
    }
    ASSERT_TRUE(board.wait_stderr("accept failed: Too many open files"));
    ASSERT_TRUE(board.wait_stderr("Reject new client: out of descriptors"));

    connected_client later = connect(1, client_family::ipv4);
    ASSERT_GT(later.daemon_fd, 0);
    client_reader viewer_reader(viewer.socket.get());
    client_reader later_reader(later.socket.get());
    expect_video({&viewer_reader, &later_reader}, 30);
    EXPECT_FALSE(any_line(full_reject_line));
}

// ---- peers that vanish ----

using DeadPeers = connection_test;

constexpr int test_dead_peer_ms = 3000;

// A peer out of range sends nothing more, not even a reset. With video suspended nothing is sent
// to it either, so only the kernel's probes find it gone; it is closed with the hang-up lines,
// while a client on the board that sends and reads nothing for longer keeps its slot.
TEST_F(DeadPeers, AVanishedPeerIsClosedWhileVideoIsSuspendedAndAnIdleClientStays) {
    start({.environment = {{"NANVIDEOD_DEAD_PEER_TIMEOUT_MS", std::to_string(test_dead_peer_ms)}}});
    connected_client idle = connect(0, client_family::ipv6);
    ASSERT_GT(idle.daemon_fd, 0);
    std::string why;
    const std::unique_ptr<remote_peer> peer = remote_peer::create(board.daemon().pid(), &why);
    if (!peer) GTEST_SKIP() << "no link into the board here: " << why;
    unique_fd far = peer->connect(daemon_port);
    ASSERT_TRUE(far.valid()) << strerror(errno);
    const int far_fd =
        expect_connection_line(board, 1, std::string("::ffff:") + remote_peer::peer_address,
                               far.get());
    ASSERT_GT(far_fd, 0);

    exchange(idle.socket.get(), "AT+AB config", query_reply);  // video stops for everyone
    exchange(far.get(), "AT+AB version", version_reply);
    const auto vanished = steady_clock::now();
    ASSERT_TRUE(peer->vanish());
    const std::optional<size_t> closed =
        board.wait_stderr("Client fd " + std::to_string(far_fd) + " closed/error");
    ASSERT_TRUE(closed);
    // Found by the time-out (counted from the peer's last acknowledgement, just before it went).
    EXPECT_GE(steady_clock::now() - vanished, std::chrono::milliseconds(test_dead_peer_ms / 2));
    EXPECT_EQ(board.daemon().wait_lines(output_stream::err, *closed, 2, e2e_deadline),
              (std::vector<std::string>{
                  "Client fd " + std::to_string(far_fd) + " closed/error",
                  "Client 1 (fd " + std::to_string(far_fd) + "): Marked as disconnected"}));

    // The idle client has been silent longer than the time-out, and is still served.
    exchange(idle.socket.get(), "AT+AB version", version_reply);
    const std::string idle_fd = std::to_string(idle.daemon_fd);
    for (const std::string& line : board.stderr_lines())
        EXPECT_EQ(line.find("fd " + idle_fd), std::string::npos) << line;
}

// ---- reconnecting viewers ----

using Reconnects = connection_test;

// Four viewers, one of them reconnecting: its close and its new connection come together. The
// new connection takes the freed slot whichever the daemon sees first, and gets video.
TEST_F(Reconnects, AHangUpAndAConnectTogetherGiveTheNewConnectionTheSlotAndVideo) {
    start();
    std::vector<connected_client> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect(i, i % 2 == 0 ? client_family::ipv4 : client_family::ipv6));
        ASSERT_GT(clients.back().daemon_fd, 0);
    }
    const int gone_fd = clients[2].daemon_fd;
    clients[2].socket.reset();
    unique_fd again = connect_in_namespace(board.daemon().pid(), client_family::ipv4);
    ASSERT_TRUE(again.valid()) << strerror(errno);
    const std::optional<size_t> closed =
        board.wait_stderr("Client fd " + std::to_string(gone_fd) + " closed/error");
    ASSERT_TRUE(closed);
    const int again_fd =
        expect_connection_line(board, 2, logged_address(client_family::ipv4), again.get());
    ASSERT_GT(again_fd, 0);
    EXPECT_EQ(board.daemon().wait_lines(output_stream::err, *closed, 2, e2e_deadline),
              (std::vector<std::string>{
                  "Client fd " + std::to_string(gone_fd) + " closed/error",
                  "Client 2 (fd " + std::to_string(gone_fd) + "): Marked as disconnected"}));

    std::vector<std::unique_ptr<client_reader>> readers;
    std::vector<client_reader*> all;
    for (int i : {0, 1, 3})
        readers.push_back(std::make_unique<client_reader>(clients[i].socket.get()));
    readers.push_back(std::make_unique<client_reader>(again.get()));
    for (auto& reader : readers) all.push_back(reader.get());
    expect_video(all, 30);
    EXPECT_FALSE(any_line(full_reject_line));
}

}  // namespace
