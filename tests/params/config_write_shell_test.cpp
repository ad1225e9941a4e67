// The config_write command text through the real /bin/sh, with stand-ins for fw_setenv and
// fw_printenv in a private directory at the head of PATH: each value must reach the boot
// environment byte for byte and no character of it may run anything.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "at_command.hpp"
#include "param_store.hpp"
#include "params_recorders.hpp"
#include "shell_oracle.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream data;
    data << in.rdbuf();
    return data.str();
}

void write_script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Records every command line and hands it to the real runners.
// A runner as the daemon builds it: the daemon's time limit and lists of its own.
shell_command_runner& shell() {
    static running_command_lists lists;
    static shell_command_runner runner(command_time_limit_ms, lists.cuttable, lists.writes);
    return runner;
}

class passthrough_runner : public command_runner {
public:
    std::vector<std::string> commands;
    int capture(const char* cmd, char* output, size_t len) override {
        commands.emplace_back(cmd);
        return shell().capture(cmd, output, len);
    }
    int status(const char* cmd) override {
        commands.emplace_back(cmd);
        return shell().status(cmd);
    }
};

class ConfigWriteShell : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/nanvideo_params_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        stored = dir + "/vemuparam";
        write_script(dir + "/fw_setenv", "printf '%s' \"$2\" > '" + stored + "'\n");
        write_script(dir + "/fw_printenv", "cat '" + stored + "'; echo\n");
        old_path = getenv("PATH");
        setenv("PATH", (dir + ":" + old_path).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", old_path.c_str(), 1);
        std::string cleanup = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cleanup.c_str()), 0);
    }

    // Parses text as an AT config does, builds the command and runs it through /bin/sh.
    std::string store_through_shell(const std::string& text) {
        param_record r{};
        EXPECT_EQ(parse_param(text.c_str(), &r, true), 0) << text;
        char command[config_write_command_size];
        EXPECT_EQ(build_config_write_command(r, true, command, sizeof(command)), 0);
        unlink(stored.c_str());
        EXPECT_EQ(shell().status(command), 0) << command;
        return read_file(stored);
    }

    std::string dir;
    std::string stored;
    std::string old_path;
};

}  // namespace

TEST_F(ConfigWriteShell, EveryPasswordReachesFwSetenvAsSent) {
    bool pwned_before = exists("/tmp/pwned");
    const std::string passwords[] = {
        "quote\"inside",
        "back\\slash\\\\",
        "trailing\\",
        "dollar$HOME$1$$",
        "back`id`tick",
        "$(touch${IFS}/tmp/pwned)",
        "$(touch${IFS}" + dir + "/pwned1)",
        "`touch${IFS}" + dir + "/pwned2`",
        "\\$(touch${IFS}" + dir + "/pwned3)",
        "\\\"`touch${IFS}" + dir + "/pwned4`\\\"",
        "${IFS}'single'\\n\\`;|&<>*?[a]~#!",
    };
    for (const std::string& password : passwords) {
        std::string text = "name:cam pmk: password:" + password + " hostname:cam.local";
        EXPECT_EQ(store_through_shell(text), text) << password;
    }
    EXPECT_EQ(exists("/tmp/pwned"), pwned_before);
    for (int i = 1; i <= 4; ++i) EXPECT_FALSE(exists(dir + "/pwned" + std::to_string(i)));
}

TEST_F(ConfigWriteShell, PmkWithShellCharactersReachesFwSetenvAsSent) {
    // Any expansion would change the bytes that arrive.
    std::string pmk = "$(echo${IFS}hi)`echo`\"\\$HOME";
    pmk += std::string(32 - pmk.size(), 'k');
    std::string text = "name:cam pmk:" + pmk + " password: hostname:cam.local";
    EXPECT_EQ(store_through_shell(text), text);
}

