// The server loop on an ephemeral port: accepting, receiving, the close paths and shutdown.
// Most tests step the loop from the test thread so every line is printed before it is checked.
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <cstddef>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include "listen_socket.hpp"
#include "tcp_server.hpp"
#include "tcp_test_support.hpp"

using namespace tcp_test;

namespace {

struct handler_call {
    std::string data;
    bool terminated;
};

std::mutex calls_mutex;
std::vector<handler_call> calls;
std::atomic<int> handler_result{0};

// Fails with handler_result the commands that start with "at+ab bogus".
int recording_handler(at_reply&, const char* data, int length) {
    std::lock_guard<std::mutex> lock(calls_mutex);
    const std::string text(data, static_cast<size_t>(length));
    calls.push_back({text, data[length] == '\0'});
    return text.rfind("at+ab bogus", 0) == 0 ? handler_result.load() : 0;
}

// Commands that wait for a permit each, then reply with their own text.
std::mutex gate_mutex;
std::condition_variable gate_opened;
int permits = 0;

void open_gate(int count) {
    std::lock_guard<std::mutex> lock(gate_mutex);
    permits += count;
    gate_opened.notify_all();
}

// Recorded when they start.
int gated_handler(at_reply& reply, const char* data, int length) {
    const std::string text(data, static_cast<size_t>(length));
    {
        std::lock_guard<std::mutex> lock(calls_mutex);
        calls.push_back({text, true});
    }
    {
        std::unique_lock<std::mutex> lock(gate_mutex);
        gate_opened.wait(lock, [] { return permits > 0; });
        --permits;
    }
    reply.send((text + "\r\n").c_str());
    return 0;
}

// Runs chunks through one of the functions above; none is taken for a status request.
class function_handler : public at_command_handler {
public:
    explicit function_handler(int (*run)(at_reply&, const char*, int)) : run_(run) {}
    int handle(at_reply& reply, const char* data, int length) override {
        return run_(reply, data, length);
    }
    bool asks_status(const char*, int) override { return false; }

private:
    int (*run_)(at_reply&, const char*, int);
};

function_handler recording{recording_handler};
function_handler gated{gated_handler};

size_t call_count() {
    std::lock_guard<std::mutex> lock(calls_mutex);
    return calls.size();
}

const char no_more_connections[] = "event.events & EPOLLIN break (no more connections)\n";

// The ports of this process's listening sockets, by descriptor.
std::map<int, uint16_t> listening_ports() {
    std::map<int, uint16_t> found;
    for (int fd = 0; fd < 1024; ++fd) {
        int listening = 0;
        socklen_t size = sizeof listening;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) != 0 || !listening)
            continue;
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) continue;
        if (address.ss_family == AF_INET6)
            found[fd] = ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
        else if (address.ss_family == AF_INET)
            found[fd] = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    return found;
}

// Sets a server made for port 0 up and returns the port the kernel gave it: that of the one
// listening socket the set-up added. 0 when the set-up failed.
uint16_t set_up_on_ephemeral_port(tcp_server& server) {
    const std::map<int, uint16_t> before = listening_ports();
    if (server.setup() != 0) return 0;
    for (const auto& [fd, port] : listening_ports())
        if (before.count(fd) == 0) return port;
    return 0;
}

class tcp_server_test : public ::testing::Test {
protected:
    void SetUp() override {
        {
            std::lock_guard<std::mutex> lock(calls_mutex);
            calls.clear();
        }
        handler_result = 0;
        {
            std::lock_guard<std::mutex> lock(gate_mutex);
            permits = 0;
        }
        server.set_handler(&recording);
        port = set_up_on_ephemeral_port(server);
        ASSERT_NE(port, 0);
    }
    void TearDown() override {
        open_gate(1000);  // a gated command still running would hold the shutdown
        server.shutdown();
    }

    unique_fd connect_to(int family) {
        unique_fd fd(socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0));
        must(fd.valid(), "socket");
        int result;
        if (family == AF_INET) {
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(port);
            result = connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        } else {
            sockaddr_in6 address{};
            address.sin6_family = AF_INET6;
            address.sin6_addr = in6addr_loopback;
            address.sin6_port = htons(port);
            result = connect(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        }
        must(result == 0, "connect");
        return fd;
    }

