#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "nan_event.hpp"

namespace {

std::vector<std::string> drain(event_line_queue& ring) {
    std::vector<std::string> lines;
    char out[event_line_size];
    while (ring.count() > 0) {
        EXPECT_EQ(ring.pop(out), 0);
        lines.emplace_back(out);
    }
    return lines;
}

// Feeds text through the listener's read rule, as if `iw` had printed it.
std::vector<std::string> through_read_rule(const std::string& text, std::string* printed) {
    auto ring = std::make_unique<event_line_queue>();
    std::vector<char> buffer(text.begin(), text.end());
    FILE* stream = fmemopen(buffer.data(), buffer.size(), "r");
    EXPECT_NE(stream, nullptr);
    testing::internal::CaptureStdout();
    forward_event_lines(stream, *ring);
    *printed = testing::internal::GetCapturedStdout();
    fclose(stream);
    return drain(*ring);
}

TEST(EventQueue, KeepsOrderAcrossTheWrapAndCutsLinesAt511Characters) {
    auto ring = std::make_unique<event_line_queue>();
    char out[event_line_size];
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 15; ++i) ring->push(std::to_string(round * 100 + i).c_str());
        for (int i = 0; i < 15; ++i) {
            ASSERT_EQ(ring->pop(out), 0);
            EXPECT_EQ(std::string(out), std::to_string(round * 100 + i));
        }
    }
    std::string long_line(700, 'x');
    ring->push(long_line.c_str());
    ASSERT_EQ(ring->pop(out), 0);
    EXPECT_EQ(std::string(out), std::string(511, 'x'));
}

TEST(EventQueue, AnEmptyRingTimesOutAfterItsWait) {
    auto ring = std::make_unique<event_line_queue>();
    char out[event_line_size] = "untouched";
    EXPECT_EQ(ring->pop(out), ETIMEDOUT);
    EXPECT_STREQ(out, "untouched");
}

TEST(ListenerReadRule, A600CharacterLineBecomes511And89Entries) {
    std::string line(600, 'a');
    for (size_t i = 511; i < 600; ++i) line[i] = 'b';
    std::string printed;
    std::vector<std::string> lines = through_read_rule(line + "\n", &printed);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(511, 'a'));
    EXPECT_EQ(lines[1], std::string(89, 'b'));
    EXPECT_EQ(printed, "[nan_event_listener] Raw event: " + std::string(511, 'a') +
                           "\n[nan_event_listener] Raw event: " + std::string(89, 'b') + "\n");
}

TEST(ListenerReadRule, AnEmptyLineIsAnEmptyEntryAndTheLastLineNeedsNoNewline) {
    std::string printed;
    std::vector<std::string> lines =
        through_read_rule("first\n\nvendor event: 00 01 \nno newline at end", &printed);
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "", "vendor event: 00 01 ",
                                               "no newline at end"}));
    EXPECT_EQ(printed,
              "[nan_event_listener] Raw event: first\n"
              "[nan_event_listener] Raw event: \n"
              "[nan_event_listener] Raw event: vendor event: 00 01 \n"
              "[nan_event_listener] Raw event: no newline at end\n");
}

TEST(EventQueue, APushIntoAFullRingWaitsForRoomAndLosesNothing) {
    auto ring = std::make_unique<event_line_queue>();
    constexpr int lines = 45;  // two requests' worth and more, while the reader is busy
    std::thread listener([&] {
        for (int i = 1; i <= lines; ++i) ring->push(("line " + std::to_string(i)).c_str());
    });
    // The reader is busy at first: the listener fills the ring and then waits.
    while (ring->count() < event_queue_slots) std::this_thread::yield();
    std::vector<std::string> taken;
    char out[event_line_size];
    while (taken.size() < static_cast<size_t>(lines)) {
        if (ring->pop(out) == 0) taken.emplace_back(out);
    }
    listener.join();
    for (int i = 0; i < lines; ++i) EXPECT_EQ(taken[i], "line " + std::to_string(i + 1));
}

}  // namespace
