// The BusyBox init script on a BusyBox board (BusyBox's shell, its applets alone on PATH), with a
// stand-in daemon that takes a while to end after SIGTERM: stop returns only once the daemon has
// gone, and restart starts the new daemon only after the old one has ended.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "board_fixture.hpp"

namespace {

using lines = std::vector<std::string>;

// A daemon that says when it starts, sends a line to its output (the script hands it to
// logger), and on SIGTERM takes two seconds to end: longer than any fixed pause a script could
// put between stop and start. With STATE/ignore-term it never ends on SIGTERM; with STATE/end.N
// the Nth daemon ends at once by itself.
const char standin_daemon[] = R"sh(#!/bin/sh
board=/run/nanvideo-board
n=1
while [ -e "$board/daemon.$n" ]; do n=$((n + 1)); done
echo $$ >"$board/daemon.$n"
echo "daemon $n started" >>"$board/events"
if [ -e "$board/ignore-term" ]; then
    trap 'echo "daemon $n got SIGTERM" >>"$board/events"' TERM
else
    trap 'echo "daemon $n got SIGTERM" >>"$board/events"; sleep 2; echo "daemon $n ended" >>"$board/events"; exit 0' TERM
fi
echo "daemon $n running"
if [ -e "$board/end.$n" ]; then echo "daemon $n ends by itself" >>"$board/events"; exit 0; fi
while :; do sleep 1 & wait $!; done
)sh";

// logger: a message given as arguments, or every line of its input, into a file. With
// STATE/hold-restart, the supervisor's "restarting" line waits for STATE/resume, so a test sees
// the pause between two runs for as long as it needs.
const char standin_logger[] = R"sh(#!/bin/sh
tag=$2
shift 2
if [ $# -gt 0 ]; then
    echo "$tag: $*" >>/run/nanvideo-board/logger
    case "$*" in *restarting*)
        if [ -e /run/nanvideo-board/hold-restart ]; then
            touch /run/nanvideo-board/pausing
            until [ -e /run/nanvideo-board/resume ]; do sleep 0.05; done
        fi
    esac
else
    while read -r line; do echo "$tag: $line" >>/run/nanvideo-board/logger; done
fi
)sh";

// Waits for a line of the events file; the script runs on the board, which has no clock to
// fear: each wait ends as soon as the line is there.
const char driver_functions[] = R"sh(
events=/run/nanvideo-board/events
script=/etc/init.d/S50nanvideod
wait_for() { until grep -qx "$1" "$events" 2>/dev/null; do sleep 0.05; done; }
)sh";

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

lines lines_of(const std::string& text) {
    lines result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

class InitScript : public board_test {
protected:
    // Runs the driver script with busybox sh on a board holding the init script, the stand-in
    // daemon and logger, and /etc/default/nanvideod with `defaults`.
    void run_driver(const std::string& script, const std::string& defaults = "") {
        daemon_options options;
        options.args = {"-c", driver_functions + script};
        options.emulate_spidev = false;
        options.busybox = NANVIDEO_BUSYBOX;
        options.world = [defaults](const std::string& state) {
            const std::filesystem::path root = std::filesystem::path(state) / "root";
            install(root / "etc/init.d/S50nanvideod", read_file(NANVIDEO_INIT_SCRIPT));
            install(root / "usr/sbin/nanvideod", standin_daemon);
            install(root / "usr/bin/logger", standin_logger);
            if (!defaults.empty()) install(root / "etc/default/nanvideod", defaults);
        };
        board.start_program("/bin/sh", options);
    }

    static void install(const std::filesystem::path& path, const std::string& text) {
        std::filesystem::create_directories(path.parent_path());
        std::ofstream(path, std::ios::trunc) << text;
        std::filesystem::permissions(path, std::filesystem::perms(0755));
    }

    lines events() const { return lines_of(read_file(board.state_dir() + "/events")); }
    lines logged() const { return lines_of(read_file(board.state_dir() + "/logger")); }
};

TEST_F(InitScript, RestartAndStopWaitForTheDaemonToEnd) {
    run_driver(R"sh(
"$script" start
wait_for "daemon 1 started"
"$script" restart
wait_for "daemon 2 started"
"$script" stop
echo "stop returned" >>"$events"
)sh");
    ASSERT_EQ(board.exit_code(), 0);
    EXPECT_EQ(events(), (lines{"daemon 1 started", "daemon 1 got SIGTERM", "daemon 1 ended",
                               "daemon 2 started", "daemon 2 got SIGTERM", "daemon 2 ended",
                               "stop returned"}));
    EXPECT_EQ(board.stdout_lines(), (lines{"Starting nanvideod", "Stopping nanvideod",
                                           "Starting nanvideod", "Stopping nanvideod"}));
    EXPECT_EQ(board.stderr_lines(), lines{});
    EXPECT_EQ(logged(), (lines{"nanvideod: daemon 1 running", "nanvideod: daemon 2 running"}));
}

// A daemon that ends by itself is started again after the pause, which the log tells.
TEST_F(InitScript, ADaemonThatEndsIsStartedAgain) {
    board.write_state_file("end.1", "");
    run_driver(R"sh(
"$script" start
wait_for "daemon 2 started"
"$script" stop
)sh");
    ASSERT_EQ(board.exit_code(), 0);
    EXPECT_EQ(events(), (lines{"daemon 1 started", "daemon 1 ends by itself", "daemon 2 started",
                               "daemon 2 got SIGTERM", "daemon 2 ended"}));
    // Each daemon's output has a logger of its own: the lines of two loggers may come in either
    // order. How long the first run took depends on how busy the machine is.
    lines log = logged();
    std::sort(log.begin(), log.end());
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0], "nanvideod: daemon 1 running");
    EXPECT_EQ(log[1], "nanvideod: daemon 2 running");
    EXPECT_TRUE(std::regex_match(log[2],
                                 std::regex("nanvideod: ended after [0-9]+s; restarting in 1s")))
        << log[2];
}