    // Steps the loop until done() holds, with a generous deadline.
    template <typename Done>
    bool turn_until(Done done) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            if (server.turn() < 0) return false;
        }
        return true;
    }

    // Connects and steps until the server has put the client into entry `index`.
    unique_fd accept_client(int index, int family = AF_INET) {
        unique_fd fd = connect_to(family);
        EXPECT_TRUE(turn_until([&] { return clients.at(index).connected(); }));
        return fd;
    }

    void start_capture() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    void finish_capture() {
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }

    static std::string new_ipv6(int index, const char* address, int peer_port, int fd) {
        return "New IPv6 connection (client " + std::to_string(index) + ") from [" + address +
               "]:" + std::to_string(peer_port) + ", fd=" + std::to_string(fd) + "\n";
    }
    uint64_t commands_of(int index) const { return clients.at(index).figures.at_commands.value(); }
    static std::string received(int fd, const std::string& text) {
        return "Received data from (fd " + std::to_string(fd) + "): " + text + "\n";
    }

    stepping_clock clock;
    std::unique_ptr<frame_ring> ring = std::make_unique<frame_ring>();
    daemon_counters counts;
    client_table clients{counts};
    std::atomic<int> suspended{0};
    tcp_server server{0, *ring, clients, suspended, clock};
    uint16_t port = 0;
    std::string out;
    std::string err;
};

// ---- accepting ----

TEST_F(tcp_server_test, ipv6_client_is_logged_with_its_address) {
    start_capture();
    unique_fd client = accept_client(0, AF_INET6);
    finish_capture();

    EXPECT_EQ(err, new_ipv6(0, "::1", local_port(client.get()), clients.at(0).fd));
    EXPECT_EQ(out, no_more_connections);
}

TEST(dead_peer_timing_test, tests_may_shorten_the_time_and_nothing_else) {
    const struct {
        const char* text;
        dead_peer_timing expected;
    } cases[] = {
        {nullptr, {10, 5, 4, 30000}},  {"", {10, 5, 4, 30000}},   {"3000", {1, 1, 4, 3000}},
        {"12000", {4, 2, 4, 12000}},   {"999", {10, 5, 4, 30000}}, {"30001", {10, 5, 4, 30000}},
        {"3000ms", {10, 5, 4, 30000}}, {"-1", {10, 5, 4, 30000}},
    };
    for (const auto& item : cases) {
        if (item.text == nullptr) {
            unsetenv(dead_peer_timeout_variable);
        } else {
            setenv(dead_peer_timeout_variable, item.text, 1);
        }
        const dead_peer_timing got = dead_peer_timing_from_environment();
        const char* shown = item.text == nullptr ? "(unset)" : item.text;
        EXPECT_EQ(got.idle_s, item.expected.idle_s) << shown;
        EXPECT_EQ(got.interval_s, item.expected.interval_s) << shown;
        EXPECT_EQ(got.probes, item.expected.probes) << shown;
        EXPECT_EQ(got.user_timeout_ms, item.expected.user_timeout_ms) << shown;
    }
    unsetenv(dead_peer_timeout_variable);
}

std::set<int> inheritable_descriptors() {
    std::set<int> found;
    for (int fd = 0; fd < 1024; ++fd) {
        int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) found.insert(fd);
    }
    return found;
}

