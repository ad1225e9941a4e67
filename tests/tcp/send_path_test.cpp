// send_all and send_at_response on real loopback sockets.
#include <gtest/gtest.h>

#include <csignal>
#include <thread>

#include "tcp_server.hpp"
#include "tcp_test_support.hpp"

using namespace tcp_test;

namespace {

class send_path_test : public ::testing::Test {
protected:
    void SetUp() override {
        // A send that raised SIGPIPE would end this test binary.
        signal(SIGPIPE, SIG_DFL);
        clock.set_s(5000);
    }
    void TearDown() override { clients.clear(); }

    // Puts fd into the given entry as a live client last heard from at `when`.
    void enter(client_registry& table, int index, int fd, int64_t when) {
        client_table_lock lock(table);
        table.entries[index] = client_entry{fd, 1, when, 0};
    }

    stepping_clock clock;
    scoped_clock use_clock{clock};
    client_registry clients;
};

TEST_F(send_path_test, bad_arguments_give_einval_and_send_nothing) {
    tcp_pair pair = loopback_pair();
    const char text[] = "abc";

    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), nullptr, 3, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), text, 0, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(send_all(clients, -1, text, 3, 1000), -1);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), text, 0x80000000u, 1000), -1);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_TRUE(still_open_and_quiet(pair.peer.get()));
}

TEST_F(send_path_test, at_response_reports_einval_for_an_empty_text) {
    tcp_pair pair = loopback_pair();
    const int fd = pair.server.get();

    testing::internal::CaptureStderr();
    EXPECT_EQ(send_at_response(fd, ""), -1);
    EXPECT_EQ(send_at_response(fd, nullptr), -1);
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_EQ(err, "Failed to send AT response to (fd " + std::to_string(fd) +
                       "): Invalid argument\n");
    EXPECT_TRUE(still_open_and_quiet(pair.peer.get()));
}

TEST_F(send_path_test, at_response_sends_the_text_without_its_terminator) {
    tcp_pair pair = loopback_pair();

    testing::internal::CaptureStderr();
    EXPECT_EQ(send_at_response(pair.server.get(), "OK: version 1.1\r\n"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(read_exactly(pair.peer.get(), 17), "OK: version 1.1\r\n");
    EXPECT_TRUE(still_open_and_quiet(pair.peer.get()));
}

TEST_F(send_path_test, whole_buffer_arrives_in_order_and_refreshes_only_its_entry) {
    tcp_pair pair = loopback_pair();
    const std::string data = pattern(300000, 3);
    enter(clients, 0, 999, 7);
    enter(clients, 2, pair.server.get(), 0);

    std::string received;
    std::thread reader([&] { received = read_exactly(pair.peer.get(), data.size()); });
    int result = send_all(clients, pair.server.get(), data.data(),
                          static_cast<uint32_t>(data.size()), 5000);
    reader.join();

    EXPECT_EQ(result, static_cast<int>(data.size()));
    EXPECT_TRUE(received == data);
    EXPECT_EQ(clients.read(0).last_activity, 7);
    EXPECT_EQ(clients.read(2).last_activity, clock.peek_s());
    EXPECT_EQ(clients.read(2).timeout_count, 0);
    EXPECT_EQ(clients.read(2).active, 1);
}

TEST_F(send_path_test, descriptor_in_no_entry_is_still_sent_to) {
    tcp_pair pair = loopback_pair();
    enter(clients, 1, 999, 7);

    EXPECT_EQ(send_all(clients, pair.server.get(), "frame", 5, 1000), 5);

    EXPECT_EQ(read_exactly(pair.peer.get(), 5), "frame");
    EXPECT_EQ(clients.read(1).last_activity, 7);
    EXPECT_EQ(clients.read(0).fd, -1);
    EXPECT_EQ(clients.read(0).last_activity, 0);
}

TEST_F(send_path_test, closed_sending_side_gives_epipe_without_a_signal) {
    tcp_pair pair = loopback_pair();
    ASSERT_EQ(shutdown(pair.server.get(), SHUT_WR), 0);

    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), "x", 1, 1000), -1);
    EXPECT_EQ(errno, EPIPE);
}

TEST_F(send_path_test, closed_peer_ends_in_epipe_without_a_signal) {
    tcp_pair pair = loopback_pair();
    pair.peer.reset();

    // The first byte may still be taken before the peer's reset comes back; the reset itself
    // may be reported once before the connection settles on EPIPE.
    int last_error = 0;
    for (int attempt = 0; attempt < 5 && last_error != EPIPE; ++attempt) {
        errno = 0;
        if (send_all(clients, pair.server.get(), "x", 1, 1000) == -1) {
            last_error = errno;
            EXPECT_TRUE(last_error == ECONNRESET || last_error == EPIPE) << strerror(last_error);
        }
    }
    EXPECT_EQ(last_error, EPIPE);
}

TEST_F(send_path_test, full_socket_times_out_after_refreshing_for_each_piece_that_went_out) {
    tcp_pair pair = loopback_pair(4096, 4096);
    enter(clients, 3, pair.server.get(), 0);
    const std::string data = pattern(4 * 1024 * 1024, 5);

    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), data.data(),
                       static_cast<uint32_t>(data.size()), 50),
              -1);
    EXPECT_EQ(errno, ETIMEDOUT);

    // Pieces went out before the socket filled: the client counts as alive, and what it got is
    // the start of the buffer.
    EXPECT_EQ(clients.read(3).last_activity, clock.peek_s());
    std::string received = read_available(pair.peer.get());
    ASSERT_GT(received.size(), 0u);
    EXPECT_TRUE(received == data.substr(0, received.size()));
    EXPECT_EQ(clients.read(3).timeout_count, 0);
    EXPECT_EQ(clients.read(3).active, 1);
}

TEST_F(send_path_test, socket_full_from_the_start_times_out_without_refreshing) {
    tcp_pair pair = stalled_pair();
    fill_socket(pair.server.get());
    enter(clients, 0, pair.server.get(), 0);

    errno = 0;
    EXPECT_EQ(send_all(clients, pair.server.get(), "x", 1, 50), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_EQ(clients.read(0).last_activity, 0);
}

TEST_F(send_path_test, process_wide_form_refreshes_the_daemon_table) {
    tcp_pair pair = loopback_pair();
    client_table.clear();
    enter(client_table, 1, pair.server.get(), 0);

    EXPECT_EQ(send_all(pair.server.get(), "ab", 2, 1000), 2);

    EXPECT_EQ(client_table.read(1).last_activity, clock.peek_s());
    client_table.clear();
    EXPECT_EQ(read_exactly(pair.peer.get(), 2), "ab");
}

}  // namespace
