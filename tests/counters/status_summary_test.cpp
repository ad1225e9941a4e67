#include <gtest/gtest.h>

#include <string>

#include "status_summary.hpp"

namespace {

constexpr int64_t second = 1000000;
constexpr int64_t start = 1000 * second;

status_snapshot at(int64_t seconds_after_start) {
    status_snapshot s;
    s.started_us = start;
    s.now_us = start + seconds_after_start * second;
    s.last_transfer_us = s.now_us;
    return s;
}

std::string summary(status_window& window, const status_snapshot& s) {
    char out[256];
    const size_t length = window.summary(s, out, sizeof out);
    return std::string(out, length);
}

TEST(StatusSummary, RatesAndLossesOverTheLastSpan) {
    status_window window(status_summary_span_s, start);
    status_snapshot s = at(0);
    EXPECT_EQ(summary(window, s), "0 clients, 0.0 frames/s in, 0 lost, 0 bad in the last 0 s");

    // Called every 2 s: the window reaches back to the reading 10 s before.
    for (int t = 2; t <= 20; t += 2) {
        s = at(t);
        s.frames_stored = static_cast<uint64_t>(t) * 90;
        s.clients = 4;
        if (t == 20) {
            s.raw_queue_drops = 1;
            s.sequence_gap_frames = 2;
            s.ring_overwrites = 3;
            s.total_frames_skipped = 4;
            s.frames_refused_crc = 5;
            s.frames_refused_sync = 1;
        }
        const std::string got = summary(window, s);
        if (t == 10) {
            EXPECT_EQ(got, "4 clients, 90.0 frames/s in, 0 lost, 0 bad in the last 10 s");
        }
    }
    EXPECT_EQ(summary(window, s), "4 clients, 90.0 frames/s in, 10 lost, 6 bad in the last 10 s");
    s.clients = 1;
    s.now_us += 10 * second;
    s.last_transfer_us = s.now_us - 7 * second;
    EXPECT_EQ(summary(window, s),
              "1 client, 0.0 frames/s in, 0 lost, 0 bad in the last 10 s, bus idle 7 s");
}

TEST(StatusSummary, FrequentCallsStillCoverAWholeSpan) {
    status_window window(status_summary_span_s, start);
    status_snapshot s = at(0);
    for (int tenth = 1; tenth <= 300; ++tenth) {
        s.now_us = start + tenth * second / 10;
        s.last_transfer_us = s.now_us;
        s.frames_stored = static_cast<uint64_t>(tenth) * 3;  // 30 a second
        summary(window, s);
    }
    const std::string got = summary(window, s);
    EXPECT_EQ(got.substr(0, 31), "0 clients, 30.0 frames/s in, 0 ");
    EXPECT_NE(got.find("in the last 1"), std::string::npos) << got;
}

TEST(StatusLog, OneLineAMinuteOnlyWhileSomethingMoved) {
    status_log log(start);
    status_snapshot s = at(30);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(log.tick(s));  // before the first minute is up
    s = at(61);
    EXPECT_FALSE(log.tick(s));  // nothing moved
    s = at(122);
    s.frames_stored = 5490;
    s.total_frames_sent = 5400;
    s.clients = 1;
    // A different figure for every count in the line.
    s.raw_queue_drops = 1;
    s.sequence_gap_frames = 2;
    s.ring_overwrites = 3;
    s.total_frames_skipped = 4;
    s.frames_refused_sync = 5;
    s.frames_refused_length = 6;
    s.frames_refused_crc = 7;
    EXPECT_TRUE(log.tick(s));
    EXPECT_FALSE(log.tick(s));  // the next minute has not begun
    s.now_us = start + 183 * second;
    s.last_transfer_us = s.now_us;
    EXPECT_FALSE(log.tick(s));  // a minute in which nothing moved
    s.now_us = start + 244 * second;
    s.last_transfer_us = start + 200 * second;
    s.spi_transfer_failures = 4;
    EXPECT_TRUE(log.tick(s));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Status: 1 client, 90.0 frames/s in, 88.5 frames/s out, 10 lost (raw queue 1, "
              "sequence gaps 2, ring 3, busy clients 4), 18 bad (sync 5, length 6, CRC 7) in the "
              "last 61 s\n"
              "Status: 1 client, 0.0 frames/s in, 0.0 frames/s out, 0 lost (raw queue 0, sequence "
              "gaps 0, ring 0, busy clients 0), 0 bad (sync 0, length 0, CRC 0) in the last 61 s, "
              "bus idle 44 s\n");
}

}  // namespace