TEST_F(tcp_server_test, server_opens_nothing_a_child_would_inherit) {
    start_capture();
    const std::set<int> before = inheritable_descriptors();
    tcp_server other{0, *ring, clients, suspended, clock};
    const uint16_t other_port = set_up_on_ephemeral_port(other);
    ASSERT_NE(other_port, 0);
    unique_fd client(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(other_port);
    ASSERT_EQ(connect(client.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    for (int i = 0; i < 1000 && !clients.at(0).connected(); ++i) other.turn();
    const std::set<int> after = inheritable_descriptors();
    other.shutdown();
    finish_capture();

    EXPECT_FALSE(clients.at(0).connected());  // the shutdown freed it
    EXPECT_EQ(before, after);
}

// Every connection waiting when the table is full is refused in the same turn: none is left in
// the backlog for a later connection to wake.
TEST_F(tcp_server_test, fifth_and_sixth_clients_are_refused_in_one_turn_and_the_four_are_kept) {
    start_capture();
    unique_fd kept[max_clients];
    for (int i = 0; i < max_clients; ++i) kept[i] = accept_client(i);
    unique_fd fifth = connect_to(AF_INET);
    unique_fd sixth = connect_to(AF_INET6);
    server.turn();
    finish_capture();

    std::string expected;
    for (int i = 0; i < max_clients; ++i) {
        expected += new_ipv6(i, "::ffff:127.0.0.1", local_port(kept[i].get()), clients.at(i).fd);
    }
    expected += "Reject new client: max 4 connections reached\n";
    expected += "Reject new client: max 4 connections reached\n";
    EXPECT_EQ(err, expected);
    std::string lines;
    for (int i = 0; i < max_clients + 1; ++i) lines += no_more_connections;
    EXPECT_EQ(out, lines);
    EXPECT_TRUE(sees_close(fifth.get()));
    EXPECT_TRUE(sees_close(sixth.get()));
    for (int i = 0; i < max_clients; ++i) {
        EXPECT_TRUE(clients.at(i).connected());
        EXPECT_TRUE(still_open_and_quiet(kept[i].get()));
    }
}

// A close and a connect both landing between a wait and its accept: the client that hung up
// still holds its slot, its hang-up unread, when the new connection is taken.
TEST_F(tcp_server_test, hang_up_not_yet_read_gives_its_slot_to_the_connection_taken_after_it) {
    unique_fd kept[max_clients];
    for (int i = 0; i < max_clients; ++i) kept[i] = accept_client(i);
    const int gone_fd = clients.at(2).fd;

    start_capture();
    kept[2].reset();
    pollfd gone{gone_fd, POLLRDHUP, 0};
    EXPECT_EQ(poll(&gone, 1, 10000), 1);  // the daemon's side shows it
    unique_fd newcomer = connect_to(AF_INET6);
    server.accept_clients();
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(gone_fd) + " closed/error\n" + "Client 2 (fd " +
                       std::to_string(gone_fd) + "): Marked as disconnected\n" +
                       new_ipv6(2, "::1", local_port(newcomer.get()), clients.at(2).fd));
    EXPECT_EQ(out, no_more_connections);
    for (int i = 0; i < max_clients; ++i) EXPECT_TRUE(clients.at(i).connected());
    EXPECT_TRUE(still_open_and_quiet(newcomer.get()));
}

// In one batch the connection may come before the hang-up that frees its slot; the descriptor
// closed for that hang-up may be the new client's by the time the batch's events are done.
TEST_F(tcp_server_test, connect_and_hang_up_in_one_batch_take_the_slot_and_keep_the_newcomer) {
    unique_fd kept[max_clients];
    for (int i = 0; i < max_clients; ++i) kept[i] = accept_client(i);
    const int gone_fd = clients.at(1).fd;

    start_capture();
    unique_fd newcomer = connect_to(AF_INET);
    kept[1].reset();
    pollfd gone{gone_fd, POLLRDHUP, 0};
    EXPECT_EQ(poll(&gone, 1, 10000), 1);
    for (int i = 0; i < 6; ++i) server.turn();
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(gone_fd) + " closed/error\n" + "Client 1 (fd " +
                       std::to_string(gone_fd) + "): Marked as disconnected\n" +
                       new_ipv6(1, "::ffff:127.0.0.1", local_port(newcomer.get()),
                                clients.at(1).fd));
    for (int i = 0; i < max_clients; ++i) EXPECT_TRUE(clients.at(i).connected());
    EXPECT_TRUE(still_open_and_quiet(newcomer.get()));
}

TEST_F(tcp_server_test, entry_freed_by_a_hang_up_is_reused_by_the_next_client) {
    unique_fd first = accept_client(0);
    unique_fd second = accept_client(1);
    const int first_fd = clients.at(0).fd;

    start_capture();
    first.reset();
    EXPECT_TRUE(turn_until([&] { return !clients.at(0).connected(); }));
    unique_fd third = accept_client(0);
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(first_fd) + " closed/error\n" +
                       "Client 0 (fd " + std::to_string(first_fd) +
                       "): Marked as disconnected\n" +
                       new_ipv6(0, "::ffff:127.0.0.1", local_port(third.get()),
                                clients.at(0).fd));
    EXPECT_TRUE(clients.at(1).connected());
    EXPECT_TRUE(still_open_and_quiet(second.get()));
}

