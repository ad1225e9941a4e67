#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "log_test_support.hpp"

namespace {

using lines = std::vector<std::string>;

constexpr int64_t second_us = 1000000;

class LogRepeatLimit : public testing::Test {
protected:
    LogRepeatLimit() { test_now_us.store(5 * second_us); }

    // `count` lines of the kind now, each printed when the limit allows it.
    void repeat(log_repeat_limit& limit, int count, log_stream stream = log_stream::err) {
        for (int i = 0; i < count; ++i, ++number_)
            if (limit.allow()) log.print(stream, "event %d\n", number_);
    }
    lines events(int first, int count) {
        lines made;
        for (int i = first; i < first + count; ++i) made.push_back("event " + std::to_string(i));
        return made;
    }

    test_log log;
    int number_ = 0;
};

TEST_F(LogRepeatLimit, TenASecondThenTheCountComesBeforeTheNextLineOfItsKind) {
    log_repeat_limit limit("invalid frame (sync)", -1, log.book);
    repeat(limit, 25);
    EXPECT_EQ(log.err.lines(10), events(0, 10));
    test_now_us += second_us - 1;
    repeat(limit, 1);
    EXPECT_EQ(log.err.ready_now(), "");
    test_now_us += 1;
    repeat(limit, 3);
    lines expected{"[log] invalid frame (sync): 16 more not shown (at most 10 a second)"};
    const lines later = events(26, 3);
    expected.insert(expected.end(), later.begin(), later.end());
    // Written at once (no log thread), on the stream of the lines it counts.
    EXPECT_EQ(log.err.lines(expected.size()), expected);
    EXPECT_EQ(log.out.ready_now(), "");
}

TEST_F(LogRepeatLimit, TheLogThreadWritesTheCountWhenNoFurtherLineComes) {
    ASSERT_EQ(log.book.start(), 0);
    log_repeat_limit limit("CRC mismatch", -1, log.book);
    repeat(limit, 14, log_stream::out);
    EXPECT_EQ(log.out.lines(10), events(0, 10));
    test_now_us += second_us;
    log.book.wake();
    EXPECT_EQ(log.out.lines(1),
              lines{"[log] CRC mismatch: 4 more not shown (at most 10 a second)"});
    repeat(limit, 1, log_stream::out);
    EXPECT_EQ(log.out.lines(1), events(14, 1));
    EXPECT_EQ(log.err.ready_now(), "");
}

TEST_F(LogRepeatLimit, EachKindAndEachNumberedOneHasItsOwnAllowance) {
    log_repeat_limit sync("invalid frame (sync)", -1, log.book);
    log_repeat_limits<2> received("received data from client", log.book);
    log_repeat_limit& client = received[1];
    repeat(sync, 12);
    repeat(client, 11);
    test_now_us += second_us;
    repeat(client, 1);
    repeat(sync, 1);
    lines expected = events(0, 10);
    const lines client_lines = events(12, 10);
    expected.insert(expected.end(), client_lines.begin(), client_lines.end());
    expected.push_back("[log] received data from client 1: 1 more not shown (at most 10 a second)");
    expected.push_back("event 23");
    expected.push_back("[log] invalid frame (sync): 2 more not shown (at most 10 a second)");
    expected.push_back("event 24");
    EXPECT_EQ(log.err.lines(expected.size()), expected);
}

}  // namespace
