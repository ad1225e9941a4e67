// The streaming tick against its own ring and client table, with a stepping clock.
#include <gtest/gtest.h>

#include <memory>

#include "tcp_test_support.hpp"
#include "video_stream.hpp"

using namespace tcp_test;

namespace {

constexpr int short_video_timeout_ms = 50;

class video_stream_test : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_DFL); }
    void TearDown() override { close_table(clients); }

    // A connected client in entry `index`; the table owns the server side from here on.
    int connect_client(int index) { return enter(index, loopback_pair()); }
    int connect_stalled_client(int index) { return enter(index, stalled_pair()); }

    int enter(int index, tcp_pair pair) {
        const int fd = pair.server.release();
        client_table_lock lock(clients);
        clients.entries[index] = client_entry{fd, 1, clock.peek_s(), 0};
        peers[index] = std::move(pair.peer);
        return fd;
    }

    std::string tick_and_capture() {
        testing::internal::CaptureStderr();
        streamer.tick();
        return testing::internal::GetCapturedStderr();
    }

    static std::string client(int index, int fd) {
        return "Client " + std::to_string(index) + " (fd " + std::to_string(fd) + "): ";
    }

    stepping_clock clock;
    scoped_clock use_clock{clock};
    std::unique_ptr<frame_ring> ring = std::make_unique<frame_ring>();
    client_registry clients;
    std::atomic<int> suspended{0};
    video_streamer streamer{*ring, clients, suspended, short_video_timeout_ms};
    unique_fd peers[max_clients];
};

TEST_F(video_stream_test, no_client_leaves_the_frame_for_later) {
    store_frame(*ring, "first");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 0);

    // The same frame goes to the first client that arrives.
    connect_client(2);
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 1);
    EXPECT_EQ(read_exactly(peers[2].get(), 5), "first");
}

TEST_F(video_stream_test, reset_client_is_closed_and_the_other_still_gets_the_frame) {
    const int reset_fd = connect_client(0);
    const int good_fd = connect_client(1);
    {
        client_table_lock lock(clients);
        clients.entries[1].timeout_count = 3;
        clients.entries[1].last_activity = 0;
    }
    reset_connection(peers[0]);
    store_frame(*ring, "payload-1");

    EXPECT_EQ(tick_and_capture(),
              client(0, reset_fd) + "Send video data failed: Connection reset by peer\n" +
                  client(0, reset_fd) + "Active close invalid connection (fatal error)\n");

    EXPECT_EQ(ring->read_index(), 1);
    EXPECT_EQ(read_exactly(peers[1].get(), 9), "payload-1");
    client_entry freed = clients.read(0);
    EXPECT_EQ(freed.fd, -1);
    EXPECT_EQ(freed.active, 0);
    EXPECT_FALSE(descriptor_open(reset_fd));
    client_entry kept = clients.read(1);
    EXPECT_EQ(kept.fd, good_fd);
    EXPECT_EQ(kept.timeout_count, 0);
    EXPECT_EQ(kept.last_activity, clock.peek_s());
}

TEST_F(video_stream_test, stalled_client_counts_time_outs_and_is_closed_after_the_silence_limit) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(4096, 1));
    const std::string timeout_lines =
        client(0, fd) + "Send video data timeout (retry 1/1): Connection timed out\n" +
        client(0, fd) + "Send video data failed: Connection timed out\n";

    EXPECT_EQ(tick_and_capture(),
              timeout_lines + client(0, fd) + "Send timeout count: 1/1, keep connection\n");
    EXPECT_EQ(ring->read_index(), 0);
    EXPECT_EQ(clients.read(0).timeout_count, 1);

    // Thirteen seconds of silence are still within the limit.
    clock.advance_s(13);
    EXPECT_EQ(tick_and_capture(),
              timeout_lines + client(0, fd) + "Send timeout count: 2/1, keep connection\n");
    EXPECT_EQ(clients.read(0).active, 1);

    clock.advance_s(1);
    EXPECT_EQ(tick_and_capture(),
              timeout_lines + client(0, fd) + "Send timeout count: 3/1, keep connection\n" +
                  client(0, fd) + "Connection detect timeout (14 sec), close connection\n");
    EXPECT_EQ(clients.read(0).active, 0);
    EXPECT_EQ(clients.read(0).fd, -1);
    EXPECT_EQ(clients.read(0).timeout_count, 0);
    EXPECT_FALSE(descriptor_open(fd));
    EXPECT_EQ(ring->read_index(), 0);
}

