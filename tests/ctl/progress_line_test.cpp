// record's progress line: fixed widths, so each rewrite covers the one before it.
#include <gtest/gtest.h>

#include "ctl_commands.hpp"

namespace {

TEST(ProgressLine, BytesFramesPerSecondAndElapsed) {
    EXPECT_EQ(progress_line(8192, 2.0), "        8192 bytes      1.0 frames/s      2.0 s");
    EXPECT_EQ(progress_line(409600000, 10.0), "   409600000 bytes  10000.0 frames/s     10.0 s");
}

TEST(ProgressLine, NoRateBeforeTimeHasPassed) {
    EXPECT_EQ(progress_line(4096, 0), "        4096 bytes      0.0 frames/s      0.0 s");
}

}  // namespace
