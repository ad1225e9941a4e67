// The streaming tick against its own ring and client table, with a stepping clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "tcp_test_support.hpp"
#include "video_stream.hpp"

using namespace tcp_test;

namespace {

class video_stream_test : public ::testing::Test {
protected:
    void SetUp() override { signal(SIGPIPE, SIG_DFL); }

    // A connected client in entry `index`; the table owns the server side from here on.
    int connect_client(int index) { return enter(index, loopback_pair()); }
    int connect_stalled_client(int index) { return enter(index, stalled_pair()); }

    int enter(int index, tcp_pair pair) {
        const int fd = pair.server.release();
        clients.open(index, fd, clock.now_us());
        peers[index] = std::move(pair.peer);
        return fd;
    }

    std::string write_and_capture(int index) {
        testing::internal::CaptureStderr();
        streamer.writer().write(index, clock.now_us());
        return testing::internal::GetCapturedStderr();
    }

    std::string tick_and_capture() {
        testing::internal::CaptureStderr();
        streamer.tick();
        return testing::internal::GetCapturedStderr();
    }

    static std::string about(int index, int fd) {
        return "Client " + std::to_string(index) + " (fd " + std::to_string(fd) + "): ";
    }

    stepping_clock clock;
    std::unique_ptr<frame_ring> ring = std::make_unique<frame_ring>();
    daemon_counters counts;
    client_table clients{counts};
    std::atomic<int> suspended{0};
    video_streamer streamer{*ring, clients, suspended, clock};
    unique_fd peers[max_clients];
};

TEST_F(video_stream_test, no_client_leaves_the_frame_for_later) {
    store_frame(*ring, "first");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 1);

    // The same frame goes to the first client that arrives.
    connect_client(2);
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_EQ(read_exactly(peers[2].get(), 5), "first");
}

TEST_F(video_stream_test, reset_client_is_closed_and_the_other_still_gets_the_frame) {
    const int reset_fd = connect_client(0);
    const int good_fd = connect_client(1);
    clients.at(1).timeout_count = 3;
    clients.at(1).last_activity = 0;
    reset_connection(peers[0]);
    store_frame(*ring, "payload-1");

    EXPECT_EQ(tick_and_capture(),
              about(0, reset_fd) + "Send video data failed: Connection reset by peer\n" +
                  about(0, reset_fd) + "Active close invalid connection (fatal error)\n");

    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_EQ(read_exactly(peers[1].get(), 9), "payload-1");
    EXPECT_EQ(clients.at(0).fd, -1);
    EXPECT_FALSE(descriptor_open(reset_fd));
    const client& kept = clients.at(1);
    EXPECT_EQ(kept.fd, good_fd);
    EXPECT_EQ(kept.timeout_count, 0);
    EXPECT_EQ(kept.last_activity, clock.peek_s());
}

// ---- the rest a client is owed ----

const std::string timeout_lines(int fd, int count) {
    const std::string c = "Client 0 (fd " + std::to_string(fd) + "): ";
    return c + "Send video data timeout (retry 1/1): Connection timed out\n" + c +
           "Send video data failed: Connection timed out\n" + c + "Send timeout count: " +
           std::to_string(count) + "/1, keep connection\n";
}

