#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "log_test_support.hpp"

namespace {

using lines = std::vector<std::string>;

TEST(LogBook, BeforeStartEachLineIsWrittenAtOnceToItsStream) {
    test_log log;
    log.print(log_stream::out, "progress %d\n", 1);
    log.print(log_stream::err, "failure %s\n", "two");
    EXPECT_EQ(log.out.ready_now(), "progress 1\n");
    EXPECT_EQ(log.err.ready_now(), "failure two\n");
}

TEST(LogBook, QueuedLinesGoToTheirStreamsInTheOrderOfEachThread) {
    test_log log(65536);  // room for every line: none is dropped
    ASSERT_EQ(log.book.start(), 0);
    constexpr int count = 300;
    std::thread second([&] {
        for (int i = 0; i < count; ++i) log.print(log_stream::err, "second %d\n", i);
    });
    for (int i = 0; i < count; ++i) log.print(log_stream::out, "first %d\n", i);
    second.join();
    lines expected_out, expected_err;
    for (int i = 0; i < count; ++i) {
        expected_out.push_back("first " + std::to_string(i));
        expected_err.push_back("second " + std::to_string(i));
    }
    EXPECT_EQ(log.out.lines(count), expected_out);
    EXPECT_EQ(log.err.lines(count), expected_err);
}

TEST(LogBook, OneThreadsLinesKeepTheirOrderAcrossBothStreams) {
    test_log log(65536, true);
    ASSERT_EQ(log.book.start(), 0);
    lines expected;
    for (int i = 0; i < 200; ++i) {
        const log_stream stream = i % 3 == 0 ? log_stream::err : log_stream::out;
        log.print(stream, "line %d\n", i);
        expected.push_back("line " + std::to_string(i));
    }
    EXPECT_EQ(log.out.lines(expected.size()), expected);
}

TEST(LogBook, AFullRingDropsLinesAndSaysHowManyWhereTheyWereLost) {
    // 128 bytes hold ten records of "line N\n" (4 + 8 bytes); the output is blocked, so the
    // log thread cannot free any.
    test_log log(128, true);
    const int write_fd = log.out.write_fd();
    fcntl(write_fd, F_SETPIPE_SZ, 4096);
    fcntl(write_fd, F_SETFL, O_NONBLOCK);
    size_t filler = 0;
    while (write(write_fd, "f\n", 2) == 2) filler += 1;
    fcntl(write_fd, F_SETFL, 0);
    ASSERT_EQ(log.book.start(), 0);

    for (int i = 0; i < 15; ++i) log.print(log_stream::out, "line %d\n", i);
    EXPECT_EQ(log.book.dropped(), 5u);
    EXPECT_EQ(log.out.lines(filler), lines(filler, "f"));
    lines expected;
    for (int i = 0; i < 10; ++i) expected.push_back("line " + std::to_string(i));
    expected.push_back("[log] 5 lines lost: output too slow");
    EXPECT_EQ(log.out.lines(expected.size()), expected);

    log.print(log_stream::err, "after %s\n", "the loss");
    EXPECT_EQ(log.out.lines(1), lines{"after the loss"});
}

TEST(LogBook, ALineLongerThanTheLimitIsCutAndStillEndsTheLine) {
    test_log log(16384);
    ASSERT_EQ(log.book.start(), 0);
    const std::string long_text(log_line_max + 100, 'x');
    log.print(log_stream::out, "%s\n", long_text.c_str());
    log.print(log_stream::out, "next\n");
    EXPECT_EQ(log.out.lines(2), (lines{std::string(log_line_max - 1, 'x'), "next"}));
}

TEST(LogBook, FlushReturnsOnceEveryQueuedLineIsWritten) {
    test_log log;
    ASSERT_EQ(log.book.start(), 0);
    std::string expected;
    for (int i = 0; i < 50; ++i) {
        log.print(log_stream::out, "queued %d\n", i);
        expected += "queued " + std::to_string(i) + "\n";
    }
    EXPECT_TRUE(log.book.flush(line_deadline_ms * 1000LL));
    EXPECT_EQ(log.out.ready_now(), expected);
}

TEST(LogBook, AfterTheFinishQueuedLinesAreOutAndNothingMoreIsWritten) {
    test_log log;
    ASSERT_EQ(log.book.start(), 0);
    log.print(log_stream::out, "before the end\n");
    log.print(log_stream::err, "its reason\n");
    log.book.finish(line_deadline_ms * 1000LL);
    log.print(log_stream::out, "after the end\n");
    EXPECT_EQ(log.out.ready_now(), "before the end\n");
    EXPECT_EQ(log.err.ready_now(), "its reason\n");
    log.book.stop();
    EXPECT_EQ(log.out.ready_now(), "");
}

// The daemon's book is never stopped: its end alone must still write out what was queued.
TEST(LogBook, ABookEndedWithoutStopHasWrittenEveryQueuedLine) {
    pipe_reader out;
    pipe_reader err;
    std::vector<uint32_t> ring(1024);
    std::string expected;
    {
        log_book book(ring.data(), ring.size() * 4, out.write_fd(), err.write_fd(), false,
                      test_clock);
        ASSERT_EQ(book.start(), 0);
        for (int i = 0; i < 40; ++i) {
            const std::string line = "queued line " + std::to_string(i) + "\n";
            book.emit(log_stream::out, line.data(), line.size());
            expected += line;
        }
    }
    EXPECT_EQ(out.ready_now(), expected);
}

}  // namespace