// ---- out of descriptors ----

// This process may open no descriptor numbered `limit` or above while it lives.
class descriptor_limit {
public:
    descriptor_limit(int limit, mono_clock_source& clock) {
        // UndefinedBehaviorSanitizer reads an object through a pipe the first time it checks
        // its dynamic type: the test clock's is checked here, while a descriptor is free.
        clock.now_us();
        must(getrlimit(RLIMIT_NOFILE, &saved_) == 0, "getrlimit");
        rlimit lowered = saved_;
        lowered.rlim_cur = static_cast<rlim_t>(limit);
        must(setrlimit(RLIMIT_NOFILE, &lowered) == 0, "setrlimit");
    }
    ~descriptor_limit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    descriptor_limit(const descriptor_limit&) = delete;
    descriptor_limit& operator=(const descriptor_limit&) = delete;

private:
    rlimit saved_{};
};

int lowest_free_descriptor() {
    int fd = 0;
    while (fcntl(fd, F_GETFD) >= 0) ++fd;
    return fd;
}

const char too_many_files[] = "accept failed: Too many open files\n";

// The spare descriptor's number lets each waiting connection be taken and closed: none is left
// in the backlog, where no readiness would come for it again.
TEST_F(tcp_server_test, out_of_descriptors_waiting_connections_are_refused_and_a_later_one_taken) {
    unique_fd first = connect_to(AF_INET);
    unique_fd second = connect_to(AF_INET6);

    start_capture();
    {
        descriptor_limit none_free(lowest_free_descriptor(), clock);
        server.turn();
    }
    unique_fd third = accept_client(0);
    finish_capture();

    const std::string refused =
        std::string(too_many_files) + "Reject new client: out of descriptors\n";
    EXPECT_EQ(err, refused + refused + new_ipv6(0, "::ffff:127.0.0.1", local_port(third.get()),
                                                clients.at(0).fd));
    EXPECT_EQ(out, std::string(no_more_connections) + no_more_connections);
    EXPECT_TRUE(sees_close(first.get()));
    EXPECT_TRUE(sees_close(second.get()));
    EXPECT_TRUE(still_open_and_quiet(third.get()));
}