TEST_F(video_stream_test, frame_a_full_socket_refuses_is_kept_whole_and_goes_before_later_frames) {
    const int stalled_fd = connect_stalled_client(0);
    connect_client(1);
    fill_socket(stalled_fd);
    const std::string first = pattern(3000, 1);
    store_frame(*ring, first);

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 0);  // client 1 has it whole
    EXPECT_EQ(clients.at(0).rest_length, 3000u);

    // Frames that go by while the rest waits are the stalled client's loss, not the others'.
    store_frame(*ring, "second");
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(read_exactly(peers[1].get(), 3006), first + "second");

    // Once the peer reads, the rest goes out first, whole, and the next frame follows it.
    std::string got;
    for (int i = 0; i < 1000 && clients.at(0).has_rest(); ++i) {
        got += read_available(peers[0].get());
        EXPECT_EQ(write_and_capture(0), "");
    }
    ASSERT_FALSE(clients.at(0).has_rest());
    store_frame(*ring, "third");
    EXPECT_EQ(tick_and_capture(), "");
    got += read_available(peers[0].get());
    const std::string tail = first + "third";
    ASSERT_GT(got.size(), tail.size());
    EXPECT_TRUE(got.substr(got.size() - tail.size()) == tail);
    const std::string filler = got.substr(0, got.size() - tail.size());
    EXPECT_EQ(filler.find_first_not_of('\0'), std::string::npos);  // what fill_socket sent

    // Counted as the server sent them: the rest once whole, the frame it missed as skipped.
    const client_counters stalled = clients.at(0).figures.reading();
    EXPECT_EQ(stalled.frames_sent, 2u);
    EXPECT_EQ(stalled.bytes_sent, 3005u);
    EXPECT_EQ(stalled.frames_skipped, 1u);
    const client_counters reader = clients.at(1).figures.reading();
    EXPECT_EQ(reader.frames_sent, 3u);
    EXPECT_EQ(reader.bytes_sent, 3011u);
    EXPECT_EQ(reader.frames_skipped, 0u);
}

TEST_F(video_stream_test, rest_gives_time_out_lines_once_per_period_until_the_silence_rule_closes) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(4096, 1));
    store_frame(*ring, "later");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 2);  // nobody has it whole
    clock.advance_s(4);
    EXPECT_EQ(tick_and_capture(), "");
    clock.advance_s(1);
    EXPECT_EQ(tick_and_capture(), timeout_lines(fd, 1));
    EXPECT_EQ(clients.at(0).timeout_count, 1);
    clock.advance_s(1);
    EXPECT_EQ(tick_and_capture(), "");
    clock.advance_s(4);
    EXPECT_EQ(tick_and_capture(), timeout_lines(fd, 2));
    clock.advance_s(4);
    EXPECT_EQ(tick_and_capture(),
              about(0, fd) + "Connection timeout (no comm for 14 sec), close connection\n");
    EXPECT_EQ(clients.at(0).connected(), false);
    EXPECT_FALSE(descriptor_open(fd));
    EXPECT_FALSE(clients.at(0).has_rest());
}

TEST_F(video_stream_test, time_out_of_a_silent_client_closes_it_with_the_detect_line) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(100, 1));
    EXPECT_EQ(tick_and_capture(), "");
    clients.at(0).last_activity -= 10;
    clock.advance_s(5);
    EXPECT_EQ(tick_and_capture(),
              timeout_lines(fd, 1) + about(0, fd) +
                  "Connection detect timeout (14 sec), close connection\n");
    EXPECT_EQ(clients.at(0).connected(), false);
}

// Progress on the rest does not restart its time-out: a peer that takes a little now and then
// still gets the lines 5 s after the rest began.
TEST_F(video_stream_test, peer_draining_a_little_at_a_time_cannot_stretch_the_time_out) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(4096, 2));
    EXPECT_EQ(tick_and_capture(), "");
    const uint32_t kept = clients.at(0).rest_length;
    char block[1024];
    for (int second = 1; second <= 4; ++second) {
        ASSERT_EQ(recv(peers[0].get(), block, sizeof(block), 0), 1024);
        clock.advance_s(1);
        EXPECT_EQ(write_and_capture(0), "");
        EXPECT_EQ(tick_and_capture(), "");
    }
    EXPECT_GT(kept, clients.at(0).rest_length);  // it did move
    ASSERT_TRUE(clients.at(0).has_rest());
    clock.advance_s(1);
    EXPECT_EQ(tick_and_capture(), timeout_lines(fd, 1));
}

// ---- replies ----

