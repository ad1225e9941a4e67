#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "status_snapshot.hpp"

namespace {

constexpr int64_t second = 1000000;

std::string reply_of(const status_snapshot& s) {
    char out[status_reply_size];
    const size_t length = format_status_reply(s, out, sizeof out);
    return std::string(out, length);
}

TEST(StatusReply, OneKeyValueLinePerCounterInTheDocumentedOrderThenOk) {
    status_snapshot s;
    s.started_us = 5 * second;
    s.now_us = 125 * second + 400000;
    s.spi_transfers = 1000;
    s.spi_transfer_failures = 2;
    s.last_transfer_us = 122 * second;
    s.raw_queue_drops = 3;
    s.frames_stored = 990;
    s.frames_refused_sync = 4;
    s.frames_refused_length = 5;
    s.frames_refused_crc = 6;
    s.sequence_gaps = 7;
    s.sequence_gap_frames = 8;
    s.ring_overwrites = 766;
    s.clients = 1;
    s.client[2] = {true, 9, {65 * second, 980, 980 * 4096 + 6, 10, 1, 3}};
    s.total_frames_sent = 1980;
    s.total_bytes_sent = 8110086;
    s.total_frames_skipped = 12;
    s.total_timeouts = 1;
    s.total_at_commands = 5;
    s.nan_peers_seen = 2;
    s.nan_data_paths_answered = 1;
    s.nan_data_paths_refused = 1;
    std::string expected =
        "uptime_s=120\r\n"
        "spi_transfers=1000\r\n"
        "spi_transfer_failures=2\r\n"
        "bus_idle_s=3\r\n"
        "raw_queue_drops=3\r\n"
        "frames_stored=990\r\n"
        "frames_refused_sync=4\r\n"
        "frames_refused_length=5\r\n"
        "frames_refused_crc=6\r\n"
        "sequence_gaps=7\r\n"
        "sequence_gap_frames=8\r\n"
        "ring_overwrites=766\r\n"
        "video_suspended=0\r\n"
        "clients=1\r\n";
    for (int i = 0; i < status_client_slots; ++i) {
        const std::string c = "client" + std::to_string(i) + "_";
        if (i == 2) {
            expected += c + "connected=1\r\n" + c + "connection=9\r\n" + c + "connected_s=60\r\n" +
                        c + "frames_sent=980\r\n" + c + "bytes_sent=4014086\r\n" + c +
                        "frames_skipped=10\r\n" + c + "timeouts=1\r\n" + c + "at_commands=3\r\n";
            continue;
        }
        for (const char* key : {"connected", "connection", "connected_s", "frames_sent",
                                "bytes_sent", "frames_skipped", "timeouts", "at_commands"})
            expected += c + key + "=0\r\n";
    }
    expected +=
        "total_frames_sent=1980\r\n"
        "total_bytes_sent=8110086\r\n"
        "total_frames_skipped=12\r\n"
        "total_timeouts=1\r\n"
        "total_at_commands=5\r\n"
        "nan_peers_seen=2\r\n"
        "nan_data_paths_answered=1\r\n"
        "nan_data_paths_refused=1\r\n"
        "OK\r\n";
    EXPECT_EQ(reply_of(s), expected);
}

TEST(StatusReply, TheLargestFiguresFitTheReplyBufferAndATooSmallBufferGivesNothing) {
    status_snapshot s;
    s.started_us = INT64_MIN / 2;
    s.now_us = INT64_MAX / 2;
    for (uint64_t* v : {&s.spi_transfers, &s.spi_transfer_failures, &s.raw_queue_drops,
                        &s.frames_stored, &s.frames_refused_sync, &s.frames_refused_length,
                        &s.frames_refused_crc, &s.sequence_gaps, &s.sequence_gap_frames,
                        &s.ring_overwrites, &s.total_frames_sent, &s.total_bytes_sent,
                        &s.total_frames_skipped, &s.total_timeouts, &s.total_at_commands,
                        &s.nan_peers_seen, &s.nan_data_paths_answered, &s.nan_data_paths_refused})
        *v = UINT64_MAX;
    s.clients = status_client_slots;
    for (client_status& c : s.client)
        c = {true, UINT32_MAX, {INT64_MIN / 2, UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX,
                                UINT64_MAX}};
    const std::string reply = reply_of(s);
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(reply.substr(reply.size() - 4), "OK\r\n");
    char small[64];
    EXPECT_EQ(format_status_reply(s, small, sizeof small), 0u);
}

}  // namespace
