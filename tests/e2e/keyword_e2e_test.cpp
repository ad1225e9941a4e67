// The keyword dispatcher on the simulated board, driven by nanvideo-keyword: the shell-command
// keywords find the phy and the NAN wdev as bring-up does and change the simulated driver, the
// batch runs with its attempts, the plain shell rows run on the board with their output
// discarded, and the tool's exit statuses follow the dispatcher's results.
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "board_fixture.hpp"
#include "board_world.hpp"
#include "expected_lines.hpp"

namespace {

using namespace expected;

// The tool is built next to the daemon.
const std::string keyword_tool =
    (std::filesystem::path(NANVIDEO_DAEMON_PATH).parent_path() / "nanvideo-keyword").string();
// Scripts on the board run the tool from where a board has it installed: the build tree may lie
// below /tmp, which the board replaces.
const std::string keyword_tool_on_board = "/usr/sbin/nanvideo-keyword";

// ---- the dispatcher's lines ----

std::string init_command(const std::string& phy) {
    return "iw phy" + phy + " interface add nan0 type __nan";
}

lines init_step(const std::string& phy) {
    lines out = {"", "=== Executing init custom logic ===", "init:" + init_command(phy),
                 "=== init custom logic execution completed ==="};
    append(out, batch({init_command(phy)}));
    return out;
}

lines start_banner(const std::string& command) {
    return {"", "=== Executing start custom logic ===", "start:" + command,
            "=== start custom logic execution completed ==="};
}

std::string failed_command_line(int exit_code) {
    return "[TID] Error: Executing command failed (exit code: " + std::to_string(exit_code) +
           ", retries: 3)!";
}

// ---- the board ----

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

daemon_options on_board(std::vector<std::string> args, board_world::options opts = {}) {
    return {.args = std::move(args),
            .emulate_spidev = false,
            .world = [opts](const std::string& state) {
                std::string error;
                ASSERT_EQ(board_world::populate(state, opts, &error), 0) << error;
                std::filesystem::copy_file(keyword_tool, state + "/root" + keyword_tool_on_board,
                                           std::filesystem::copy_options::overwrite_existing);
            }};
}

board_world::options failing(const std::string& pattern, int exit_status) {
    board_world::options opts;
    opts.failures.push_back({.pattern = pattern, .times = -1, .exit_status = exit_status});
    return opts;
}

class keyword_test : public board_test {
protected:
    // One run of the tool on the board.
    void run_tool(const std::vector<std::string>& args, const board_world::options& opts = {}) {
        ASSERT_TRUE(std::filesystem::exists(keyword_tool)) << keyword_tool << " is not built";
        board.start_program(keyword_tool, on_board(args, opts));
    }
    // A shell script on the board in which "$0" is the tool, for several runs on one board.
    void run_script(const std::string& script, const board_world::options& opts = {}) {
        ASSERT_TRUE(std::filesystem::exists(keyword_tool)) << keyword_tool << " is not built";
        board.start_program("/bin/sh", on_board({"-c", script, keyword_tool_on_board}, opts));
    }

    int exit_status() { return board.exit_code(); }

    lines out() const { return normalised(board.stdout_lines()); }
    lines err() const { return normalised(board.stderr_lines()); }
    lines calls() const { return board_world::read_call_lines(board.state_dir()); }

    board_world::driver_view driver() const {
        board_world::driver_view view;
        EXPECT_EQ(board_world::read_driver(board.state_dir(), &view), 0);
        return view;
    }
};

// ---- init, start and add_func find the phy and the wdev ----

using NanKeywordsOnBoard = keyword_test;

TEST_F(NanKeywordsOnBoard, InitFindsThePhyAndCreatesNan0) {
    board_world::options opts;
    opts.phy = 3;
    run_tool({"init"}, opts);
    ASSERT_EQ(exit_status(), 0);
    lines expected = phy_found("3");
    append(expected, init_step("3"));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});
    EXPECT_EQ(calls(), (lines{"iw dev", init_command("3")}));
    const board_world::driver_view view = driver();
    ASSERT_EQ(view.interfaces.size(), 2u);
    EXPECT_EQ(view.interfaces[1].name, "nan0");
    EXPECT_EQ(view.interfaces[1].type, "NAN");
}

