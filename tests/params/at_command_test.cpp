// The AT command handler with recorded replies, commands and pauses: every path sends exactly
// one reply, with the exact text.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "at_command.hpp"
#include "param_store.hpp"
#include "params_recorders.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string pmk32(32, 'k');
const char invalid_format[] = "ERROR: Invalid input format\r\n";
const char command_failed[] = "ERROR: Command execution failed\r\n";
const char stored_text[] = "name:cam pmk: password:secret12 hostname:cam.local";

class AtCommand : public testing::Test, protected params_fixture {
protected:
    void SetUp() override {
        runner.answers["cat /etc/zqversion"] = "ZQ-2.0.1\n";
        runner.answers["fw_printenv -n vemuparam"] = std::string(stored_text) + "\n";
    }
    void TearDown() override {
        EXPECT_FALSE(mutex_held(param_mutex));
        EXPECT_FALSE(mutex_held(iwset_mutex));
    }

    // Runs one chunk; exactly one reply must go to the client. Returns its text.
    std::string run(const std::string& chunk, int expected_rc) {
        return run_bytes(chunk.data(), static_cast<int>(chunk.size()), expected_rc);
    }
    std::string run_bytes(const char* data, int length, int expected_rc) {
        size_t before = sink.replies.size();
        CaptureStdout();
        EXPECT_EQ(room.at.handle(sink, data, length), expected_rc) << std::string(data, length > 0 ? length : 0);
        out = GetCapturedStdout();
        EXPECT_EQ(sink.replies.size(), before + 1) << std::string(data, length > 0 ? length : 0);
        if (sink.replies.size() != before + 1) return "";
        return sink.replies.back().text;
    }
    bool nothing_ran() const { return runner.captured.empty() && runner.statuses.empty(); }

    recording_sink sink;
    std::string out;
};