// The writer stages a reply in the rest buffer and keeps what the socket left of it from there:
// when less than half went out, the kept bytes overlap their new place.
TEST(client_output_test, reply_kept_from_its_own_staging_moves_intact) {
    auto out = std::make_unique<client>();
    for (uint32_t i = 0; i < rest_capacity; ++i) out->rest[i] = static_cast<uint8_t>(i * 7 + 1);
    out->keep(rest_kind::reply, out->rest + 1000, 3000, 0, video_send_timeout_ms);
    ASSERT_EQ(out->rest_length, 3000u);
    for (uint32_t i = 0; i < 3000; ++i) {
        ASSERT_EQ(out->rest[i], static_cast<uint8_t>((i + 1000) * 7 + 1)) << i;
    }
}

TEST_F(video_stream_test, reply_that_cannot_start_is_dropped_after_1000_ms_not_5000) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    const int64_t ready = clock.now_us();
    ASSERT_EQ(clients.post_reply(0, 1, "OK\r\n", 4, ready, true), 0);

    EXPECT_EQ(write_and_capture(0), "");
    EXPECT_TRUE(clients.replies_owed(0));
    clock.set_us(ready + 998000);  // each reading of this clock adds 1 ms
    EXPECT_EQ(write_and_capture(0), "");
    EXPECT_TRUE(clients.replies_owed(0));
    clock.set_us(ready + 999000);
    EXPECT_EQ(write_and_capture(0),
              "Failed to send AT response to (fd " + std::to_string(fd) +
                  "): Connection timed out\n");
    EXPECT_FALSE(clients.replies_owed(0));
    EXPECT_EQ(clients.at(0).connected(), true);
}

// The reply's second runs from when it was posted, even behind a frame the client has not
// taken: a client that never reads holds its own replies no longer than that.
TEST_F(video_stream_test, reply_behind_an_unsent_frame_is_dropped_after_1000_ms_too) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(100, 1));
    EXPECT_EQ(tick_and_capture(), "");
    ASSERT_TRUE(clients.at(0).has_rest());
    const int64_t ready = clock.now_us();
    ASSERT_EQ(clients.post_reply(0, 1, "OK\r\n", 4, ready, true), 0);
    ASSERT_EQ(clients.post_reply(0, 1, "later\r\n", 7, ready + 500000, false), 0);

    clock.set_us(ready + 998000);
    EXPECT_EQ(write_and_capture(0), "");
    clock.set_us(ready + 999000);
    const std::string dropped =
        "Failed to send AT response to (fd " + std::to_string(fd) + "): Connection timed out\n";
    EXPECT_EQ(write_and_capture(0), dropped);
    EXPECT_TRUE(clients.replies_owed(0));
    clock.set_us(ready + 1499000);
    EXPECT_EQ(write_and_capture(0), dropped);
    EXPECT_FALSE(clients.replies_owed(0));
    EXPECT_TRUE(clients.at(0).has_rest());
    EXPECT_EQ(clients.at(0).connected(), true);
}

// A reply the socket took only part of is finished from its rest: bytes for the client, not a
// frame.
TEST_F(video_stream_test, reply_finished_from_its_rest_counts_bytes_not_a_frame) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    char block[4096];
    ASSERT_EQ(recv(peers[0].get(), block, sizeof block, 0), 4096);  // room for part of it
    const std::string reply = pattern(at_reply_max, 3);
    ASSERT_EQ(clients.post_reply(0, 1, reply.data(), at_reply_max, clock.now_us(), true), 0);
    EXPECT_EQ(write_and_capture(0), "");
    ASSERT_TRUE(clients.at(0).has_rest());

    std::string got;
    for (int i = 0; i < 1000 && clients.at(0).has_rest(); ++i) {
        got += read_available(peers[0].get());
        EXPECT_EQ(write_and_capture(0), "");
    }
    got += read_available(peers[0].get());
    ASSERT_GE(got.size(), reply.size());
    EXPECT_TRUE(got.substr(got.size() - reply.size()) == reply);
    const client_counters counted = clients.at(0).figures.reading();
    EXPECT_EQ(counted.bytes_sent, at_reply_max);
    EXPECT_EQ(counted.frames_sent, 0u);
}