TEST_F(NanKeywordsOnBoard, InitWithAPhyGivenDoesNotLookItUp) {
    board_world::options opts;
    opts.phy = 3;
    run_tool({"init", "3"}, opts);
    ASSERT_EQ(exit_status(), 0);
    EXPECT_EQ(out(), init_step("3"));
    EXPECT_EQ(calls(), lines{init_command("3")});
}

TEST_F(NanKeywordsOnBoard, StartAndAddFuncCarryTheWdevThatIsFound) {
    board_world::options opts;
    opts.first_wdev = 5;  // wlan0 is 0x5, so the added nan0 is 0x6
    run_script(
        "\"$0\" init >/dev/null && \"$0\" start pref 128 bands 2GHz 5GHz && "
        "\"$0\" add_func type publish unsolicited name Cam_01",
        opts);
    ASSERT_EQ(exit_status(), 0);

    const std::string start = "iw wdev 0x6 nan start pref 128 bands 2GHz 5GHz";
    const std::string add_func = "iw wdev 0x6 nan add_func type publish unsolicited name cam_01 ";
    lines expected = wdev_found("0x6");
    append(expected, start_banner(start));
    // Two commands, each followed by the spacing pause.
    append(expected, batch({start, "ifconfig nan0 up"}));
    append(expected, wdev_found("0x6"));
    append(expected, {"", "=== Executing add_func custom logic ===",
                      "Processed parameters: type publish unsolicited name cam_01 ",
                      "add_func:" + add_func,
                      "=== add_func custom logic execution completed ==="});
    append(expected, batch({add_func}));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});

    EXPECT_EQ(calls(), (lines{"iw dev", init_command("0"), "iw dev", start, "ifconfig nan0 up",
                              "iw dev",
                              "iw wdev 0x6 nan add_func type publish unsolicited name cam_01"}));
    const board_world::driver_view view = driver();
    ASSERT_EQ(view.interfaces.size(), 2u);
    EXPECT_EQ(view.interfaces[1].wdev, 6u);
    EXPECT_TRUE(view.interfaces[1].up);
    EXPECT_TRUE(view.nan_started);
    EXPECT_EQ(view.nan_start_args, "pref 128 bands 2GHz 5GHz");
    ASSERT_EQ(view.functions.size(), 1u);
    EXPECT_EQ(view.functions[0].args, "type publish unsolicited name cam_01");
}

TEST_F(NanKeywordsOnBoard, StartWithoutNan0FindsNoWdevAndRunsNothing) {
    run_tool({"start", "pref", "128"});
    EXPECT_EQ(exit_status(), 1);
    EXPECT_EQ(out(), (lines{"Command executed successfully!", "wdev index output: []",
                            "No wdev index found (command returned empty)!",
                            "Failed to get wdev!"}));
    EXPECT_EQ(calls(), lines{"iw dev"});
}

TEST_F(NanKeywordsOnBoard, StartWithoutParametersRunsNothing) {
    run_script("\"$0\" init >/dev/null && \"$0\" start");
    EXPECT_EQ(exit_status(), 1);
    lines expected = wdev_found("0x2");
    append(expected, {"", "=== Executing start custom logic ===",
                      "Error: start keyword requires parameters!",
                      "=== start custom logic execution failed ==="});
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(calls(), (lines{"iw dev", init_command("0"), "iw dev"}));
    EXPECT_FALSE(driver().nan_started);
}

// ---- dispatch and the batch ----

using DispatchOnBoard = keyword_test;

TEST_F(DispatchOnBoard, CapitalStartIsUnsupported) {
    run_tool({"Start", "pref", "128", "bands", "2GHz", "5GHz"});
    EXPECT_EQ(exit_status(), 1);
    EXPECT_EQ(out(), lines{"Error: Unsupported keyword <Start>!"});
    EXPECT_EQ(err(), lines{});
    EXPECT_EQ(calls(), lines{});
}

