#pragma once
// End-to-end fixture: the real daemon binary on a fresh simulated board. Each test gets its own
// state directory under the build tree (never /tmp: the board replaces /tmp) and its own
// namespaces, so tests run side by side. The video source listens in the state directory; the
// daemon's output is collected line by line and every wait has a deadline.
//
// The daemon under test is this build's nanvideod unless the environment names another one, so
// the same test programs can drive a daemon built for the board (32-bit ARM, run through
// qemu-arm) while everything around it (launcher, stand-ins, video source, clients) runs natively:
//   NANVIDEO_E2E_DAEMON       the daemon binary
//   NANVIDEO_E2E_SPIDEV_LIB   the spidev emulator built for that daemon
//   NANVIDEO_E2E_QEMU         the command that runs it, e.g. "qemu-arm -L /usr/arm-linux-gnueabihf"
// Only start_daemon() follows them; start_program() runs host programs with the host emulator.
//
// NANVIDEO_E2E_BUSYBOX names a BusyBox binary: every program of the test program then runs on a
// BusyBox board (tools/board: BusyBox is /bin/sh and every tool but the board's own stand-ins,
// and POSIXLY_CORRECT=1), so the same tests prove the daemon's commands on one.
//
// A sanitizer report (ThreadSanitizer, AddressSanitizer, LeakSanitizer, UndefinedBehavior-
// Sanitizer) in the daemon's output fails the test, whether or not the test looks at that output.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_process.hpp"
#include "video_source.hpp"

// How long a wait may take before the test fails. Generous: a slow machine (sanitizers, many
// tests at once) must not fail a test, and a passing test never waits this long.
constexpr std::chrono::milliseconds e2e_deadline{30000};

// Puts the outside world in place before the daemon starts: files and stand-in programs under
// STATE/root (overlaid on /etc, /usr/bin, /usr/sbin) and whatever state they keep in STATE.
using world_setup = std::function<void(const std::string& state_dir)>;

struct daemon_options {
    std::vector<std::string> args = {};     // the command line after the program's name
    std::vector<std::string> wrapper = {};  // runs the launcher (board_launch::wrapper)
    bool emulate_spidev = true;
    std::string spidev_path = "/dev/spidev0.0";
    uint32_t spidev_max_hz = 0;     // 0: the device takes any clock
    uint32_t spidev_bufsiz = 0;     // the driver's bufsiz; 0: the board's, 8192
    std::string spidev_fail = {};   // the request the device refuses (open, wr_mode32, ...)
    uint32_t spidev_dt_mode = 0;    // mode bits the device tree set (SPI_CS_HIGH, ...)
    int expect_type = 0;            // the transfer type the device expects
    bool no_ipv6 = false;           // the board's kernel has no IPv6 (socket(AF_INET6) fails)
    // A BusyBox board with this binary (tools/board's --busybox); empty: as NANVIDEO_E2E_BUSYBOX
    // says, by default the host's shell and tools.
    std::string busybox = {};
    world_setup world = {};         // run after the default world
    // Set in the program's environment (NOTIFY_SOCKET, shorter times for tests, ...).
    std::vector<std::pair<std::string, std::string>> environment = {};
    double output_bytes_per_second = 0;  // above 0: the output drains this slowly (a console)
};

class board_fixture {
public:
    // A fresh state directory <build>/e2e/<name> (an earlier run's is removed) and a video
    // source listening in it.
    explicit board_fixture(const std::string& name);
    // Kills the daemon if it still runs; on a failed test prints what it said.
    ~board_fixture();
    board_fixture(const board_fixture&) = delete;
    board_fixture& operator=(const board_fixture&) = delete;

    // The world every fixture of the test program gets before each launch; by default a
    // healthy board (board_world::populate with its default options). Tests that need another
    // world change it through daemon_options::world, which runs after this one.
    static void set_default_world(world_setup setup);

    const std::string& state_dir() const { return state_dir_; }
    // Writes a file below the state directory, creating its directories.
    void write_state_file(const std::string& relative, const std::string& content,
                          mode_t mode = 0644) const;

    video_source& source() { return *source_; }
    // The far end of the bus goes away: the daemon's transfers fail from now on.
    void stop_source() { source_.reset(); }

    // Starts the daemon (or another program with the same board) with options.args.
    board_process& start_daemon(const daemon_options& options = {});
    board_process& start_program(const std::string& program, const daemon_options& options);
    board_process& daemon() { return *daemon_; }
    // Another daemon on the same board, beside the one started before or after it ended, as
    // someone would start one by hand: the world stays as the earlier programs left it (the
    // driver keeps their interfaces, /run their files). It becomes daemon(); the earlier one
    // stays valid, is ended with the fixture and its output shown on a failure too.
    board_process& start_another_daemon(const daemon_options& options = {});

    // Shorthands on the daemon's output with the e2e deadline.
    std::optional<size_t> wait_stdout(const std::string& exact, size_t from = 0);
    std::optional<size_t> wait_stderr(const std::string& exact, size_t from = 0);
    // The `count` lines from the first line equal to `first` (searched from `from` on), each
    // waited for; fewer when the deadline passes first, so a comparison fails instead of racing.
    std::vector<std::string> stdout_lines_from(const std::string& first, size_t count,
                                               size_t from = 0);
    std::vector<std::string> stderr_lines_from(const std::string& first, size_t count,
                                               size_t from = 0);
    std::vector<std::string> stdout_lines() const { return daemon_->lines(output_stream::out); }
    std::vector<std::string> stderr_lines() const { return daemon_->lines(output_stream::err); }
    std::optional<int> wait_exit() { return daemon_->wait_exit(e2e_deadline); }
    // The exit status of a program that ends by itself; a test failure (and -1) when it does not
    // end in time or ends through a signal.
    int exit_code();

private:
    board_process& launch_program(const std::string& program, const daemon_options& options,
                                  const std::string& spidev_lib, const std::string& qemu,
                                  bool fresh_world = true);
    void end_daemon(board_process& daemon);

    std::string state_dir_;
    std::unique_ptr<video_source> source_;
    std::unique_ptr<board_process> daemon_;
    std::vector<std::unique_ptr<board_process>> earlier_daemons_;
};

// The daemon under test, as the environment or this build decides (see the top of this file).
struct daemon_under_test {
    std::string program;     // the daemon binary
    std::string spidev_lib;  // the spidev emulator that fits it
    std::string qemu;        // empty: the daemon runs natively
};
const daemon_under_test& e2e_daemon();
// The BusyBox binary every board of this test program uses (NANVIDEO_E2E_BUSYBOX); empty: none.
const std::string& e2e_busybox();

// Lines of a program's output that belong to a sanitizer report.
std::vector<std::string> sanitizer_report_lines(const std::vector<std::string>& lines);

// The processes of one board: those in its mount namespace, which every program started on the
// board shares (and keeps after the program that started it has gone).
std::string mount_namespace(pid_t pid);
// Their command lines, arguments joined by blanks; a zombie has no namespace and is not listed.
std::vector<std::string> board_processes(const std::string& mount_ns);
// Waits (up to the e2e deadline) until `done` accepts the board's processes.
bool wait_board_processes(const std::string& mount_ns,
                          const std::function<bool(const std::vector<std::string>&)>& done);

// A gtest fixture with a board named after the running test.
class board_test : public ::testing::Test {
protected:
    board_test();
    board_fixture board;
};