bool same_bytes(const param_record& a, const param_record& b) { return memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

TEST_F(AtCommand, VersionWithBlanksAndLineEnd) {
    EXPECT_EQ(run("   at+ab VERSION\r\n", 0), "ZQ-2.0.1\r\nOK\r\n");
    EXPECT_EQ(out, "Executing version command\nCommand executed successfully!\nExtracted the parambuf=ZQ-2.0.1\n");
    EXPECT_EQ(runner.captured, std::vector<std::string>{"cat /etc/zqversion"});
    EXPECT_EQ(sink.suspended, 0);
}

TEST_F(AtCommand, VersionForms) {
    EXPECT_EQ(run("AT+ABversion", 0), "ZQ-2.0.1\r\nOK\r\n");
    EXPECT_EQ(run("\t\v\fAt+Ab \t vErSiOn \t\r\n\n", 0), "ZQ-2.0.1\r\nOK\r\n");
    EXPECT_EQ(run("AT+AB version extra", -1), invalid_format);
    EXPECT_EQ(run("AT+AB versions", -1), invalid_format);
    EXPECT_EQ(runner.captured.size(), 2u);
}

TEST_F(AtCommand, StatusIsLeftToTheServerAndRunsNothing) {
    EXPECT_EQ(run("AT+AB status", 0), "<status>\r\nOK\r\n");
    EXPECT_EQ(run(" \tat+ab STATUS\r\n", 0), "<status>\r\nOK\r\n");
    EXPECT_EQ(run("AT+ABstatus", 0), "<status>\r\nOK\r\n");
    EXPECT_EQ(run("AT+AB status name:x", -1), invalid_format);
    EXPECT_EQ(run("AT+AB statuses", -1), invalid_format);
    EXPECT_TRUE(nothing_ran());
    EXPECT_EQ(out, "");
    EXPECT_EQ(sink.suspended, 0);
}

TEST_F(AtCommand, VersionHoldsParamMutexAroundTheRead) {
    bool param_locked = false;
    runner.on_run = [&](const char*) { param_locked = mutex_held(param_mutex); };
    EXPECT_EQ(run("AT+AB version", 0), "ZQ-2.0.1\r\nOK\r\n");
    EXPECT_TRUE(param_locked);
}

TEST_F(AtCommand, LongestVersionFitsTheReply) {
    std::string version(1023, 'v');
    runner.answers["cat /etc/zqversion"] = version + "\n";
    EXPECT_EQ(run("AT+AB version", 0), version + "\r\nOK\r\n");
}

TEST_F(AtCommand, VersionFileMissing) {
    runner.answers.erase("cat /etc/zqversion");
    EXPECT_EQ(run("AT+AB version", -9), command_failed);
    EXPECT_EQ(out, "Executing version command\nCommand executed successfully!\n"
                   "No parambuf found (command returned empty)!\nFailed to get parameter!\n");
}

TEST_F(AtCommand, MalformedTexts) {
    for (const char* text : {"AT+AB", "AT+A", "", "      ", "\r\n", "AT+AC version", "AT +AB version", "xAT+AB version",
                             "AT+AB foo", "AT+AB\r\n"}) {
        EXPECT_EQ(run(text, -1), invalid_format) << text;
    }
    EXPECT_EQ(run_bytes(nullptr, 5, -1), invalid_format);
    EXPECT_EQ(run_bytes("AT+AB version", 0, -1), invalid_format);
    EXPECT_EQ(run_bytes("AT+AB version", -3, -1), invalid_format);
    EXPECT_TRUE(nothing_ran());
}

TEST_F(AtCommand, CountAndEmbeddedNulBoundTheText) {
    EXPECT_EQ(run_bytes("AT+AB versionXYZ", 13, 0), "ZQ-2.0.1\r\nOK\r\n");
    static const char with_nul[] = "AT+AB version\0 reset";
    EXPECT_EQ(run_bytes(with_nul, sizeof(with_nul) - 1, 0), "ZQ-2.0.1\r\nOK\r\n");
    EXPECT_TRUE(runner.statuses.empty());
}

TEST_F(AtCommand, ChunkLargerThanTheReceiveBufferIsAnOverflow) {
    std::string chunk = "AT+AB version" + std::string(at_chunk_max + 1 - 13, ' ');
    ASSERT_EQ(chunk.size(), at_chunk_max + 1);
    EXPECT_EQ(run(chunk, -6), "ERROR: Buffer overflow\r\n");
    chunk.pop_back();
    EXPECT_EQ(run(chunk, 0), "ZQ-2.0.1\r\nOK\r\n");
}

TEST_F(AtCommand, TwoCommandsInOneChunkRunNothing) {
    EXPECT_EQ(run("AT+AB version\r\nAT+AB reset\r\n", -1), invalid_format);
    EXPECT_TRUE(nothing_ran());
}

TEST_F(AtCommand, ConfigureIsConfigWithArgumentUre) {
    EXPECT_EQ(run("AT+AB configure", -1), invalid_format);
    EXPECT_TRUE(nothing_ran());
    EXPECT_TRUE(same_bytes(current_param, param_record{}));
}

TEST_F(AtCommand, ConfigWithOnlyANameItem) {
    ASSERT_EQ(parse_param(stored_text, &current_param, false), 0);
    param_record before = current_param;
    EXPECT_EQ(run("AT+AB config name:other", -2), "ERROR: Missing required field\r\n");
    EXPECT_TRUE(same_bytes(current_param, before));
    EXPECT_TRUE(nothing_ran());
}

TEST_F(AtCommand, ConfigParseErrorReplies) {
    struct {
        std::string argument;
        int code;
        const char* reply;
    } cases[] = {
        {"name:cam pmk password: hostname:cam.local", -1, "ERROR: Invalid input format\r\n"},
        {"name:cam pmk: password:", -2, "ERROR: Missing required field\r\n"},
        {"name:cam pmk:short password: hostname:cam.local", -3,
         "ERROR: Invalid PMK length (must be 32 characters)\r\n"},
        {"name:cam pmk: password:short hostname:cam.local", -4, "ERROR: Invalid password length (8-63 ASCII)\r\n"},
        {"name:cam pmk: password: hostname:cam-.local", -5,
         "ERROR: Invalid hostname format or empty, hostname format (a-z/A-Z/0-9/-, no leading/trailing -, ends "
         "with .local)\r\n"},
        {"name:cam pmk: password: hostname:" + std::string(260, 'h') + ".local", -6, "ERROR: Buffer overflow\r\n"},
        {"name:c\"m pmk: password: hostname:cam.local", -7, "ERROR: Invalid name characters or empty\r\n"},
        // Plain lengths 7 and 4: start-up would refuse what the shell stores.
        {"name:Cam pmk: password:p\\ssw0r hostname:cam.local", -4, "ERROR: Invalid password length (8-63 ASCII)\r\n"},
        {"name:Cam pmk: password:\"\"\"\" hostname:cam.local", -4, "ERROR: Invalid password length (8-63 ASCII)\r\n"},
        // A repeated key leaves another one missing.
        {"name:Cam name:Cam2 pmk: password:secret123", -2, "ERROR: Missing required field\r\n"},
        {"pmk: pmk: password:secret123 hostname:cam.local", -2, "ERROR: Missing required field\r\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(run("AT+AB config " + c.argument + "\r\n", c.code), c.reply) << c.argument;
        EXPECT_TRUE(same_bytes(current_param, param_record{}));
    }
    EXPECT_TRUE(nothing_ran());
}

TEST_F(AtCommand, ConfigWritesEscapedRecordThroughConfigWrite) {
    bool param_locked = false;
    bool iwset_locked = false;
    runner.on_run = [&](const char*) {
        param_locked = mutex_held(param_mutex);
        iwset_locked = mutex_held(iwset_mutex);
    };
    EXPECT_EQ(run("at+ab CONFIG Name:Cam pmk:" + pmk32 + " password:pa\"ss`$x hostname:cam.local\r\n", 0), "OK\r\n");
    EXPECT_EQ(runner.statuses, std::vector<std::string>{"fw_setenv vemuparam \"name:Cam pmk:" + pmk32 +
                                                        " password:pa\\\"ss\\`\\$x hostname:cam.local\""});
    EXPECT_TRUE(runner.captured.empty());
    EXPECT_TRUE(param_locked);
    EXPECT_TRUE(iwset_locked);
    EXPECT_STREQ(current_param.password, "pa\\\"ss`$x");
    EXPECT_EQ(sink.suspended, 0);
}

TEST_F(AtCommand, ConfigAcceptsEmptyPmkAndPassword) {
    EXPECT_EQ(run("AT+AB config name:cam pmk: password: hostname:cam.local", 0), "OK\r\n");
    EXPECT_EQ(runner.statuses, std::vector<std::string>{"fw_setenv vemuparam \"name:cam pmk: password: hostname:cam.local\""});
}

TEST_F(AtCommand, ConfigAcceptsA63CharacterPasswordHoldingAQuote) {
    const std::string password = std::string(31, 'p') + "\"" + std::string(31, 'p');
    EXPECT_EQ(run("AT+AB config name:cam pmk: password:" + password + " hostname:cam.local", 0), "OK\r\n");
    EXPECT_EQ(runner.statuses, std::vector<std::string>{"fw_setenv vemuparam \"name:cam pmk: password:" +
                                                        std::string(31, 'p') + "\\\"" + std::string(31, 'p') +
                                                        " hostname:cam.local\""});
}

// What the client sees of a failed write is shown end to end; the record in memory, which a NAN
// bring-up may copy before any query reloads it, is not.
TEST_F(AtCommand, FailedConfigWriteRestoresTheRecordInMemory) {
    ASSERT_EQ(parse_param(stored_text, &current_param, false), 0);
    current_param_escaped = false;
    const param_record before = current_param;
    runner.status_results = {1, 1, 1};
    EXPECT_EQ(run("AT+AB config name:new pmk: password:pa\"ss\\word hostname:new.local", -9), command_failed);
    EXPECT_TRUE(same_bytes(current_param, before));
    EXPECT_FALSE(current_param_escaped);
}

TEST_F(AtCommand, ConfigQueryRefreshesFromTheBootEnvironmentAndStopsVideo) {
    ASSERT_EQ(parse_param("name:old pmk: password: hostname:old.local", &current_param, true), 0);
    bool param_locked = false;
    runner.on_run = [&](const char*) { param_locked = mutex_held(param_mutex); };
    EXPECT_EQ(run("AT+AB config\r\n", 0), std::string(stored_text) + "\r\nOK\r\n");
    EXPECT_EQ(out, std::string("Command executed successfully!\nExtracted the parambuf=") + stored_text + "\n");
    EXPECT_EQ(runner.captured, std::vector<std::string>{"fw_printenv -n vemuparam"});
    EXPECT_STREQ(current_param.name, "cam");
    EXPECT_TRUE(param_locked);
    EXPECT_EQ(sink.suspended, 1);
}

TEST_F(AtCommand, ConfigQueryShowsStoredValuesWithoutEscapes) {
    runner.answers["fw_printenv -n vemuparam"] = "name:cam pmk:" + pmk32 + " password:a\"b\\c$d`e hostname:cam.local\n";
    EXPECT_EQ(run("at+abconfig", 0), "name:cam pmk:" + pmk32 + " password:a\"b\\c$d`e hostname:cam.local\r\nOK\r\n");
}

TEST_F(AtCommand, ConfigQueryFailuresKeepVideoRunning) {
    runner.answers["fw_printenv -n vemuparam"] = "";
    EXPECT_EQ(run("AT+AB config", -9), command_failed);
    EXPECT_EQ(out, "Command executed successfully!\nNo parambuf found (command returned empty)!\nFailed to get parameter!\n");

    ASSERT_EQ(parse_param("name:old pmk: password: hostname:old.local", &current_param, false), 0);
    param_record before = current_param;
    runner.answers["fw_printenv -n vemuparam"] = "name:cam pmk: password: hostname:cam\n";
    EXPECT_EQ(run("AT+AB config", -9), command_failed);
    EXPECT_NE(out.find("Failed to parse parameter!\n"), std::string::npos);
    EXPECT_TRUE(same_bytes(current_param, before));

    runner.capture_result = -1;
    EXPECT_EQ(run("AT+AB config", -9), command_failed);
    EXPECT_EQ(sink.suspended, 0);
}

// The programs, their lines and the reply after reset returned are shown end to end; the
// parameter lock stays free while either command runs, and updatefw replies after its script.
TEST_F(AtCommand, DeviceCommandsRunWithoutTheParameterLockAndReplyAfterwards) {
    for (const char* chunk : {"AT+AB reset\r\n", "at+ab UpdateFW"}) {
        SCOPED_TRACE(chunk);
        size_t replies_while_running = 99;
        bool param_locked = true;
        runner.on_run = [&](const char*) {
            replies_while_running = sink.replies.size();
            param_locked = mutex_held(param_mutex);
        };
        size_t replies_before = sink.replies.size();
        EXPECT_EQ(run(chunk, 0), "OK\r\n");
        EXPECT_EQ(replies_while_running, replies_before);
        EXPECT_FALSE(param_locked);
    }
}

TEST_F(AtCommand, ResetAndUpdatefwTakeNoArgument) {
    EXPECT_EQ(run("AT+AB reset now", -1), invalid_format);
    EXPECT_EQ(run("AT+AB resetx", -1), invalid_format);
    EXPECT_EQ(run("AT+AB updatefw -f", -1), invalid_format);
    EXPECT_TRUE(nothing_ran());
}

TEST_F(AtCommand, ResetFailingThreeTimesGivesTheErrorReply) {
    runner.status_results = {1, 2, 3};
    EXPECT_EQ(run("AT+AB reset", -9), command_failed);
    EXPECT_EQ(runner.statuses, (std::vector<std::string>{"reboot", "reboot", "reboot"}));
    EXPECT_EQ(pauser.pauses, (std::vector<unsigned>{500000, 500000, 500000}));
    EXPECT_NE(out.find("Command execution failed.\n"), std::string::npos) << out;

    runner.status_results = {-1, -1, 0};
    EXPECT_EQ(run("AT+AB updatefw", 0), "OK\r\n");
}

TEST(AtErrorReply, CodesWithoutTheirOwnReplyAreFormatErrors) {
    EXPECT_STREQ(at_error_reply(-1), "ERROR: Invalid input format\r\n");
    EXPECT_STREQ(at_error_reply(-8), "ERROR: Invalid input format\r\n");
    EXPECT_STREQ(at_error_reply(-42), "ERROR: Invalid input format\r\n");
    EXPECT_STREQ(at_error_reply(1), "ERROR: Invalid input format\r\n");
    EXPECT_STREQ(at_error_reply(-9), "ERROR: Command execution failed\r\n");
}