// Not even the spare's number free: the connection stays waiting, its readiness already taken,
// and a later tick tries the listener again.
TEST_F(tcp_server_test, connection_left_waiting_by_an_accept_error_is_taken_at_a_later_tick) {
    unique_fd waiting(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    start_capture();
    const int first_of_the_server = lowest_free_descriptor();
    tcp_server other{0, *ring, clients, suspended, clock};
    const uint16_t other_port = set_up_on_ephemeral_port(other);
    ASSERT_NE(other_port, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(other_port);
    ASSERT_EQ(connect(waiting.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    {
        descriptor_limit none_free(first_of_the_server, clock);
        other.turn();
        EXPECT_FALSE(clients.at(0).connected());
        EXPECT_TRUE(still_open_and_quiet(waiting.get()));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!clients.at(0).connected() && std::chrono::steady_clock::now() < deadline) {
        other.turn();
    }
    const int fd = clients.at(0).fd;
    other.shutdown();
    finish_capture();

    EXPECT_EQ(err, too_many_files + new_ipv6(0, "::ffff:127.0.0.1", local_port(waiting.get()), fd));
    EXPECT_EQ(out, no_more_connections);
}

// ---- receiving ----

TEST_F(tcp_server_test, burst_is_handed_over_1023_bytes_at_a_time) {
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    const std::string burst = pattern(2000, 0);

    start_capture();
    ASSERT_EQ(send(client.get(), burst.data(), burst.size(), 0), 2000);
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));
    // The rest stays in the socket: no further readiness until the client sends again.
    for (int i = 0; i < 5; ++i) server.turn();
    EXPECT_EQ(call_count(), 1u);
    ASSERT_EQ(send(client.get(), "!", 1, 0), 1);
    EXPECT_TRUE(turn_until([] { return call_count() == 2; }));
    finish_capture();

    std::lock_guard<std::mutex> lock(calls_mutex);
    EXPECT_TRUE(calls[0].data == burst.substr(0, 1023));
    EXPECT_TRUE(calls[0].terminated);
    EXPECT_TRUE(calls[1].data == burst.substr(1023) + "!");
    EXPECT_TRUE(calls[1].terminated);
    EXPECT_EQ(out, received(fd, burst.substr(0, 1023)) + received(fd, burst.substr(1023) + "!"));
    EXPECT_EQ(err, "");
}

TEST_F(tcp_server_test, received_chunk_refreshes_the_client_even_with_video_suspended) {
    unique_fd client = accept_client(0);
    clients.at(0).last_activity = 3;
    suspended = 1;

    ASSERT_EQ(send(client.get(), "at+ab version", 13, 0), 13);
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));

    EXPECT_EQ(clients.at(0).last_activity, clock.peek_s());
    std::lock_guard<std::mutex> lock(calls_mutex);
    EXPECT_EQ(calls[0].data, "at+ab version");
}

TEST_F(tcp_server_test, failed_at_command_is_reported_and_the_client_kept) {
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    handler_result = -3;

    start_capture();
    ASSERT_EQ(send(client.get(), "at+ab bogus", 11, 0), 11);
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));
    // Once the next command runs, the failed one's line is out.
    ASSERT_EQ(send(client.get(), "at+ab version", 13, 0), 13);
    EXPECT_TRUE(turn_until([] { return call_count() == 2; }));
    finish_capture();

    EXPECT_EQ(out, received(fd, "at+ab bogus") + received(fd, "at+ab version"));
    EXPECT_EQ(err, "AT command execution failed (fd " + std::to_string(fd) +
                       "), error code: -3\n");
    EXPECT_TRUE(clients.at(0).connected());
}

TEST_F(tcp_server_test, without_a_handler_received_text_is_only_logged) {
    server.set_handler(nullptr);
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    clients.at(0).last_activity = 3;

    start_capture();
    ASSERT_EQ(send(client.get(), "at+ab version", 13, 0), 13);
    EXPECT_TRUE(turn_until([&] { return clients.at(0).last_activity != 3; }));
    finish_capture();

    EXPECT_EQ(out, received(fd, "at+ab version"));
    EXPECT_EQ(err, "");
    EXPECT_EQ(call_count(), 0u);
    EXPECT_TRUE(clients.at(0).connected());
}

// ---- frames ----

TEST_F(tcp_server_test, a_stored_frame_leaves_in_the_turn_it_wakes_not_at_the_tick) {
    unique_fd client = accept_client(0);
    // The tick is a second away on the loop's clock: only the processor's wake-up sends now.
    clock.set_us(clock.now_us() - 1000000);
    store_frame(*ring, "woken");
    ASSERT_EQ(server.turn(), 0);
    EXPECT_EQ(read_available(client.get()), "woken");
}

// ---- the command queue ----