TEST_F(video_stream_test, silence_sweep_closes_a_client_that_video_cannot_reach) {
    const int good_fd = connect_client(0);
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    unique_fd pipe_read(pipe_fds[0]);
    {
        // A descriptor that refuses sends with an error that is neither fatal nor a time-out.
        client_table_lock lock(clients);
        clients.entries[1] = client_entry{pipe_fds[1], 1, clock.peek_s(), 2};
    }
    const std::string refused =
        client(1, pipe_fds[1]) + "Send video data failed: Socket operation on non-socket\n";

    store_frame(*ring, "one");
    EXPECT_EQ(tick_and_capture(), refused);
    EXPECT_EQ(clients.read(1).timeout_count, 2);
    EXPECT_EQ(clients.read(1).active, 1);
    EXPECT_EQ(ring->read_index(), 1);

    clock.advance_s(14);
    store_frame(*ring, "two");
    EXPECT_EQ(tick_and_capture(),
              refused + client(1, pipe_fds[1]) +
                  "Connection timeout (no comm for 14 sec), close connection\n");
    EXPECT_EQ(clients.read(1).active, 0);
    EXPECT_EQ(clients.read(0).fd, good_fd);
    EXPECT_EQ(read_exactly(peers[0].get(), 6), "onetwo");
}

TEST_F(video_stream_test, empty_ring_times_out_nobody) {
    const int fd = connect_client(0);
    clock.advance_s(100);

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(clients.read(0).fd, fd);
    EXPECT_EQ(clients.read(0).active, 1);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));
}

TEST_F(video_stream_test, suspended_video_sends_nothing_and_times_out_nobody) {
    const int fd = connect_client(0);
    store_frame(*ring, "frame");
    clock.advance_s(100);
    suspended = 1;

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 0);
    EXPECT_EQ(clients.read(0).fd, fd);
    EXPECT_EQ(clients.read(0).active, 1);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));
}

TEST_F(video_stream_test, empty_frame_waits_while_nobody_is_connected) {
    store_frame(*ring, "");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 0);
}

TEST_F(video_stream_test, empty_frame_is_passed_over_without_a_send_or_a_refresh) {
    const int fd = connect_client(0);
    {
        client_table_lock lock(clients);
        clients.entries[0].last_activity = clock.peek_s() - 5;
        clients.entries[0].timeout_count = 2;
    }
    store_frame(*ring, "");
    store_frame(*ring, "abc");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 1);
    client_entry entry = clients.read(0);
    EXPECT_EQ(entry.fd, fd);
    EXPECT_EQ(entry.last_activity, clock.peek_s() - 5);
    EXPECT_EQ(entry.timeout_count, 2);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 2);
    EXPECT_EQ(read_exactly(peers[0].get(), 3), "abc");
}

TEST_F(video_stream_test, empty_frame_still_runs_the_silence_sweep) {
    const int fd = connect_client(3);
    store_frame(*ring, "");
    clock.advance_s(14);

    EXPECT_EQ(tick_and_capture(),
              client(3, fd) + "Connection timeout (no comm for 14 sec), close connection\n");
    EXPECT_EQ(ring->read_index(), 1);
    EXPECT_EQ(clients.read(3).active, 0);
    EXPECT_TRUE(sees_close(peers[3].get()));
}

TEST_F(video_stream_test, clients_receive_exactly_the_concatenated_payloads) {
    connect_client(0);
    connect_client(2);
    const std::string payloads[] = {pattern(1, 0),   pattern(4096, 1), "",
                                    pattern(100, 2), pattern(4095, 3), pattern(7, 4)};
    std::string expected;
    for (const std::string& payload : payloads) {
        store_frame(*ring, payload);
        expected += payload;
    }

    testing::internal::CaptureStderr();
    for (int i = 0; i < 20 && ring->read_index() != ring->write_index(); ++i) streamer.tick();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(ring->read_index(), 6);
    EXPECT_TRUE(read_exactly(peers[0].get(), expected.size()) == expected);
    EXPECT_TRUE(read_exactly(peers[2].get(), expected.size()) == expected);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));
    EXPECT_TRUE(still_open_and_quiet(peers[2].get()));
}

TEST_F(video_stream_test, descriptor_zero_counts_as_no_socket) {
    {
        client_table_lock lock(clients);
        clients.entries[0] = client_entry{0, 1, 0, 0};
    }
    store_frame(*ring, "frame");
    clock.advance_s(100);

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(ring->read_index(), 0);
    EXPECT_EQ(clients.read(0).active, 1);
    {
        client_table_lock lock(clients);
        set_entry_free(clients.entries[0]);
    }
}

}  // namespace
