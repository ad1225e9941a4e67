// The daemon and the keyword tool as installed on a board: fully static, so one file runs on any
// ARMv7 hard-float Linux whatever its C library. readelf shows no program interpreter and no
// needed library; the daemon answers -V under the bare emulator, which has no C library to
// offer it.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "run_command.hpp"

namespace {

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

class StaticBoardBinary : public testing::TestWithParam<const char*> {};

TEST_P(StaticBoardBinary, HasNoInterpreterAndNeedsNoLibrary) {
    const std::string program = GetParam();
    const run_result segments = run(std::string(NANVIDEO_READELF) + " -lW " + program);
    ASSERT_EQ(segments.status, 0) << segments.output;
    EXPECT_TRUE(contains(segments.output, "LOAD")) << segments.output;
    EXPECT_FALSE(contains(segments.output, "INTERP")) << segments.output;
    const run_result dynamic = run(std::string(NANVIDEO_READELF) + " -dW " + program);
    ASSERT_EQ(dynamic.status, 0) << dynamic.output;
    EXPECT_FALSE(contains(dynamic.output, "(NEEDED)")) << dynamic.output;
}

INSTANTIATE_TEST_SUITE_P(Installed, StaticBoardBinary,
                         testing::Values(NANVIDEO_DAEMON, NANVIDEO_KEYWORD_TOOL));

// Without -L (and without QEMU_LD_PREFIX) the emulator finds no ARM C library anywhere: only a
// static program starts. -V answers with the name it was started as and exits with status 1.
TEST(StaticBoardDaemon, AnswersVersionWithoutTheCrossSysroot) {
    const std::string emulator = NANVIDEO_EMULATOR;
    const run_result version = run("env -u QEMU_LD_PREFIX " + emulator + " " NANVIDEO_DAEMON " -V");
    EXPECT_EQ(version.output, std::string(NANVIDEO_DAEMON) + ": V1.1.0\n");
    ASSERT_TRUE(WIFEXITED(version.status)) << version.status;
    EXPECT_EQ(WEXITSTATUS(version.status), 1);
}

}  // namespace