// A daemon that does not end within the bound is killed, and stop returns once it has gone.
TEST_F(InitScript, StopKillsADaemonThatOutlastsTheBound) {
    board.write_state_file("ignore-term", "");
    run_driver(R"sh(
"$script" start
wait_for "daemon 1 started"
"$script" stop
kill -0 "$(cat /run/nanvideo-board/daemon.1)" 2>/dev/null || echo "daemon 1 gone" >>"$events"
)sh",
               "STOP_TIMEOUT=1\n");
    ASSERT_EQ(board.exit_code(), 0);
    EXPECT_EQ(events(), (lines{"daemon 1 started", "daemon 1 got SIGTERM", "daemon 1 gone"}));
    EXPECT_EQ(board.stdout_lines(), (lines{"Starting nanvideod", "Stopping nanvideod",
                                           "nanvideod did not end within 1 s, killing it"}));
}

// status answers with LSB's codes: 3 before any start, 0 between two runs (the supervisor still
// keeps the service) and while a daemon runs, 1 for a pid file whose process has gone.
TEST_F(InitScript, StatusAnswersWithLsbCodes) {
    board.write_state_file("end.1", "");
    board.write_state_file("hold-restart", "");
    run_driver(R"sh(
"$script" status; echo "before start: $?" >>"$events"
"$script" start
until [ -e /run/nanvideo-board/pausing ]; do sleep 0.05; done
"$script" status; echo "between runs: $?" >>"$events"
cat /var/run/nanvideod-supervisor.pid >/run/nanvideo-board/supervisor
touch /run/nanvideo-board/resume
wait_for "daemon 2 started"
until [ "$(cat /var/run/nanvideod.pid 2>/dev/null)" = "$(cat /run/nanvideo-board/daemon.2)" ]; do
    sleep 0.05
done
"$script" status; echo "running: $?" >>"$events"
"$script" stop
"$script" status; echo "stopped: $?" >>"$events"
sh -c 'exit 0' & gone=$!
wait "$gone"
echo "$gone" >/var/run/nanvideod-supervisor.pid
"$script" status; echo "stale pid file: $?" >>"$events"
rm -f /var/run/nanvideod-supervisor.pid
)sh");
    ASSERT_EQ(board.exit_code(), 0);
    EXPECT_EQ(events(), (lines{"before start: 3", "daemon 1 started", "daemon 1 ends by itself",
                               "between runs: 0", "daemon 2 started", "running: 0",
                               "daemon 2 got SIGTERM", "daemon 2 ended", "stopped: 3",
                               "stale pid file: 1"}));
    const std::string supervisor = lines_of(read_file(board.state_dir() + "/supervisor")).at(0);
    const std::string daemon = lines_of(read_file(board.state_dir() + "/daemon.2")).at(0);
    EXPECT_EQ(board.stdout_lines(),
              (lines{"nanvideod is not running", "Starting nanvideod",
                     "nanvideod is between two runs: its supervisor (PID " + supervisor +
                         ") restarts it",
                     "nanvideod is running (PID " + daemon + ")", "Stopping nanvideod",
                     "nanvideod is not running", "nanvideod is not running, but its pid file remains"}));
}

}  // namespace