// 65536 bytes hold 15 of the longest replies with their headers; the 16th goes over. The close
// reports the commands' replies it drops in one line; busy replies are not counted.
TEST_F(video_stream_test, client_owed_more_than_64_kib_of_replies_is_closed) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    const std::string reply(at_reply_max, 'r');
    int taken = 0;
    while (clients.post_reply(0, 1, reply.data(), at_reply_max, clock.now_us(), taken % 3 != 0) ==
           0) {
        ++taken;
    }
    EXPECT_EQ(taken, 15);
    EXPECT_EQ(clients.post_reply(0, 1, "OK\r\n", 4, clock.now_us(), false), ENOBUFS);

    EXPECT_EQ(write_and_capture(0),
              about(0, fd) + "Owed replies over 65536 bytes, close connection\n" +
                  "Failed to send AT response to (fd " + std::to_string(fd) +
                  "): Broken pipe: 10 replies dropped\n");
    EXPECT_EQ(clients.at(0).connected(), false);
    EXPECT_FALSE(descriptor_open(fd));
}

// After the time-out lines the client is left alone for 100 ms, even once its socket drains.
TEST_F(video_stream_test, timed_out_client_is_left_alone_for_100_ms) {
    const int fd = connect_stalled_client(0);
    fill_socket(fd);
    store_frame(*ring, pattern(100, 1));
    EXPECT_EQ(tick_and_capture(), "");
    clock.advance_s(5);
    EXPECT_EQ(tick_and_capture(), timeout_lines(fd, 1));
    const int64_t timed_out = clock.now_us();
    ASSERT_FALSE(read_available(peers[0].get()).empty());

    clock.set_us(timed_out + 50000);
    EXPECT_EQ(write_and_capture(0), "");
    EXPECT_TRUE(clients.at(0).has_rest());
    EXPECT_EQ(read_available(peers[0].get()), "");
    clock.set_us(timed_out + 150000);
    EXPECT_EQ(write_and_capture(0), "");
    EXPECT_FALSE(clients.at(0).has_rest());
    EXPECT_EQ(read_available(peers[0].get()), pattern(100, 1));
}

TEST_F(video_stream_test, reply_goes_whole_between_frames_and_only_to_its_connection) {
    connect_client(0);
    connect_client(1);
    store_frame(*ring, "frame-1");
    EXPECT_EQ(tick_and_capture(), "");
    ASSERT_EQ(clients.post_reply(0, 1, "OK\r\n", 4, clock.now_us(), true), 0);
    EXPECT_EQ(clients.post_reply(0, 2, "stale\r\n", 7, clock.now_us(), true), EPIPE);
    store_frame(*ring, "frame-2");
    EXPECT_EQ(tick_and_capture(), "");  // owed a reply: the frame passes it by
    EXPECT_EQ(write_and_capture(0), "");
    store_frame(*ring, "frame-3");
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(read_exactly(peers[0].get(), 18), "frame-1OK\r\nframe-3");
    EXPECT_EQ(read_exactly(peers[1].get(), 21), "frame-1frame-2frame-3");
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));

    // The status shows each entry's counters: replies count as bytes, not frames.
    char status[status_reply_size];
    const std::string text(status, clients.format_status(false, clock.now_us(), status,
                                                         sizeof status));
    EXPECT_NE(text.find("\r\nclients=2\r\nclient0_connected=1\r\nclient0_connection=1\r\n"
                        "client0_connected_s=0\r\nclient0_frames_sent=2\r\n"
                        "client0_bytes_sent=18\r\nclient0_frames_skipped=1\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\nclient1_frames_sent=3\r\nclient1_bytes_sent=21\r\n"
                        "client1_frames_skipped=0\r\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\r\nclient2_connected=0\r\n"), std::string::npos) << text;

    // The next connection in that entry counts from nothing.
    clients.close(0);
    connect_client(0);
    const std::string reused(status, clients.format_status(false, clock.now_us(), status,
                                                           sizeof status));
    EXPECT_NE(reused.find("\r\nclient0_connected=1\r\nclient0_connection=3\r\n"
                          "client0_connected_s=0\r\nclient0_frames_sent=0\r\n"
                          "client0_bytes_sent=0\r\nclient0_frames_skipped=0\r\n"
                          "client0_timeouts=0\r\nclient0_at_commands=0\r\n"),
              std::string::npos)
        << reused;
}

