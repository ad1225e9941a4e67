// nanvideoctl as a person runs it, against a fake daemon on a loopback port: the replies it
// prints and its exit statuses, what it records, what it finds when it checks a stream.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fake_daemon.hpp"
#include "tool_runner.hpp"

namespace {

const std::string tool = NANVIDEO_CTL_PATH;

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    if (start < text.size()) lines.push_back(text.substr(start));
    return lines;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Video as the daemon sends it: payloads of a plan, here with a fixed seed.
const payload_plan video_plan{.seed = 3, .derived_length = false, .fixed_length = 4096};

std::string video(uint32_t first, uint32_t count) {
    return payload_stream(video_plan, first, count);
}

class ctl_test : public ::testing::Test {
protected:
    tool_result run(const std::vector<std::string>& args, const std::string& host = "127.0.0.1") {
        std::vector<std::string> argv = {tool, host};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back("--port");
        argv.push_back(daemon.port());
        return run_tool(argv);
    }

    fake_daemon daemon;
};

// ---- AT commands ----

using CtlAtCommand = ctl_test;

TEST_F(CtlAtCommand, VersionShowsTheTextAndOkAmidVideo) {
    // The bytes of the frame before each reply end in text by chance, differently each time.
    const std::string reply = "NANCAM_V1.1.0_SIM\r\nOK\r\n";
    daemon.serve({.greeting = video(0, 3),
                  .answers = {video(3, 1) + "\x01Qz" + reply + video(4, 1),
                              video(5, 1) + "\x02R" + reply + video(6, 1),
                              video(7, 1) + "\x03" + reply + video(8, 2)}});
    const tool_result r = run({"version"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "NANCAM_V1.1.0_SIM\nOK\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>(3, "AT+AB version"));
}

TEST_F(CtlAtCommand, ConfigQueryShowsTheParametersAfterANotice) {
    // The frame before ends in name characters; the password holds colons and a non-ASCII byte.
    const std::string params = "name:NanCam pmk: password:p\xC3\xA4ss:w0rd hostname:nancam.local";
    daemon.serve(
        {.greeting = video(0, 2), .answers = {video(2, 1) + "\x7Fxy-" + params + "\r\nOK\r\n"}});
    const tool_result r = run({"config"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, params + "\nOK\n");
    EXPECT_EQ(r.err,
              "nanvideoctl: note: after this query the daemon sends no more video to any client "
              "until it is restarted\n");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB config"});
}

TEST_F(CtlAtCommand, ConfigWithTextSendsItAndShowsOk) {
    const std::string text = "name:Cam pmk: password:abcdefgh hostname:cam.local";
    daemon.serve({.greeting = video(0, 1), .answers = {video(1, 2) + "OK\r\n" + video(3, 1)}});
    const tool_result r = run({"config", text});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB config " + text});
}

TEST_F(CtlAtCommand, ResetSendsItsCommandAndShowsOk) {
    daemon.serve({.greeting = video(0, 1), .answers = {video(1, 1) + "OK\r\n"}});
    const tool_result r = run({"reset"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB reset"});
}

TEST_F(CtlAtCommand, UpdatefwSendsItsCommandAndShowsOk) {
    daemon.serve({.answers = {"OK\r\n"}});
    const tool_result r = run({"updatefw"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB updatefw"});
}

TEST_F(CtlAtCommand, ErrorReplyIsShownOnStandardErrorWithStatusOne) {
    daemon.serve({.greeting = video(0, 1),
                  .answers = {video(1, 1) + "ERROR: Missing required field\r\n" + video(2, 1)}});
    const tool_result r = run({"config", "name:x"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: Missing required field\n");
}

TEST_F(CtlAtCommand, VersionErrorIsNotAskedAgain) {
    daemon.serve({.answers = {"ERROR: Command execution failed\r\n"}});
    const tool_result r = run({"version"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "ERROR: Command execution failed\n");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB version"});
}

TEST_F(CtlAtCommand, OfTwoRepliesArrivingTogetherTheFirstCounts) {
    // The reply, then video (which goes on while commands run) that happens to hold an error
    // line, in one write.
    daemon.serve({.answers = {"\x10\x11OK\r\n\x12"
                              "ERROR: Command execution failed\r\n"}});
    const tool_result r = run({"updatefw"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.out, "OK\n");
    EXPECT_EQ(r.err, "");
}

TEST_F(CtlAtCommand, SilentDaemonTimesOutWithStatusFour) {
    daemon.serve({.greeting = video(0, 4), .answers = {""}});
    const tool_result r = run({"version", "--timeout", "0.3"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nanvideoctl: no reply from 127.0.0.1 within 0.3 s\n");
}

TEST_F(CtlAtCommand, ConnectionClosedAtOnceHintsAtTheClientLimit) {
    daemon.serve({.close_after_greeting = true});
    const tool_result r = run({"reset"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(r.err,
              "nanvideoctl: 127.0.0.1 closed the connection without a reply (the daemon takes at "
              "most 4 clients at once)\n");
}

TEST_F(CtlAtCommand, ConnectionClosedAfterVideoBeforeAReply) {
    daemon.serve({.greeting = video(0, 1), .close_after_greeting = true});
    const tool_result r = run({"reset"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(r.err, "nanvideoctl: 127.0.0.1 closed the connection before a reply came\n");
}

TEST(CtlConnect, RefusedConnectionHasStatusThree) {
    std::string port;
    {
        fake_daemon closed_soon;  // an ephemeral port that nobody listens on afterwards
        port = closed_soon.port();
    }
    const tool_result r = run_tool({tool, "127.0.0.1", "version", "--port", port});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.err,
              "nanvideoctl: cannot connect to 127.0.0.1 port " + port + ": Connection refused\n");
}

TEST(CtlConnect, UnknownNameHasStatusThree) {
    const tool_result r = run_tool({tool, "nanvideo-no-such-host.invalid", "version"});
    EXPECT_EQ(r.exit_status, 3);
    EXPECT_EQ(r.err.rfind("nanvideoctl: cannot resolve nanvideo-no-such-host.invalid: ", 0), 0u)
        << r.err;
}

class CtlIpv6 : public ::testing::TestWithParam<const char*> {};

TEST_P(CtlIpv6, LiteralAddressReachesTheDaemon) {
    fake_daemon daemon(fake_family::ipv6);
    if (!daemon.listening()) GTEST_SKIP() << "no IPv6 loopback here";
    daemon.serve({.answers = {"V6\r\nOK\r\n", "V6\r\nOK\r\n", "V6\r\nOK\r\n"}});
    const tool_result r = run_tool({tool, GetParam(), "version", "--port", daemon.port()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, "V6\nOK\n");
}

INSTANTIATE_TEST_SUITE_P(PlainAndBracketed, CtlIpv6, ::testing::Values("::1", "[::1]"));

// ---- record ----

class CtlRecord : public ctl_test {
protected:
    std::string path() const {
        return std::filesystem::temp_directory_path() /
               ("nanvideoctl-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    void TearDown() override { std::filesystem::remove(path()); }
};

TEST_F(CtlRecord, BytesLimitWritesExactlyThoseBytes) {
    const std::string stream = video(0, 10);
    daemon.serve({.greeting = stream});
    const tool_result r = run({"record", path(), "--bytes", "10000"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(read_file(path()), stream.substr(0, 10000));
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0], "Saved 10000 bytes (2.4 frames of 4096 bytes) to " + path());
    EXPECT_EQ(lines[1].rfind("Elapsed ", 0), 0u) << lines[1];
    EXPECT_EQ(r.out, "");
}

TEST_F(CtlRecord, ToStandardOutput) {
    daemon.serve({.greeting = video(0, 2)});
    const tool_result r = run({"record", "-", "--bytes", "5000"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out, video(0, 2).substr(0, 5000));
    EXPECT_EQ(lines_of(r.err).at(0),
              "Saved 5000 bytes (1.2 frames of 4096 bytes) to standard output");
}

TEST_F(CtlRecord, StreamEndingEarlyKeepsWhatCameAndHasStatusFour) {
    daemon.serve({.greeting = video(0, 1), .close_after_greeting = true});
    const tool_result r = run({"record", path(), "--bytes", "10000"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(read_file(path()), video(0, 1));
    const std::vector<std::string> lines = lines_of(r.err);
    ASSERT_EQ(lines.size(), 3u) << r.err;
    EXPECT_EQ(lines[0], "Saved 4096 bytes (1.0 frames of 4096 bytes) to " + path());
    EXPECT_EQ(lines[2], "nanvideoctl: 127.0.0.1 closed the connection");
}

TEST_F(CtlRecord, StalledStreamHasStatusFour) {
    daemon.serve({.greeting = video(0, 1)});
    // The frame that is compared must come within the stall time-out: long enough for a busy
    // machine to hand it over.
    const tool_result r = run({"record", path(), "--seconds", "60", "--timeout", "2"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(read_file(path()), video(0, 1));
    EXPECT_EQ(lines_of(r.err).back(), "nanvideoctl: no video from 127.0.0.1 for 2 s");
}

TEST_F(CtlRecord, UnwritableFileHasStatusFive) {
    const tool_result r = run({"record", "/nonexistent-nanvideo-dir/out.bin"});
    EXPECT_EQ(r.exit_status, 5);
    EXPECT_EQ(
        r.err,
        "nanvideoctl: cannot write /nonexistent-nanvideo-dir/out.bin: No such file or directory\n");
}

// ---- check ----

using CtlCheck = ctl_test;

TEST_F(CtlCheck, GoodStreamJoinedMidFramePasses) {
    // The client joins 1000 bytes before the end of frame 4's payload.
    const std::string stream = video(4, 1).substr(4096 - 1000) + video(5, 20);
    daemon.serve({.greeting = stream});
    const tool_result r = run({"check", "--seed", "3", "--frames", "20"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "Frames checked: 20",
                                   "Bytes skipped: 1000",
                                   "Frames missing: 0 (jumps: 0)",
                                   "Result: all checked bytes are right",
                               }));
    EXPECT_EQ(r.err, "");
}

TEST_F(CtlCheck, CorruptedStreamReportsTheFirstWrongByte) {
    std::string stream = video(0, 10);
    const size_t wrong = 3 * 4096 + 100;
    const uint8_t expected = static_cast<uint8_t>(stream[wrong]);
    stream[wrong] = static_cast<char>(expected ^ 0xFF);
    daemon.serve({.greeting = stream});
    const tool_result r = run({"check", "--seed", "3", "--frames", "10"});
    EXPECT_EQ(r.exit_status, 1);
    char problem[96];
    snprintf(problem, sizeof problem,
             "First problem: frame 3: payload byte 100 is 0x%02X, expected 0x%02X", expected ^ 0xFF,
             expected);
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "Frames checked: 3",
                                   "Bytes skipped: 0",
                                   "Frames missing: 0 (jumps: 0)",
                                   problem,
                                   "Result: wrong bytes",
                               }));
}

TEST_F(CtlCheck, AnotherSeedIsWrongFromTheFirstFrame) {
    daemon.serve({.greeting = video(0, 2)});
    const tool_result r = run({"check", "--seed", "4", "--frames", "2"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(lines_of(r.out).back(), "Result: wrong bytes");
    EXPECT_EQ(lines_of(r.out).at(3).rfind("First problem: frame 0: payload byte 8 is ", 0), 0u)
        << r.out;
}

TEST_F(CtlCheck, LostFramesAreReportedButAreNoWrongBytes) {
    daemon.serve({.greeting = video(0, 5) + video(8, 10)});
    const tool_result r = run({"check", "--seed", "3", "--frames", "15"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out), (std::vector<std::string>{
                                   "Frames checked: 15",
                                   "Bytes skipped: 0",
                                   "Frames missing: 3 (jumps: 1)",
                                   "First problem: frame 8 follows frame 4",
                                   "Result: all checked bytes are right",
                               }));
}

TEST_F(CtlCheck, DerivedLengths) {
    const payload_plan plan{.seed = 9, .derived_length = true, .fixed_length = 4096};
    daemon.serve({.greeting = payload_stream(plan, 0, 40)});
    const tool_result r = run({"check", "--seed", "9", "--derived-length", "--frames", "20"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(lines_of(r.out).front(), "Frames checked: 20");
    EXPECT_EQ(lines_of(r.out).back(), "Result: all checked bytes are right");
}

TEST_F(CtlCheck, StreamClosingBeforeTheEndHasStatusFour) {
    daemon.serve({.greeting = video(0, 2), .close_after_greeting = true});
    const tool_result r = run({"check", "--seed", "3", "--frames", "5"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(lines_of(r.out).front(), "Frames checked: 2");
    EXPECT_EQ(r.err, "nanvideoctl: 127.0.0.1 closed the connection\n");
}

TEST_F(CtlCheck, NoVideoAtAllHasStatusFour) {
    daemon.serve({});
    const tool_result r = run({"check", "--seed", "3", "--timeout", "0.3"});
    EXPECT_EQ(r.exit_status, 4);
    EXPECT_EQ(lines_of(r.out).back(), "Result: no frame checked");
    EXPECT_EQ(r.err, "nanvideoctl: no video from 127.0.0.1 for 0.3 s\n");
}

// ---- status ----

using CtlStatus = ctl_test;

const std::string status_lines =
    "uptime_s=75\r\nframes_stored=900\r\nclients=1\r\nclient0_connected=1\r\n"
    "client0_connection=4\r\nclient0_connected_s=70\r\nclient0_frames_sent=880\r\n"
    "client0_bytes_sent=3604480\r\nclient1_connected=0";

std::string status_reply(const std::string& lines) { return lines + "\r\nOK\r\n"; }

TEST_F(CtlStatus, TableAmidVideoThatEndsInLookalikeText) {
    daemon.serve({.greeting = video(0, 2),
                  .answers = {video(2, 1) + "uptime_s=9\r\nab=" + status_reply(status_lines) +
                              video(3, 1)}});
    const tool_result r = run({"status"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "up                         1 min 15 s\n"
              "video                      streaming\n"
              "bus idle                   0 s\n"
              "frames stored              900\n"
              "clients connected          1\n"
              "\n"
              "client connection      connected  frames sent     bytes sent  skipped time-outs "
              "commands frames/s out\n"
              "0               4     1 min 10 s          880        3604480        0         0 "
              "       0            -\n"
              "1            free\n"
              "2            free\n"
              "3            free\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(daemon.commands(), std::vector<std::string>{"AT+AB status"});
}

TEST_F(CtlStatus, JsonIsOneObject) {
    daemon.serve({.greeting = video(0, 1), .answers = {status_reply(status_lines) + video(1, 1)}});
    const tool_result r = run({"status", "--json"});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.out,
              "{\"uptime_s\":75,\"frames_stored\":900,\"clients\":1,\"client0_connected\":1,"
              "\"client0_connection\":4,\"client0_connected_s\":70,\"client0_frames_sent\":880,"
              "\"client0_bytes_sent\":3604480,\"client1_connected\":0}\n");
}

// Two readings a little apart give rates; the error that ends the third ends the watch.
TEST_F(CtlStatus, WatchShowsRatesFromTwoReadings) {
    std::string later = status_lines;
    later.replace(later.find("frames_stored=900"), 17, "frames_stored=990");
    later.replace(later.find("client0_frames_sent=880"), 23, "client0_frames_sent=970");
    daemon.serve({.greeting = video(0, 1),
                  .answers = {status_reply(status_lines) + video(1, 2),
                              video(3, 1) + status_reply(later),
                              "ERROR: Command execution failed\r\n"}});
    const tool_result r = run({"status", "--json", "--watch", "0.2"});
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(r.err, "ERROR: Command execution failed\n");
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    EXPECT_EQ(lines[0].find("frames_per_s_in"), std::string::npos);
    EXPECT_NE(lines[1].find("\"client0_frames_sent\":970,\"client0_bytes_sent\":3604480,"
                            "\"client1_connected\":0,\"frames_per_s_in\":"),
              std::string::npos)
        << lines[1];
    EXPECT_NE(lines[1].find(",\"client0_frames_per_s_out\":"), std::string::npos) << lines[1];
    EXPECT_EQ(daemon.commands(), std::vector<std::string>(3, "AT+AB status"));
}

// ---- command line ----

TEST(CtlUsage, HelpGoesToStandardOutputWithStatusZero) {
    const tool_result r = run_tool({tool, "--help"});
    EXPECT_EQ(r.exit_status, 0);
    const std::vector<std::string> lines = lines_of(r.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "Usage: nanvideoctl [OPTIONS] HOST COMMAND [ARGUMENTS]");
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Exit status:"), lines.end());
    EXPECT_EQ(r.err, "");
}

TEST(CtlUsage, BadCommandLineHasStatusTwo) {
    const tool_result r = run_tool({tool, "cam.local", "reboot"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nanvideoctl: unknown command: reboot\nTry 'nanvideoctl --help' for more.\n");
}

}  // namespace
