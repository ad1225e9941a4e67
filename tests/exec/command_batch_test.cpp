// The command batch on its own: collecting, the retry rule, the pauses and the clearing.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "dispatch_fixture.hpp"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

bool all_zero(const command_batch& batch) {
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(&batch);
    for (size_t index = 0; index < sizeof batch; ++index) {
        if (bytes[index] != 0) return false;
    }
    return true;
}

class CommandBatch : public DispatchTest {
protected:
    int run_batch() {
        CaptureStdout();
        CaptureStderr();
        int result = execute_collected_commands(seams.runner, seams.pauser, batch, &count);
        err = GetCapturedStderr();
        out = GetCapturedStdout();
        return result;
    }
    void add(const char* command) { ASSERT_EQ(add_command(batch, &count, command), 0); }

    command_batch batch{};
    int count = 0;
};

TEST_F(CommandBatch, SkipsEmptyCommands) {
    CaptureStdout();
    EXPECT_EQ(add_command(batch, &count, ""), 0);
    EXPECT_EQ(add_command(batch, &count, nullptr), 0);
    EXPECT_EQ(GetCapturedStdout(),
              "Warning: Empty command skipped!\nWarning: Empty command skipped!\n");
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(all_zero(batch));
}

TEST_F(CommandBatch, CutsLongCommandsAt1023Characters) {
    std::string long_command(2000, 'c');
    add(long_command.c_str());
    EXPECT_EQ(count, 1);
    EXPECT_EQ(std::string(batch.commands[0]), std::string(1023, 'c'));
}

TEST_F(CommandBatch, RefusesAFourthCommand) {
    add("one");
    add("two");
    add("three");
    CaptureStdout();
    EXPECT_EQ(add_command(batch, &count, "four"), -1);
    EXPECT_EQ(GetCapturedStdout(), "Error: Command buffer is full (max 3 commands)!\n");
    EXPECT_EQ(count, 3);
    EXPECT_STREQ(batch.commands[2], "three");
}

TEST_F(CommandBatch, NothingToRun) {
    EXPECT_EQ(run_batch(), 0);
    EXPECT_EQ(out, "No commands to execute!\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(CommandBatch, OneCommandHasNoSpacingPause) {
    add("reboot");
    EXPECT_EQ(run_batch(), 0);
    EXPECT_EQ(out, batch_lines({"reboot"}));
    EXPECT_TRUE(seams.pauser.pauses().empty());
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(all_zero(batch));
}

TEST_F(CommandBatch, EveryCommandOfALongerBatchIsFollowedByOneSecond) {
    add("one");
    add("two");
    add("three");
    EXPECT_EQ(run_batch(), 0);
    EXPECT_EQ(out, batch_lines({"one", "two", "three"}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(), (std::vector<std::string>{"one", "two", "three"}));
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{1000000, 1000000, 1000000}));
    EXPECT_TRUE(all_zero(batch));
}

TEST_F(CommandBatch, ThreeFailuresStopTheBatch) {
    add("one");
    add("two");
    add("three");
    seams.runner.push_status(0);
    seams.runner.push_status(1);
    seams.runner.push_status(127);
    seams.runner.push_status(2);
    EXPECT_EQ(run_batch(), -1);
    const std::string tag = thread_tag();
    EXPECT_EQ(out,
              "\n=== Start executing collected commands ===\n" + tag +
                  " Executing command [1/3] (retry 1): one\n"
                  "Command [1] executed successfully!\n" +
                  tag + " Executing command [2/3] (retry 1): two\n" + tag +
                  " Executing command [2/3] (retry 2): two\n" + tag +
                  " Executing command [2/3] (retry 3): two\n"
                  "=== All commands execution completed ===\n\n");
    EXPECT_EQ(err, tag + " Error: Executing command failed (exit code: 2, retries: 3)!\n");
    EXPECT_EQ(seams.runner.status_commands(),
              (std::vector<std::string>{"one", "two", "two", "two"}));
    EXPECT_EQ(seams.pauser.pauses(),
              (std::vector<unsigned>{1000000, 500000, 500000, 500000}));
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(all_zero(batch));
}

TEST_F(CommandBatch, ARetryThatSucceedsGoesOn) {
    add("one");
    add("two");
    seams.runner.push_status(-1);
    EXPECT_EQ(run_batch(), 0);
    const std::string tag = thread_tag();
    EXPECT_EQ(out,
              "\n=== Start executing collected commands ===\n" + tag +
                  " Executing command [1/2] (retry 1): one\n" + tag +
                  " Executing command [1/2] (retry 2): one\n"
                  "Command [1] executed successfully!\n" +
                  tag + " Executing command [2/2] (retry 1): two\n"
                  "Command [2] executed successfully!\n"
                  "=== All commands execution completed ===\n\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{500000, 1000000, 1000000}));
}

TEST_F(CommandBatch, ASignalDeathIsReportedAsMinusOne) {
    add("one");
    seams.runner.set_default_status(-1);
    EXPECT_EQ(run_batch(), -1);
    EXPECT_EQ(err,
              thread_tag() + " Error: Executing command failed (exit code: -1, retries: 3)!\n");
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{500000, 500000, 500000}));
}

}  // namespace
