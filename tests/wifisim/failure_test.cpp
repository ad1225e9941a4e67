// Call log, injected failures and the quiet stand-ins (reboot, usb.sh), and concurrent runs.
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "board_fixture.hpp"

namespace wifisim_test {
namespace {

using Standins = BoardTest;

TEST_F(Standins, EveryCallIsLoggedWithItsArguments) {
    run("iw dev >/dev/null");
    run("reboot");
    run("/bin/sh -c '" + path("root/usr/bin/usb.sh") + " -r usbh_msc'");
    run("ifconfig nan0 up");
    run("iw wdev 0x1 nan add_func type publish unsolicited name \"two words\" ''");
    const std::vector<std::string> lines = board_world::read_call_lines(state);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "iw dev");
    EXPECT_EQ(lines[1], "reboot");
    EXPECT_EQ(lines[2], path("root/usr/bin/usb.sh") + " -r usbh_msc");
    EXPECT_EQ(lines[3], "ifconfig nan0 up");
    const std::vector<board_world::call> calls = board_world::read_calls(state);
    const std::vector<std::string> last = {"iw",     "wdev",        "0x1",  "nan",       "add_func",
                                           "type",   "publish",     "unsolicited", "name",
                                           "two words", ""};
    EXPECT_EQ(calls[4].argv, last);
    EXPECT_EQ(board_world::read_call_lines(state, "usb.sh").size(), 1u);
    EXPECT_EQ(board_world::read_call_lines(state, "iw").size(), 2u);
    EXPECT_EQ(read_text(path("calls.log")).substr(0, 7), "iw dev\n");
}

TEST_F(Standins, WaitingForACallFindsItByPattern) {
    run("iw dev; reboot; iw phy0 interface add nan0 type __nan");
    EXPECT_EQ(board_world::wait_for_call(state, "iw phy* interface add nan0 *", 0), 2);
    EXPECT_EQ(board_world::wait_for_call(state, "iw *", 0), 0);
    EXPECT_EQ(board_world::wait_for_call(state, "iw *", 0, 1), 2);
    EXPECT_EQ(board_world::wait_for_call(state, "usb.sh *", 30), -1);
}

TEST_F(Standins, ACommandFailsTheGivenNumberOfTimes) {
    ASSERT_EQ(board_world::add_failure(state, {"iw phy* interface add *", 2, 1}), 0);
    run_result first = run("iw phy0 interface add nan0 type __nan");
    EXPECT_EQ(first.status, 1);
    EXPECT_EQ(first.err, "command failed: Input/output error (-5)\n");
    EXPECT_EQ(run("iw phy0 interface add nan0 type __nan").status, 1);
    EXPECT_EQ(run("iw dev").out.find("nan0"), std::string::npos) << "a failed call changes nothing";
    EXPECT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(board_world::read_call_lines(state, "iw").size(), 4u);
    const std::vector<board_world::failure> left = board_world::read_failures(state);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].times, 0);
}

TEST_F(Standins, FailuresCarryTheirStatusOrSignalAndMayLastForEver) {
    board_world::options opts;
    opts.failures = {{"reboot", -1, 3}, {"usb.sh -r *", 1, -9}};
    repopulate(opts);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(run("reboot").status, 3);
    EXPECT_EQ(run(path("root/usr/bin/usb.sh") + " -r usbh_msc").status, 128 + SIGKILL);
    EXPECT_EQ(run(path("root/usr/bin/usb.sh") + " -r usbh_msc").status, 0);
    EXPECT_EQ(run("ifconfig lo up").status, 0) << "other commands are untouched";
    ASSERT_EQ(board_world::clear_failures(state), 0);
    EXPECT_EQ(run("reboot").status, 0);
}

TEST_F(Standins, AStalledCallHangsUntilReleasedThenFailsOrWorksAsTold) {
    ASSERT_EQ(board_world::add_failure(state, {.pattern = "iw dev", .times = -1, .exit_status = 0,
                                               .stall = true}),
              0);
    ASSERT_EQ(board_world::add_failure(state, {.pattern = "reboot", .times = 1, .exit_status = 3,
                                               .stall = true}),
              0);
    std::atomic<bool> finished{false};
    run_result dev;
    run_result reboot;
    std::thread runs([&] {
        dev = run("iw dev");
        reboot = run("reboot");
        finished = true;
    });
    ASSERT_EQ(board_world::wait_for_call(state, "iw dev", 30000), 0);
    EXPECT_FALSE(finished) << "a stalled call returned before it was released";
    ASSERT_EQ(board_world::release_stalls(state), 0);
    runs.join();
    EXPECT_EQ(dev.status, 0);
    EXPECT_NE(dev.out.find("phy#0"), std::string::npos) << dev.out;
    EXPECT_EQ(reboot.status, 3);  // released at once: the stall was lifted with the first
    const run_result later = run("iw dev");
    EXPECT_NE(later.out.find("phy#0"), std::string::npos) << "a released hang works from then on";
}

