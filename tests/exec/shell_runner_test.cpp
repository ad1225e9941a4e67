// The two runners with the real /bin/sh, and the seams' defaults.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "exec/recording_runner.hpp"
#include "keyword.hpp"

namespace {

using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

const std::string truncated_warning = "Warning: Command output exceeds buffer limit, truncated!\n";

// Counts fork() calls in this process, to prove that a refused command made no child.
std::atomic<int> fork_count{0};
void count_fork() { ++fork_count; }
int forks_so_far() {
    static const bool registered = (pthread_atfork(count_fork, nullptr, nullptr) == 0);
    EXPECT_TRUE(registered);
    return fork_count.load();
}

bool no_child_left() {
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

struct capture_result {
    int result;
    std::string output;
    std::string printed;
};

capture_result capture(const char* cmd, size_t len, const char* prefill = "") {
    char buffer[8192];
    memset(buffer, 0, sizeof buffer);
    snprintf(buffer, sizeof buffer, "%s", prefill);
    CaptureStdout();
    int result = run_cmd_capture(cmd, buffer, len);
    std::string printed = GetCapturedStdout();
    return {result, buffer, printed};
}

// ---- captured mode ----

TEST(CapturedMode, CutsOutputToBufferWithWarning) {
    capture_result twelve = capture("printf '12\\n'", 3);
    EXPECT_EQ(twelve.result, 0);
    EXPECT_EQ(twelve.output, "12");
    EXPECT_EQ(twelve.printed, truncated_warning);

    capture_result zero = capture("printf '0\\n'", 3);
    EXPECT_EQ(zero.result, 0);
    EXPECT_EQ(zero.output, "0");
    EXPECT_EQ(zero.printed, "");

    capture_result three_digits = capture("echo 123", 3);
    EXPECT_EQ(three_digits.result, 0);
    EXPECT_EQ(three_digits.output, "12");
    EXPECT_EQ(three_digits.printed, truncated_warning);

    capture_result wdev = capture("echo 0x12345", 5);
    EXPECT_EQ(wdev.output, "0x12");
    EXPECT_EQ(wdev.printed, truncated_warning);
}

TEST(CapturedMode, RemovesOnlyOneFinalLineFeed) {
    capture_result two_feeds = capture("printf 'abc\\n\\n'", 1024);
    EXPECT_EQ(two_feeds.result, 0);
    EXPECT_EQ(two_feeds.output, "abc\n");
    EXPECT_EQ(two_feeds.printed, "");

    EXPECT_EQ(capture("printf 'a\\r\\n'", 1024).output, "a\r");
    EXPECT_EQ(capture("printf 'one\\ntwo'", 1024).output, "one\ntwo");
    EXPECT_EQ(capture("printf '\\n'", 1024).output, "");
}

TEST(CapturedMode, EmptyAnswerAndExitStatusIgnored) {
    capture_result nothing = capture("true", 64);
    EXPECT_EQ(nothing.result, 0);
    EXPECT_EQ(nothing.output, "");
    EXPECT_EQ(nothing.printed, "");

    capture_result failing = capture("echo text; exit 1", 64);
    EXPECT_EQ(failing.result, 0);
    EXPECT_EQ(failing.output, "text");
}

TEST(CapturedMode, StaleBufferContentNeverPassesForTheAnswer) {
    capture_result nothing = capture("true", 64, "stale\n");
    EXPECT_EQ(nothing.result, 0);
    EXPECT_EQ(nothing.output, "");
}

TEST(CapturedMode, LongLinesArriveWhole) {
    capture_result long_line = capture("head -c 3000 /dev/zero | tr '\\0' x", 4096);
    EXPECT_EQ(long_line.result, 0);
    EXPECT_EQ(long_line.output, std::string(3000, 'x'));
    EXPECT_EQ(long_line.printed, "");

    capture_result cut = capture("head -c 3000 /dev/zero | tr '\\0' x", 2000);
    EXPECT_EQ(cut.output, std::string(1999, 'x'));
    EXPECT_EQ(cut.printed, truncated_warning);

    // Exactly filling the buffer (len - 1 characters and the final line feed cut) still warns.
    capture_result exact = capture("printf 'abcd\\n'", 5);
    EXPECT_EQ(exact.output, "abcd");
    EXPECT_EQ(exact.printed, truncated_warning);
    capture_result fits = capture("printf 'abc\\n'", 5);
    EXPECT_EQ(fits.output, "abc");
    EXPECT_EQ(fits.printed, "");
}

TEST(CapturedMode, OneByteBufferEndsWithoutHanging) {
    capture_result some = capture("echo hi", 1);
    EXPECT_EQ(some.result, 0);
    EXPECT_EQ(some.output, "");
    EXPECT_EQ(some.printed, truncated_warning);

    capture_result none = capture("true", 1);
    EXPECT_EQ(none.output, "");
    EXPECT_EQ(none.printed, "");
}

TEST(CapturedMode, StandardErrorGoesToTheDaemons) {
    char buffer[64] = {};
    CaptureStderr();
    int result = run_cmd_capture("echo err >&2; echo out", buffer, sizeof buffer);
    EXPECT_EQ(GetCapturedStderr(), "err\n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(buffer, "out");
}

TEST(CapturedMode, RefusesMissingArguments) {
    char buffer[8] = {};
    CaptureStdout();
    EXPECT_EQ(run_cmd_capture(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(run_cmd_capture("true", nullptr, 8), -1);
    EXPECT_EQ(run_cmd_capture("true", buffer, 0), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "Error: Invalid input parameters (cmd/output is NULL)!\n"
              "Error: Invalid input parameters (cmd/output is NULL)!\n"
              "Error: Invalid input parameters (output size is 0)!\n");
}

TEST(CapturedMode, ReapsItsChild) {
    capture("echo x", 8);
    EXPECT_TRUE(no_child_left());
}

// ---- status mode ----

TEST(StatusMode, ReturnsTheShellsExitStatus) {
    EXPECT_EQ(run_cmd_status("true"), 0);
    EXPECT_EQ(run_cmd_status("exit 3"), 3);
    EXPECT_EQ(run_cmd_status("exit 255"), 255);
    EXPECT_EQ(run_cmd_status("test \"$(printf 'a b')\" = 'a b'"), 0);
    EXPECT_TRUE(no_child_left());
}

TEST(StatusMode, MissingCommandGives127) {
    CaptureStderr();
    EXPECT_EQ(run_cmd_status("nanvideo_no_such_command_4711"), 127);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(StatusMode, ShellKilledBySignalGivesMinusOne) {
    EXPECT_EQ(run_cmd_status("kill -KILL $$"), -1);
    EXPECT_EQ(run_cmd_status("kill -TERM $$"), -1);
    EXPECT_TRUE(no_child_left());
}

TEST(StatusMode, EmptyCommandMakesNoChild) {
    int before = forks_so_far();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(run_cmd_status(""), -1);
    EXPECT_EQ(run_cmd_status(nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(forks_so_far(), before);

    EXPECT_EQ(run_cmd_status("true"), 0);
    EXPECT_EQ(forks_so_far(), before + 1);
}

TEST(StatusMode, OutputNeverReachesTheDaemon) {
    CaptureStdout();
    CaptureStderr();
    int result = run_cmd_status("echo out; echo err >&2; printf more");
    std::string printed_err = GetCapturedStderr();
    std::string printed_out = GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed_out, "");
    EXPECT_EQ(printed_err, "");
}

// ---- seams ----

TEST(ExecSeams, RealRunnerUnlessOneIsInstalled) {
    EXPECT_EQ(active_command_runner().status("exit 4"), 4);
    {
        recording_runner outer;
        scoped_command_runner outer_scope(outer);
        {
            recording_runner inner;
            scoped_command_runner inner_scope(inner);
            inner.push_status(9);
            EXPECT_EQ(active_command_runner().status("exit 4"), 9);
            EXPECT_EQ(inner.commands(), std::vector<std::string>{"exit 4"});
        }
        EXPECT_EQ(active_command_runner().status("exit 5"), 0);
        EXPECT_EQ(outer.status_commands(), std::vector<std::string>{"exit 5"});
    }
    EXPECT_EQ(active_command_runner().status("exit 4"), 4);
}

TEST(ExecSeams, PausesAreRecordedWhenAPauserIsInstalled) {
    exec_pause_us(1);  // the real pause returns
    recording_pauser pauser;
    {
        scoped_exec_pauser scope(pauser);
        exec_pause_us(500000);
        exec_pause_us(1000000);
    }
    exec_pause_us(1);
    EXPECT_EQ(pauser.pauses(), (std::vector<unsigned>{500000, 1000000}));
}

TEST(ExecSeams, RecordingRunnerCutsScriptedAnswersLikeTheRealOne) {
    recording_exec_seams seams;
    seams.runner.push_capture("12\n");
    seams.runner.push_capture("abc\n\n");
    seams.runner.push_capture("", -1);
    char small[3] = {};
    char large[64] = {};
    CaptureStdout();
    EXPECT_EQ(active_command_runner().capture("iw dev | grep phy#", small, sizeof small), 0);
    EXPECT_EQ(active_command_runner().capture("cat /etc/zqversion", large, sizeof large), 0);
    EXPECT_EQ(GetCapturedStdout(), truncated_warning);
    EXPECT_STREQ(small, "12");
    EXPECT_STREQ(large, "abc\n");
    EXPECT_EQ(active_command_runner().capture("fw_printenv -n vemuparam", large, sizeof large), -1);
    EXPECT_STREQ(large, "");
    EXPECT_EQ(active_command_runner().capture("true", large, sizeof large), 0);
    EXPECT_EQ(seams.runner.capture_commands(),
              (std::vector<std::string>{"iw dev | grep phy#", "cat /etc/zqversion",
                                        "fw_printenv -n vemuparam", "true"}));
}

}  // namespace
