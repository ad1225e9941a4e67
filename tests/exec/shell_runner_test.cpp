// The two runners with the real /bin/sh, and the recording double's cutting.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "common/temp_dir.hpp"
#include "exec/emulated_signals.hpp"
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

// Every slot given back: a stop would find no group to kill, not even a reused id.
bool nothing_listed(const running_command_groups& list) {
    for (int slot = 0; slot < running_command_slots; ++slot) {
        if (list.group_at(slot, nullptr) != 0) return false;
    }
    return true;
}

struct capture_result {
    int result;
    std::string output;
    std::string printed;
};

// A runner as the daemon builds it: the daemon's time limit and lists of its own.
shell_command_runner& daemon_runner() {
    static running_command_lists lists;
    static shell_command_runner runner(command_time_limit_ms, lists.cuttable, lists.writes);
    return runner;
}

capture_result capture(const char* cmd, size_t len, const char* prefill = "") {
    char buffer[8192];
    memset(buffer, 0, sizeof buffer);
    snprintf(buffer, sizeof buffer, "%s", prefill);
    CaptureStdout();
    int result = daemon_runner().capture(cmd, buffer, len);
    std::string printed = GetCapturedStdout();
    return {result, buffer, printed};
}

std::string without_tid(std::string line) {
    if (line.rfind('[', 0) == 0) line.replace(0, line.find(']') + 1, "[TID]");
    return line;
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
    int result = daemon_runner().capture("echo err >&2; echo out", buffer, sizeof buffer);
    EXPECT_EQ(GetCapturedStderr(), "err\n");
    EXPECT_EQ(result, 0);
    EXPECT_STREQ(buffer, "out");
}

TEST(CapturedMode, RefusesMissingArguments) {
    char buffer[8] = {};
    CaptureStdout();
    EXPECT_EQ(daemon_runner().capture(nullptr, buffer, sizeof buffer), -1);
    EXPECT_EQ(daemon_runner().capture("true", nullptr, 8), -1);
    EXPECT_EQ(daemon_runner().capture("true", buffer, 0), -1);
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
    EXPECT_EQ(daemon_runner().status("true"), 0);
    EXPECT_EQ(daemon_runner().status("exit 3"), 3);
    EXPECT_EQ(daemon_runner().status("exit 255"), 255);
    EXPECT_EQ(daemon_runner().status("test \"$(printf 'a b')\" = 'a b'"), 0);
    EXPECT_TRUE(no_child_left());
}

TEST(StatusMode, MissingCommandGives127) {
    CaptureStderr();
    EXPECT_EQ(daemon_runner().status("nanvideo_no_such_command_4711"), 127);
    EXPECT_EQ(GetCapturedStderr(), "");
}

TEST(StatusMode, ShellKilledBySignalGivesMinusOne) {
    EXPECT_EQ(daemon_runner().status("kill -KILL $$"), -1);
    EXPECT_EQ(daemon_runner().status("kill -TERM $$"), -1);
    EXPECT_TRUE(no_child_left());
}

TEST(StatusMode, EmptyCommandMakesNoChild) {
    int before = forks_so_far();
    CaptureStdout();
    CaptureStderr();
    EXPECT_EQ(daemon_runner().status(""), -1);
    EXPECT_EQ(daemon_runner().status(nullptr), -1);
    EXPECT_EQ(GetCapturedStderr(), "");
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_EQ(forks_so_far(), before);

    EXPECT_EQ(daemon_runner().status("true"), 0);
    EXPECT_EQ(forks_so_far(), before + 1);
}

// Once a stop refuses writes, a boot-environment or firmware command is not even forked; a
// command that may be cut still runs until the stop kills it.
TEST(StatusMode, NoWriteStartsOnceTheStopRefusesThem) {
    running_command_groups cuttable;
    running_command_groups writes;
    shell_command_runner runner(command_time_limit_ms, cuttable, writes);
    writes.refuse_starts();
    const int forks = forks_so_far();
    CaptureStderr();
    EXPECT_EQ(runner.status("fw_setenv vemuparam x"), -1);
    char output[16];
    EXPECT_EQ(runner.capture("/bin/usb.sh -r usbh_msc", output, sizeof output), -1);
    const std::string err = GetCapturedStderr();
    EXPECT_EQ(forks_so_far(), forks);
    const size_t line_end = err.find('\n');
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_EQ(without_tid(err.substr(0, line_end)),
              "[TID] Error: Stopping, command not started: fw_setenv vemuparam x");
    EXPECT_EQ(without_tid(err.substr(line_end + 1)),
              "[TID] Error: Stopping, command not started: /bin/usb.sh -r usbh_msc\n");
    EXPECT_EQ(runner.status("exit 3"), 3);
}