TEST_F(DispatchOnBoard, CommandFailingThreeTimesEndsTheBatch) {
    run_script("\"$0\" init >/dev/null && \"$0\" start pref 128 bands 2GHz 5GHz",
               failing("iw wdev 0x2 nan start *", 7));
    EXPECT_EQ(exit_status(), 1);
    const std::string start = "iw wdev 0x2 nan start pref 128 bands 2GHz 5GHz";
    lines expected = wdev_found("0x2");
    append(expected, start_banner(start));
    append(expected, batch({start, "ifconfig nan0 up"}, 0));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{failed_command_line(7)});
    // Three attempts of the first command; the second is never run.
    EXPECT_EQ(calls(), (lines{"iw dev", init_command("0"), "iw dev", start, start, start}));
    EXPECT_FALSE(driver().interfaces[1].up);
}

// A driver bug leaves `iw` hanging: past the limit the attempt is killed and counts as failed,
// and the next attempt goes through.
TEST_F(DispatchOnBoard, HungCommandIsKilledAtTheTimeLimitAndTriedAgain) {
    board_world::options opts;
    opts.failures.push_back(
        {.pattern = "iw wdev 0x2 nan start *", .times = 1, .exit_status = 0, .stall = true});
    run_script("\"$0\" init >/dev/null && \"$0\" --time-limit 2000 start pref 128", opts);
    EXPECT_EQ(exit_status(), 0);
    const std::string start = "iw wdev 0x2 nan start pref 128";
    lines expected = wdev_found("0x2");
    append(expected, start_banner(start));
    append(expected, {"", "=== Start executing collected commands ===",
                      "[TID] Executing command [1/2] (retry 1): " + start,
                      "[TID] Executing command [1/2] (retry 2): " + start,
                      "Command [1] executed successfully!",
                      "[TID] Executing command [2/2] (retry 1): ifconfig nan0 up",
                      "Command [2] executed successfully!", batch_completed, ""});
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{"[TID] Error: Command timed out after 2000 ms, killed: " + start});
    EXPECT_EQ(calls(), (lines{"iw dev", init_command("0"), "iw dev", start, start,
                              "ifconfig nan0 up"}));
    EXPECT_TRUE(driver().nan_started);
}

TEST_F(DispatchOnBoard, ResetAndUpdatefwRunTheirCommands) {
    run_script("\"$0\" reset && \"$0\" updatefw");
    EXPECT_EQ(exit_status(), 0);
    lines expected = {"", "=== Executing reset custom logic ===", "reset:reboot",
                      "=== reset custom logic execution completed ==="};
    append(expected, batch({"reboot"}));
    append(expected, {"", "=== Executing updatefw custom logic ===",
                      "updatefw:/bin/usb.sh -r usbh_msc",
                      "=== updatefw custom logic execution completed ==="});
    append(expected, batch({"/bin/usb.sh -r usbh_msc"}));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(calls(), (lines{"reboot", "/bin/usb.sh -r usbh_msc"}));
}

// ---- plain shell rows ----

using PlainRowsOnBoard = keyword_test;

TEST_F(PlainRowsOnBoard, MkdirCreatesTheDirectoryOnTheBoard) {
    run_tool({"mkdir", "/tmp/x"});
    EXPECT_EQ(exit_status(), 0);
    // The prefix's echo goes where all status-mode output goes: nowhere.
    EXPECT_EQ(out(), batch({"echo \"Create directory: \" && mkdir /tmp/x"}));
    EXPECT_EQ(err(), lines{});
    EXPECT_TRUE(std::filesystem::is_directory(board.state_dir() + "/tmp/x"));
}

TEST_F(PlainRowsOnBoard, LsOutputIsDiscardedWithAndWithoutParameters) {
    board.write_state_file("tmp/visible", "x");
    run_script("\"$0\" ls /tmp && \"$0\" ls");
    EXPECT_EQ(exit_status(), 0);
    lines expected = batch({"echo \"List directory: \" && ls /tmp"});
    // No parameters: the prefix and the keyword alone, no trailing blank.
    append(expected, batch({"echo \"List directory: \" && ls"}));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});
}

TEST_F(PlainRowsOnBoard, CpCopiesAFileOnTheBoard) {
    board.write_state_file("tmp/a", "camera\n");
    run_tool({"cp", "/tmp/a", "/tmp/b"});
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(out(), batch({"echo \"Copy file: \" && cp /tmp/a /tmp/b"}));
    EXPECT_EQ(read_file(board.state_dir() + "/tmp/b"), "camera\n");
}

