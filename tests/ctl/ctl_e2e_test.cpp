// nanvideoctl against the real daemon on the simulated board. The daemon's port is inside the
// board's network namespace, so the tool runs there through nsenter.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "board_fixture.hpp"
#include "board_world.hpp"
#include "payload_checker.hpp"
#include "tool_runner.hpp"

namespace {

const std::string tool = NANVIDEO_CTL_PATH;
const std::string param_ok_line = "Parameter initialization successful.";
const std::string add_func_done = "=== add_func custom logic execution completed ===";
const std::string batch_done = "=== All commands execution completed ===";
const std::string query_notice =
    "nanvideoctl: note: after this query the daemon sends no more video to any client until it "
    "is restarted\n";
constexpr int call_timeout_ms = 30000;

class CtlOnBoard : public board_test {
protected:
    // Starts the daemon and waits until it idles after NAN bring-up.
    void start() {
        board.start_daemon();
        ASSERT_TRUE(board.wait_stdout(param_ok_line));
        const std::optional<size_t> add_func = board.wait_stdout(add_func_done);
        ASSERT_TRUE(add_func);
        ASSERT_TRUE(board.wait_stdout(batch_done, *add_func));
    }

    tool_result ctl(const std::vector<std::string>& args, const std::string& host = "127.0.0.1") {
        std::vector<std::string> argv = {
            "nsenter", "--net=/proc/" + std::to_string(board.daemon().pid()) + "/ns/net", tool,
            host};
        argv.insert(argv.end(), args.begin(), args.end());
        return run_tool(argv);
    }

    static std::string last_line(const std::string& text) {
        std::string line = text;
        if (!line.empty() && line.back() == '\n') line.pop_back();
        return line.substr(line.rfind('\n') == std::string::npos ? 0 : line.rfind('\n') + 1);
    }

    const payload_plan plan{.seed = 21, .derived_length = false, .fixed_length = 4096};
};

TEST_F(CtlOnBoard, VersionRecordAndCheckWhileVideoFlows) {
    start();
    board.source().start_stream({.frames_per_second = 50, .count = 0, .plan = plan});

    tool_result r = ctl({"version"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(board_world::default_zqversion) + "\nOK\n");

    r = ctl({"version"}, "::1");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, std::string(board_world::default_zqversion) + "\nOK\n");

    r = ctl({"check", "--seed", "21", "--frames", "40"});
    EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
    EXPECT_EQ(last_line(r.out), "Result: all checked bytes are right") << r.out;

    const std::string capture = board.state_dir() + "/capture.bin";
    r = ctl({"record", capture, "--bytes", "20000"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::ifstream in(capture, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                     std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 20000u);
    payload_checker checker(plan);
    checker.feed(bytes.data(), bytes.size());
    EXPECT_EQ(checker.errors(), 0u) << checker.first_problem();
    EXPECT_GE(checker.frames_checked(), 3u);
}

TEST_F(CtlOnBoard, ConfigIsStoredRefusedAndShown) {
    start();
    const std::string text = "name:Garden_Cam pmk: password:abcdefgh1 hostname:garden.local";
    tool_result r = ctl({"config", text});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "OK\n");
    std::string stored;
    EXPECT_EQ(board_world::read_boot_env(board.state_dir(), "vemuparam", &stored), 0);
    EXPECT_EQ(stored, text);

    r = ctl({"config", "name:x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: Missing required field\n");

    board.source().start_stream({.frames_per_second = 50, .count = 0, .plan = plan});
    r = ctl({"config"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, text + "\nOK\n");
    EXPECT_EQ(r.err, query_notice);
}

TEST_F(CtlOnBoard, ResetAndUpdatefwRunTheirPrograms) {
    start();
    tool_result r = ctl({"reset"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_GE(board_world::wait_for_call(board.state_dir(), "reboot*", call_timeout_ms), 0);

    r = ctl({"updatefw"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_GE(board_world::wait_for_call(board.state_dir(), "usb.sh -r usbh_msc", call_timeout_ms),
              0);
}

TEST_F(CtlOnBoard, StatusTableAndJsonWhileVideoFlows) {
    start();
    board.source().start_stream({.frames_per_second = 50, .count = 0, .plan = plan});
    tool_result r = ctl({"check", "--seed", "21", "--frames", "20"});
    ASSERT_EQ(r.exit_status, 0) << r.out << r.err;

    r = ctl({"status"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("up  ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\nvideo                      streaming\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nSPI transfers failed       0\n"), std::string::npos) << r.out;
    // The asking tool is the one client.
    EXPECT_NE(r.out.find("\nclients connected          1\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nNAN data paths refused     0\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n1            free\n2            free\n3            free\n"),
              std::string::npos)
        << r.out;

    r = ctl({"status", "--json"}, "::1");
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"uptime_s\":", 0), 0u) << r.out;
    EXPECT_EQ(r.out.substr(r.out.size() - 2), "}\n") << r.out;
    EXPECT_EQ(r.out.find('\n'), r.out.size() - 1) << r.out;
    EXPECT_NE(r.out.find(",\"frames_refused_sync\":0,"), std::string::npos) << r.out;
    // The check before took frames off the ring as the one client: at least its 20.
    const size_t sent = r.out.find("\"total_frames_sent\":");
    ASSERT_NE(sent, std::string::npos) << r.out;
    EXPECT_GE(std::stoull(r.out.substr(sent + 20)), 20u) << r.out;
}

}  // namespace