// c1 runs; c2..c9 wait; c10 finds eight waiting and is refused; once c1 is done, c11 fits again.
// Every reply comes in the order its chunk was sent, the refusal in its place.
TEST_F(tcp_server_test, commands_run_in_order_and_a_ninth_waiting_one_is_refused_in_its_place) {
    server.set_handler(&gated);
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    auto send_text = [&](const std::string& text) {
        ASSERT_EQ(send(client.get(), text.data(), text.size(), 0),
                  static_cast<ssize_t>(text.size()));
    };

    start_capture();
    send_text("c1");
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));
    for (int i = 2; i <= 10; ++i) {
        send_text("c" + std::to_string(i));
        EXPECT_TRUE(turn_until([&] { return commands_of(0) == static_cast<uint64_t>(i); }));
    }
    open_gate(1);
    EXPECT_TRUE(turn_until([] { return call_count() == 2; }));
    send_text("c11");
    EXPECT_TRUE(turn_until([&] { return commands_of(0) == 11; }));
    open_gate(100);

    std::string expected;
    for (int i = 1; i <= 9; ++i) expected += "c" + std::to_string(i) + "\r\n";
    expected += "ERROR: Command execution failed\r\nc11\r\n";
    std::string got;
    EXPECT_TRUE(turn_until([&] {
        got += read_available(client.get());
        return got.size() >= expected.size();
    }));
    finish_capture();

    EXPECT_EQ(got, expected);
    // The eleventh chunk's line may fall under the repeat limit of ten a second.
    std::string received_lines;
    for (int i = 1; i <= 10; ++i) received_lines += received(fd, "c" + std::to_string(i));
    EXPECT_EQ(out.substr(0, received_lines.size()), received_lines);
    EXPECT_EQ(err, "AT command execution failed (fd " + std::to_string(fd) +
                       "), error code: -9\n");
}

TEST_F(tcp_server_test, waiting_commands_are_dropped_when_their_client_goes) {
    server.set_handler(&gated);
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    unique_fd other = accept_client(1);
    ASSERT_EQ(send(client.get(), "c1", 2, 0), 2);
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));
    ASSERT_EQ(send(client.get(), "c2", 2, 0), 2);
    EXPECT_TRUE(turn_until([&] { return commands_of(0) == 2; }));

    start_capture();
    client.reset();
    EXPECT_TRUE(turn_until([&] { return !clients.at(0).connected(); }));
    ASSERT_EQ(send(other.get(), "o1", 2, 0), 2);
    EXPECT_TRUE(turn_until([&] { return commands_of(1) == 1; }));
    open_gate(100);
    // The other client's reply comes once the closed one's running command is over.
    std::string got;
    EXPECT_TRUE(turn_until([&] {
        got += read_available(other.get());
        return got == "o1\r\n";
    }));
    finish_capture();

    std::lock_guard<std::mutex> lock(calls_mutex);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].data, "c1");
    EXPECT_EQ(calls[1].data, "o1");
    // The running command's reply finds its connection gone.
    const std::string f = std::to_string(fd);
    EXPECT_EQ(err, "Client fd " + f + " closed/error\nClient 0 (fd " + f +
                       "): Marked as disconnected\nFailed to send AT response to (fd " + f +
                       "): Broken pipe\n");
}

// Commands take turns: slot 0's second and third wait while slot 1's one comes next, whatever
// arrived first and whichever slot is lower.
TEST_F(tcp_server_test, clients_take_turns_and_each_keeps_its_own_order) {
    server.set_handler(&gated);
    unique_fd busy = accept_client(0);
    unique_fd other = accept_client(1);
    ASSERT_EQ(send(busy.get(), "a1", 2, 0), 2);
    EXPECT_TRUE(turn_until([] { return call_count() == 1; }));
    for (const char* text : {"a2", "a3"}) {
        const uint64_t sent = commands_of(0);
        ASSERT_EQ(send(busy.get(), text, 2, 0), 2);
        EXPECT_TRUE(turn_until([&] { return commands_of(0) == sent + 1; }));
    }
    ASSERT_EQ(send(other.get(), "b1", 2, 0), 2);
    EXPECT_TRUE(turn_until([&] { return commands_of(1) == 1; }));

    for (size_t started = 2; started <= 4; ++started) {
        open_gate(1);
        EXPECT_TRUE(turn_until([&] { return call_count() == started; }));
    }
    open_gate(1);
    std::string got;
    EXPECT_TRUE(turn_until([&] {
        got += read_available(busy.get());
        return got.size() >= 12;
    }));

    EXPECT_EQ(got, "a1\r\na2\r\na3\r\n");
    EXPECT_EQ(read_exactly(other.get(), 4), "b1\r\n");
    std::lock_guard<std::mutex> lock(calls_mutex);
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[0].data + calls[1].data + calls[2].data + calls[3].data, "a1b1a2a3");
}

// ---- closing ----