TEST(StatusMode, OutputNeverReachesTheDaemon) {
    CaptureStdout();
    CaptureStderr();
    int result = daemon_runner().status("echo out; echo err >&2; printf more");
    std::string printed_err = GetCapturedStderr();
    std::string printed_out = GetCapturedStdout();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(printed_out, "");
    EXPECT_EQ(printed_err, "");
}

// ---- what every child starts with ----

std::string read_text(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Whether the shell leads its own process group (field 5 of /proc/PID/stat; the names hold no
// blank), then the ignored and blocked signals of the program it execs, as /proc shows them.
// (The shell's own mask is no witness: it blocks everything while it forks.)
const std::string child_state_query =
    "test \"$(cut -d' ' -f5 /proc/self/stat)\" = $$ && echo own group; "
    "exec grep -E '^Sig(Blk|Ign)' /proc/self/status";
const std::string clean_child_state =
    "own group\nSigBlk:\t0000000000000000\nSigIgn:\t0000000000000000";

std::string comparable(const std::string& state) {
#ifdef NANVIDEO_EMULATED
    return without_emulator_signals(state);
#else
    return state;
#endif
}

// The daemon ignores SIGPIPE, and a thread may block signals: no child may inherit either.
class ChildSignalState : public testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        previous_pipe_ = signal(SIGPIPE, SIG_IGN);
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigaddset(&blocked, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &blocked, &previous_mask_);
    }
    void TearDown() override {
        pthread_sigmask(SIG_SETMASK, &previous_mask_, nullptr);
        signal(SIGPIPE, previous_pipe_);
    }
    sighandler_t previous_pipe_ = SIG_DFL;
    sigset_t previous_mask_{};
};

TEST_P(ChildSignalState, DefaultDispositionsEmptyMaskOwnGroup) {
    const bool captured = GetParam();
    if (captured) {
        EXPECT_EQ(comparable(capture(child_state_query.c_str(), 256).output), clean_child_state);
    } else {
        temp_dir dir;
        const std::string out = dir.file("state");
        EXPECT_EQ(daemon_runner().status(("{ " + child_state_query + "; } > '" + out + "'").c_str()), 0);
        EXPECT_EQ(comparable(read_text(out)), clean_child_state + "\n");
    }
    // The daemon's own state is untouched.
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    EXPECT_EQ(sigismember(&now, SIGUSR1), 1);
    EXPECT_EQ(signal(SIGPIPE, SIG_IGN), SIG_IGN);
}

INSTANTIATE_TEST_SUITE_P(BothModes, ChildSignalState, testing::Bool(),
                         [](const auto& mode) { return mode.param ? "Captured" : "Status"; });

// ---- the time limit ----

constexpr unsigned short_limit_ms = 200;

// Gone, or a zombie waiting for init: either way it does nothing any more. A killed process
// takes a moment to end, so this waits (30 s at most).
bool process_ended(int pid) {
    if (pid <= 0) return false;
    for (int i = 0; i < 3000; ++i) {
        if (kill(pid, 0) != 0 && errno == ESRCH) return true;
        const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (close != std::string::npos && stat.compare(close, 3, ") Z") == 0) return true;
        usleep(10000);
    }
    return false;
}

struct limit_case {
    const char* name;
    bool captured;
    std::string program;  // a stand-in put on the search path as "hang"/"fw_setenv"
    std::string command;
    int result;
    std::string output;      // captured mode only
    std::string error_line;  // on standard error, the thread id as [TID]
};