TEST_F(Standins, TheFirstMatchingRuleWithCallsLeftDecides) {
    ASSERT_EQ(board_world::add_failure(state, {"iw * vendor send 0xe04c 0x1902 *", 1, 2}), 0);
    ASSERT_EQ(board_world::add_failure(state, {"iw *", 1, 4}), 0);
    EXPECT_EQ(run("iw nan0 vendor send 0xe04c 0x1902 /tmp/x").status, 2);
    EXPECT_EQ(run("iw nan0 vendor send 0xe04c 0x1902 /tmp/x").status, 4);
    EXPECT_EQ(run("iw dev").status, 0);
}

TEST_F(Standins, RebootShadowsBothProgramDirectoriesWithCopies) {
    for (const char* name : {"root/usr/sbin/reboot", "root/usr/bin/reboot", "root/usr/sbin/iw",
                             "root/usr/bin/iw", "root/usr/sbin/ifconfig", "root/usr/bin/usb.sh",
                             "root/usr/bin/fw_printenv", "root/usr/bin/fw_setenv"}) {
        struct stat st {};
        ASSERT_EQ(lstat(path(name).c_str(), &st), 0) << name;
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name << " is a copy, not a link";
        EXPECT_EQ(st.st_mode & 0777, 0755u) << name;
    }
    EXPECT_EQ(run("command -v reboot").out, path("root/usr/sbin/reboot") + "\n");
    EXPECT_EQ(run("reboot").status, 0);
    EXPECT_EQ(board_world::read_call_lines(state), std::vector<std::string>{"reboot"});
}

TEST_F(Standins, WithoutTheBoardVariableTheyRefuseToRun) {
    run_result r = run("unset NANVIDEO_BOARD; iw dev; echo \"status=$?\"");
    EXPECT_EQ(r.out, "status=1\n");
    EXPECT_EQ(r.err, "iw: NANVIDEO_BOARD is not set (the simulated board's state directory)\n");
    EXPECT_EQ(run("unset NANVIDEO_BOARD; reboot").status, 1);
    EXPECT_TRUE(board_world::read_calls(state).empty());
}

TEST_F(Standins, IwCanBeMissingAltogether) {
    board_world::options opts;
    opts.iw_present = false;
    repopulate(opts);
    for (const char* name : {"root/usr/sbin/iw", "root/usr/bin/iw"}) {
        struct stat st {};
        const bool present = lstat(path(name).c_str(), &st) == 0;
        // Either nothing, or (when privileged) an overlay whiteout that hides the host's iw.
        EXPECT_TRUE(!present || (S_ISCHR(st.st_mode) && st.st_rdev == 0)) << name;
    }
    EXPECT_NE(run("iw dev").status, 0);
    EXPECT_EQ(run("reboot").status, 0) << "the other stand-ins stay";
    opts.iw_present = true;
    repopulate(opts);
    EXPECT_EQ(run("iw dev").status, 0);
}

TEST_F(Standins, ConcurrentRunsKeepEveryLineAndNumberEveryRecord) {
    constexpr int runners = 6;
    constexpr int rounds = 20;
    ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    ASSERT_TRUE(wifisim::write_file_replacing(path("tmp/record"), std::string(11, '\1')));
    std::string script;
    for (int r = 0; r < runners; ++r) {
        script += "(i=0; while [ $i -lt " + std::to_string(rounds) + " ]; do iw nan0 vendor send "
                  "0xe04c 0x1903 " + path("tmp/record") + " || exit 1; iw dev >/dev/null; "
                  "i=$((i+1)); done) & ";
    }
    script += "wait";
    ASSERT_EQ(run(script).status, 0);

    const std::vector<std::string> lines = board_world::read_call_lines(state, "iw");
    EXPECT_EQ(lines.size(), 1u + 2u * runners * rounds);
    for (const std::string& line : lines) {
        EXPECT_TRUE(line == "iw dev" || line == "iw phy0 interface add nan0 type __nan" ||
                    line == "iw nan0 vendor send 0xe04c 0x1903 " + path("tmp/record"))
            << line;
    }
    const std::vector<board_world::vendor_record> records = board_world::read_vendor_records(state);
    ASSERT_EQ(records.size(), static_cast<size_t>(runners * rounds));
    for (size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].number, i + 1);
        EXPECT_TRUE(records[i].taken());
        EXPECT_EQ(records[i].bytes.size(), 11u);
    }
}

}  // namespace
}  // namespace wifisim_test