TEST_F(tcp_server_test, command_followed_by_a_close_takes_the_hang_up_path_unhandled) {
    unique_fd first = accept_client(0);
    unique_fd second = accept_client(1);
    unique_fd client = accept_client(2);
    const int fd = clients.at(2).fd;

    start_capture();
    ASSERT_EQ(send(client.get(), "at+ab reset", 11, 0), 11);
    client.reset();
    EXPECT_TRUE(turn_until([&] { return !clients.at(2).connected(); }));
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(fd) + " closed/error\nClient 2 (fd " +
                       std::to_string(fd) + "): Marked as disconnected\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(call_count(), 0u);
    EXPECT_EQ(clients.at(2).fd, -1);
}

TEST_F(tcp_server_test, peer_close_seen_while_reading_takes_the_closed_path) {
    unique_fd client = accept_client(0);
    const int fd = clients.at(0).fd;
    ASSERT_EQ(send(client.get(), "abc", 3, 0), 3);
    client.reset();

    // A readiness report that arrived before the close: the read finds the end of the stream.
    start_capture();
    server.handle_client_event(fd, EPOLLIN);
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(fd) + " closed\n");
    EXPECT_EQ(out, "");
    EXPECT_EQ(call_count(), 0u);
    EXPECT_FALSE(clients.at(0).connected());
    EXPECT_FALSE(descriptor_open(fd));
}

TEST_F(tcp_server_test, read_error_takes_the_error_path) {
    unique_fd first = accept_client(0);
    unique_fd client = accept_client(1);
    const int fd = clients.at(1).fd;
    reset_connection(client);

    start_capture();
    server.handle_client_event(fd, EPOLLIN);
    finish_capture();

    EXPECT_EQ(err, "recv failed: Connection reset by peer\n");
    EXPECT_EQ(out, "");
    EXPECT_FALSE(clients.at(1).connected());
    EXPECT_EQ(clients.at(1).fd, -1);
    EXPECT_FALSE(descriptor_open(fd));
}

TEST_F(tcp_server_test, hang_up_of_an_unknown_descriptor_prints_only_the_first_line) {
    tcp_pair pair = loopback_pair();
    const int fd = pair.server.release();

    start_capture();
    server.handle_client_event(fd, EPOLLHUP);
    finish_capture();

    EXPECT_EQ(err, "Client fd " + std::to_string(fd) + " closed/error\n");
    EXPECT_FALSE(descriptor_open(fd));
}

// ---- set-up, shutdown and the running loop ----