TEST_F(PlainRowsOnBoard, FailingCommandIsTriedThreeTimes) {
    run_tool({"mkdir", "/tmp/no/such"});
    EXPECT_EQ(exit_status(), 1);
    EXPECT_EQ(out(), batch({"echo \"Create directory: \" && mkdir /tmp/no/such"}, 0));
    EXPECT_EQ(err(), lines{failed_command_line(1)});
    EXPECT_FALSE(std::filesystem::exists(board.state_dir() + "/tmp/no"));
}

// ---- the tool ----

using KeywordToolOnBoard = keyword_test;

TEST_F(KeywordToolOnBoard, ExitStatuses) {
    run_script(
        "\"$0\"; echo \"status $?\"; "
        "\"$0\" --help >/dev/null; echo \"status $?\"; "
        "\"$0\" Start >/dev/null; echo \"status $?\"; "
        "\"$0\" init >/dev/null; echo \"status $?\"; "
        "\"$0\" data_end initiatorndi 02:11 >/dev/null 2>&1; echo \"status $?\"; "
        "\"$0\" data_end type mcast >/dev/null 2>&1; echo \"status $?\"");
    EXPECT_EQ(exit_status(), 0);
    // usage, help, unknown keyword, success, value rejected on its content, syntax error
    EXPECT_EQ(out(), (lines{"status 64", "status 0", "status 1", "status 0", "status 2",
                            "status 1"}));
    ASSERT_FALSE(err().empty());
    EXPECT_EQ(err()[0], "Usage: nanvideo-keyword KEYWORD [PARAMETERS...]");
}

TEST_F(KeywordToolOnBoard, ConfigWriteWritesBackTheStoredRecord) {
    run_tool({"config_write"});
    EXPECT_EQ(exit_status(), 0);
    const std::string stored = board_world::default_vemuparam;
    const std::string command = "fw_setenv vemuparam \"" + stored + "\"";
    lines expected = {"Command executed successfully!", "Extracted the parambuf=" + stored,
                      "Parse entire parameter=" + stored, "Parameter initialization successful.",
                      "", "=== Executing config write custom logic ===",
                      "config_write:" + command,
                      "=== config write custom logic execution completed ==="};
    append(expected, batch({command}));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(calls(), (lines{"fw_printenv -n vemuparam", "fw_setenv vemuparam " + stored}));
    std::string value;
    ASSERT_EQ(board_world::read_boot_env(board.state_dir(), "vemuparam", &value), 0);
    EXPECT_EQ(value, stored);
}

TEST_F(KeywordToolOnBoard, ConfigWriteWritesBackQuotesAndBackslashesUnchanged) {
    // Stored by hand with the board's fw_setenv, written back by the tool, read with fw_printenv.
    const lines records = {"name:NanCam pmk: password:ab\\\\cd\\\"efgh hostname:nancam.local",
                           "name:NanCam pmk: password:ab\"cdefgh hostname:nancam.local"};
    std::string script;
    for (const std::string& record : records)
        script += "fw_setenv vemuparam '" + record + "' && \"$0\" config_write >/dev/null && fw_printenv -n vemuparam; ";
    run_script(script);
    EXPECT_EQ(exit_status(), 0);
    EXPECT_EQ(out(), records);
    EXPECT_EQ(err(), lines{});
    lines expected_calls;
    for (const std::string& record : records)
        append(expected_calls, {"fw_setenv vemuparam " + record, "fw_printenv -n vemuparam",
                                "fw_setenv vemuparam " + record, "fw_printenv -n vemuparam"});
    EXPECT_EQ(calls(), expected_calls);
}

TEST_F(KeywordToolOnBoard, ConfigWriteWithNothingStoredWritesNothing) {
    board_world::options opts;
    opts.env = board_world::boot_env::no_variable;
    run_tool({"config_write"}, opts);
    EXPECT_EQ(exit_status(), 1);
    EXPECT_EQ(out(), (lines{"Command executed successfully!",
                            "No parambuf found (command returned empty)!",
                            "Failed to get parameter!", provision_line}));
    EXPECT_EQ(calls(), lines{"fw_printenv -n vemuparam"});
    EXPECT_EQ(board_world::read_boot_env(board.state_dir(), "vemuparam", nullptr), 1);
}

}  // namespace