TEST_F(video_stream_test, silence_sweep_closes_a_client_that_video_cannot_reach) {
    const int good_fd = connect_client(0);
    int pipe_fds[2];
    ASSERT_EQ(pipe2(pipe_fds, O_CLOEXEC), 0);
    unique_fd pipe_read(pipe_fds[0]);
    {
        // A descriptor that refuses sends with an error that is neither fatal nor a time-out.
        clients.open(1, pipe_fds[1], clock.now_us());
        clients.at(1).timeout_count = 2;
    }
    const std::string refused =
        about(1, pipe_fds[1]) + "Send video data failed: Socket operation on non-socket\n";

    store_frame(*ring, "one");
    EXPECT_EQ(tick_and_capture(), refused);
    EXPECT_EQ(clients.at(1).timeout_count, 2);
    EXPECT_EQ(clients.at(1).connected(), true);
    EXPECT_EQ(unread_frames(*ring), 0);

    clock.advance_s(14);
    store_frame(*ring, "two");
    EXPECT_EQ(tick_and_capture(),
              refused + about(1, pipe_fds[1]) +
                  "Connection timeout (no comm for 14 sec), close connection\n");
    EXPECT_EQ(clients.at(1).connected(), false);
    EXPECT_EQ(clients.at(0).fd, good_fd);
    EXPECT_EQ(read_exactly(peers[0].get(), 6), "onetwo");
}

TEST_F(video_stream_test, suspended_video_sends_nothing_and_times_out_nobody) {
    const int fd = connect_client(0);
    store_frame(*ring, "frame");
    clock.advance_s(100);
    suspended = 1;

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 1);
    EXPECT_EQ(clients.at(0).fd, fd);
    EXPECT_EQ(clients.at(0).connected(), true);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));
}

TEST_F(video_stream_test, empty_frame_waits_while_nobody_is_connected) {
    store_frame(*ring, "");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 1);
}

TEST_F(video_stream_test, empty_frame_is_passed_over_without_a_send_or_a_refresh) {
    const int fd = connect_client(0);
    {
        clients.at(0).last_activity = clock.peek_s() - 5;
        clients.at(0).timeout_count = 2;
    }
    store_frame(*ring, "");

    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 0);
    const client& entry = clients.at(0);
    EXPECT_EQ(entry.fd, fd);
    EXPECT_EQ(entry.last_activity, clock.peek_s() - 5);
    EXPECT_EQ(entry.timeout_count, 2);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));

    store_frame(*ring, "abc");
    EXPECT_EQ(tick_and_capture(), "");
    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_EQ(read_exactly(peers[0].get(), 3), "abc");
}

TEST_F(video_stream_test, empty_frame_still_runs_the_silence_sweep) {
    const int fd = connect_client(3);
    store_frame(*ring, "");
    clock.advance_s(14);

    EXPECT_EQ(tick_and_capture(),
              about(3, fd) + "Connection timeout (no comm for 14 sec), close connection\n");
    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_EQ(clients.at(3).connected(), false);
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
    for (int i = 0; i < 20 && unread_frames(*ring) != 0; ++i) streamer.tick();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    EXPECT_EQ(unread_frames(*ring), 0);
    EXPECT_TRUE(read_exactly(peers[0].get(), expected.size()) == expected);
    EXPECT_TRUE(read_exactly(peers[2].get(), expected.size()) == expected);
    EXPECT_TRUE(still_open_and_quiet(peers[0].get()));
    EXPECT_TRUE(still_open_and_quiet(peers[2].get()));
}

}  // namespace