TEST_F(tcp_server_test, shutdown_closes_every_client_and_the_listening_socket) {
    unique_fd a = accept_client(0);
    unique_fd b = accept_client(1);

    server.shutdown();

    for (int i = 0; i < max_clients; ++i) EXPECT_EQ(clients.at(i).fd, -1);
    EXPECT_TRUE(sees_close(a.get()));
    EXPECT_TRUE(sees_close(b.get()));
    unique_fd late(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    EXPECT_EQ(connect(late.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), -1);
    EXPECT_EQ(errno, ECONNREFUSED);
}

TEST_F(tcp_server_test, port_held_elsewhere_fails_the_bind) {
    tcp_server second{port, *ring, clients, suspended, clock};

    testing::internal::CaptureStderr();
    EXPECT_EQ(second.setup(), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "bind failed: Address already in use\n");
}

TEST_F(tcp_server_test, running_loop_streams_video_and_serves_commands) {
    const std::string video = pattern(4096, 7) + pattern(10, 8);
    // Stored before the client comes: the first client starts at live and never sees it.
    store_frame(*ring, "stale");

    start_capture();
    // The daemon's loop turns until the process ends; this one until the test has seen enough,
    // then shuts down as the loop does after a failed wait.
    std::atomic<bool> seen_enough{false};
    std::thread loop([&] {
        while (!seen_enough.load() && server.turn() >= 0) {
        }
        server.shutdown();
    });
    unique_fd client = connect_to(AF_INET6);
    // The table is the loop's alone: a command that reached the handler shows the client in.
    ASSERT_EQ(send(client.get(), "at+ab version", 13, 0), 13);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (call_count() == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    store_frame(*ring, pattern(4096, 7));
    store_frame(*ring, pattern(10, 8));
    std::string got = read_exactly(client.get(), video.size());
    seen_enough.store(true);
    loop.join();
    finish_capture();

    EXPECT_TRUE(got == video);
    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_EQ(call_count(), 1u);
    EXPECT_TRUE(sees_close(client.get()));
    EXPECT_FALSE(clients.at(0).connected());
}

// ---- the listener when IPv6 sockets fail ----

// The child's status when it cannot install a seccomp filter (qemu-user takes none).
constexpr int no_seccomp_here = 100;

// In a child whose socket(AF_INET6, ...) fails with `error` (a seccomp filter, as a sandbox
// would set): what opening the listener prints, and the family it listens on (0: none).
std::string listener_when_ipv6_fails(int error, int* family) {
    int output[2];
    must(pipe2(output, O_CLOEXEC) == 0, "pipe2");
    const pid_t child = fork();
    must(child >= 0, "fork");
    if (child == 0) {
        dup2(output[1], STDERR_FILENO);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_socket, 0, 3),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AF_INET6, 0, 1),
            BPF_STMT(BPF_RET | BPF_K,
                     SECCOMP_RET_ERRNO | (static_cast<uint32_t>(error) & SECCOMP_RET_DATA)),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
            _exit(no_seccomp_here);
        }
        unique_fd listener = open_listen_socket(0, 1);
        sockaddr_storage address{};
        socklen_t size = sizeof address;
        if (!listener.valid()) _exit(0);
        getsockname(listener.get(), reinterpret_cast<sockaddr*>(&address), &size);
        _exit(address.ss_family);
    }
    close(output[1]);
    std::string text;
    char block[256];
    ssize_t n;
    while ((n = read(output[0], block, sizeof block)) > 0) text.append(block, static_cast<size_t>(n));
    close(output[0]);
    int status = 0;
    must(waitpid(child, &status, 0) == child, "waitpid");
    *family = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return text;
}

// Only a kernel without IPv6 makes the server listen on IPv4 alone: NAN peers come over IPv6
// link-local, so any other refusal ends the listener instead of shutting them out.
TEST(listen_socket_test, ipv4_alone_only_when_the_kernel_has_no_ipv6) {
    int family = -1;
    char fallback[sizeof ipv4_fallback_line + 8];
    snprintf(fallback, sizeof fallback, ipv4_fallback_line, 0u);
    const std::string said = listener_when_ipv6_fails(EAFNOSUPPORT, &family);
    if (family == no_seccomp_here) GTEST_SKIP() << "no seccomp filters here (qemu-user)";
    EXPECT_EQ(said, fallback);
    EXPECT_EQ(family, AF_INET);
    EXPECT_EQ(listener_when_ipv6_fails(EACCES, &family), "socket(AF_INET6) failed: Permission denied\n");
    EXPECT_EQ(family, 0);
}

// ---- the daemon's entry point ----

TEST(tcp_server_init_test, ignores_sigpipe_and_reports_success) {
    int output[2];
    ASSERT_EQ(pipe2(output, O_CLOEXEC), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Where allowed, the child's server binds port 554 in a network of its own.
        unshare(CLONE_NEWNET);
        dup2(output[1], STDOUT_FILENO);
        signal(SIGPIPE, SIG_DFL);
        auto ring = std::make_unique<frame_ring>();
        daemon_counters counts;
    client_table clients{counts};
        std::atomic<int> suspended{0};
        monotonic_clock clock;
        tcp_server server{tcp_port, *ring, clients, suspended, clock};
        int result = tcp_server_init(server);
        fflush(stdout);
        struct sigaction current {};
        sigaction(SIGPIPE, nullptr, &current);
        _exit(result == 0 && current.sa_handler == SIG_IGN ? 0 : 1);
    }
    close(output[1]);
    std::string text;
    char block[256];
    ssize_t n;
    while ((n = read(output[0], block, sizeof(block))) > 0) text.append(block, n);
    close(output[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);

    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(text, "TCP server initialization successful (max 4 clients).\n");
}

}  // namespace