// The stand-ins publish the pid of a process they leave in their group, to show that the whole
// group ended.
const limit_case limit_cases[] = {
    {"HungStatusCommandIsKilledWithItsGroup", false, "hang",
     "hang PIDFILE", -1, "",
     "[TID] Error: Command timed out after 200 ms, killed: hang PIDFILE"},
    {"HungQueryIsKilledWithItsGroup", true, "hang",
     "hang PIDFILE | cat", -1, "",
     "[TID] Error: Command timed out after 200 ms, killed: hang PIDFILE | cat"},
    {"BootEnvironmentWriteIsWaitedFor", false, "fw_setenv",
     "fw_setenv PIDFILE", 0, "",
     "[TID] Warning: Command still running after 200 ms, waiting for it to finish: "
     "fw_setenv PIDFILE"},
};

void PrintTo(const limit_case& c, std::ostream* os) { *os << c.name; }

class TimeLimit : public testing::TestWithParam<limit_case> {};

TEST_P(TimeLimit, PastTheLimit) {
    const limit_case& c = GetParam();
    temp_dir dir;
    // hang: a background sleep in its group, then a wait for ever. fw_setenv: the same
    // background sleep, then it outlasts the limit, ends the sleep and succeeds.
    const std::string publish = "sleep 30 & echo $! > \"$1.tmp\" && mv \"$1.tmp\" \"$1\"\n";
    dir.write_program("hang", "#!/bin/sh\n" + publish + "wait\n");
    dir.write_program("fw_setenv", "#!/bin/sh\n" + publish + "sleep 0.6\nkill $!\necho done\n");
    const std::string pid_file = dir.file("pid");
    std::string command = c.command;
    command.replace(command.find("PIDFILE"), 7, pid_file);
    std::string error_line = c.error_line;
    error_line.replace(error_line.find("PIDFILE"), 7, pid_file);
    const char* old_path = getenv("PATH");
    const std::string saved_path = old_path != nullptr ? old_path : "/usr/bin:/bin";
    setenv("PATH", (dir.file("") + ":" + saved_path).c_str(), 1);

    running_command_lists lists;
    shell_command_runner runner(short_limit_ms, lists.cuttable, lists.writes);
    char output[64] = {};
    CaptureStderr();
    int result = c.captured ? runner.capture(command.c_str(), output, sizeof output)
                            : runner.status(command.c_str());
    std::string err = GetCapturedStderr();
    setenv("PATH", saved_path.c_str(), 1);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(output, c.output);
    EXPECT_EQ(without_tid(err), error_line + "\n");
    // On a machine so loaded that the limit passed before the stand-in got as far as its
    // background sleep there is nothing left to look for.
    const std::string pid = read_text(pid_file);
    if (!pid.empty() || c.result == 0) {
        EXPECT_TRUE(process_ended(atoi(pid.c_str())));
    }
    EXPECT_TRUE(no_child_left());
    EXPECT_TRUE(nothing_listed(lists.cuttable));
    EXPECT_TRUE(nothing_listed(lists.writes));
}

INSTANTIATE_TEST_SUITE_P(Commands, TimeLimit, testing::ValuesIn(limit_cases),
                         [](const auto& c) { return std::string(c.param.name); });

// ---- the recording double ----

TEST(ExecSeams, RecordingRunnerCutsScriptedAnswersLikeTheRealOne) {
    recording_exec_seams seams;
    seams.runner.push_capture("12\n");
    seams.runner.push_capture("abc\n\n");
    seams.runner.push_capture("", -1);
    char small[3] = {};
    char large[64] = {};
    CaptureStdout();
    EXPECT_EQ(seams.runner.capture("iw dev | grep phy#", small, sizeof small), 0);
    EXPECT_EQ(seams.runner.capture("cat /etc/zqversion", large, sizeof large), 0);
    EXPECT_EQ(GetCapturedStdout(), truncated_warning);
    EXPECT_STREQ(small, "12");
    EXPECT_STREQ(large, "abc\n");
    EXPECT_EQ(seams.runner.capture("fw_printenv -n vemuparam", large, sizeof large), -1);
    EXPECT_STREQ(large, "");
    EXPECT_EQ(seams.runner.capture("true", large, sizeof large), 0);
    EXPECT_EQ(seams.runner.capture_commands(),
              (std::vector<std::string>{"iw dev | grep phy#", "cat /etc/zqversion",
                                        "fw_printenv -n vemuparam", "true"}));
}

}  // namespace