TEST_F(ConfigWriteShell, AtConfigStoresPlainValueAndStartUpReadsItBack) {
    passthrough_runner runner;
    recording_pauser pauser;
    params_under_test room(runner, pauser);
    recording_sink sink;

    const std::string password = "pa\"ss$(touch${IFS}" + dir + "/at)\\`";
    const std::string record = "name:Cam_1 pmk: password:" + password + " hostname:cam.local";
    const std::string at = "AT+AB config " + record + "\r\n";
    CaptureStdout();
    EXPECT_EQ(room.at.handle(sink, at.c_str(), static_cast<int>(at.size())), 0);
    GetCapturedStdout();
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_EQ(sink.replies[0].text, "OK\r\n");
    EXPECT_EQ(read_file(stored), record);
    EXPECT_FALSE(exists(dir + "/at"));
    EXPECT_TRUE(pauser.pauses.empty());

    // Next start: the boot environment gives back the plain value.
    params_under_test next_start(runner, pauser);
    CaptureStdout();
    EXPECT_EQ(init_param(next_start.params, next_start.keywords), 0);
    GetCapturedStdout();
    EXPECT_EQ(std::string(next_start.params.current_param.password), password);

    // The query shows it as stored, without escapes.
    sink.replies.clear();
    CaptureStdout();
    EXPECT_EQ(next_start.at.handle(sink, "AT+AB config", 12), 0);
    GetCapturedStdout();
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_EQ(sink.replies[0].text, record + "\r\nOK\r\n");
    EXPECT_EQ(runner.commands.back(), "fw_printenv -n vemuparam");
}

TEST_F(ConfigWriteShell, AfterAStopSignalAWriteGetsTheErrorReplyAndNeverStarts) {
    running_command_groups cuttable;
    running_command_groups writes;
    writes.refuse_starts();
    shell_command_runner runner(command_time_limit_ms, cuttable, writes);
    recording_pauser pauser;
    params_under_test room(runner, pauser);
    recording_sink sink;

    const std::string at = "AT+AB config name:Cam_2 pmk: password:secret123 hostname:cam.local\r\n";
    CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_NE(room.at.handle(sink, at.c_str(), static_cast<int>(at.size())), 0);
    GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_EQ(sink.replies.size(), 1u);
    EXPECT_EQ(sink.replies[0].text, "ERROR: Command execution failed\r\n");
    EXPECT_FALSE(exists(stored));
    EXPECT_NE(err.find("] Error: Stopping, command not started: fw_setenv vemuparam "),
              std::string::npos)
        << err;
}

TEST_F(ConfigWriteShell, EmptyPmkAndPasswordWriteAndReadBack) {
    passthrough_runner runner;
    sleeping_pauser pauser;
    params_under_test room(runner, pauser);
    recording_sink sink;
    const std::string record = "name:cam pmk: password: hostname:cam.local";
    const std::string at = "at+ab config " + record;
    CaptureStdout();
    EXPECT_EQ(room.at.handle(sink, at.c_str(), static_cast<int>(at.size())), 0);
    EXPECT_EQ(room.at.handle(sink, "at+ab config", 12), 0);
    GetCapturedStdout();
    ASSERT_EQ(sink.replies.size(), 2u);
    EXPECT_EQ(sink.replies[0].text, "OK\r\n");
    EXPECT_EQ(sink.replies[1].text, record + "\r\nOK\r\n");
    EXPECT_EQ(read_file(stored), record);
}

// The fuzzers judge commands with a model of the shell's double-quote rules; here the model meets
// the real /bin/sh once, on hand-picked bodies and on random ones from the characters that
// matter between double quotes. Only bodies the model calls safe are run.
TEST_F(ConfigWriteShell, ShellModelAgreesWithBinSh) {
    std::vector<std::string> bodies = {"plain", "a\\\"b", "a\\\\b", "a\\$b\\`c", "a\\xb\\\\", "a\\\nb", "a\nb", "'!*?~#&;|<>", ""};
    const char alphabet[] = "a\\\"$`\n' !*x";
    uint32_t state = 12345;
    while (bodies.size() < 200) {
        std::string body;
        state = state * 1103515245u + 12345u;
        for (size_t length = (state >> 16) % 12; length > 0; --length) {
            state = state * 1103515245u + 12345u;
            body += alphabet[(state >> 16) % (sizeof(alphabet) - 1)];
        }
        std::string argument;
        if (shell_double_quoted_argument(("fw_setenv vemuparam \"" + body + "\"").c_str(), argument)) bodies.push_back(body);
    }
    write_script(dir + "/fw_setenv", "printf '%s\\0' \"$2\" >> '" + stored + "'\n");
    std::string script;
    std::string expected;
    for (const std::string& body : bodies) {
        std::string argument;
        ASSERT_TRUE(shell_double_quoted_argument(("fw_setenv vemuparam \"" + body + "\"").c_str(), argument)) << body;
        script += "fw_setenv vemuparam \"" + body + "\"\n";
        expected += argument + '\0';
    }
    std::ofstream(dir + "/script") << script;
    ASSERT_EQ(shell().status(("/bin/sh '" + dir + "/script'").c_str()), 0);
    EXPECT_EQ(read_file(stored), expected);
}
