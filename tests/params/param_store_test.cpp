// The boot-environment readers, start-up initialisation and the config_write keyword, with every
// shell command recorded instead of run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "param_store.hpp"
#include "params_recorders.hpp"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

const std::string pmk32(32, 'k');
const std::string provision_line =
    "Provision the board once: fw_setenv vemuparam 'name:<letters, digits, _ . -> "
    "pmk:<32 characters or nothing> password:<8 to 63 characters or nothing> "
    "hostname:<letters, digits, ->.local', then check it with fw_printenv -n vemuparam";
const char stored_text[] = "name:cam pmk: password:secret12 hostname:cam.local";

class ParamStore : public testing::Test, protected params_fixture {
protected:
    int init_param() { return ::init_param(room.params, room.keywords); }
    int reload_current_param() { return ::reload_current_param(room.params, room.keywords); }
    int get_zqversion(char* buf, size_t size) { return ::get_zqversion(room.keywords, buf, size); }
    int execute_keyword(const char* keyword, const char* params) {
        return room.keywords.execute(keyword, params);
    }

};

param_record record_of(const char* name, const char* pmk, const char* password, const char* hostname) {
    param_record r{};
    snprintf(r.name, sizeof(r.name), "%s", name);
    snprintf(r.pmk, sizeof(r.pmk), "%s", pmk);
    snprintf(r.password, sizeof(r.password), "%s", password);
    snprintf(r.hostname, sizeof(r.hostname), "%s", hostname);
    return r;
}

bool same_bytes(const param_record& a, const param_record& b) { return memcmp(&a, &b, sizeof(a)) == 0; }

}  // namespace

TEST_F(ParamStore, VemuparamReadUnderIwsetMutexWithoutFinalLineFeed) {
    runner.answers["fw_printenv -n vemuparam"] = std::string(stored_text) + "\n";
    bool locked_inside = false;
    runner.on_run = [&](const char*) { locked_inside = mutex_held(iwset_mutex); };
    CaptureStdout();
    EXPECT_EQ(reload_current_param(), 0);
    EXPECT_EQ(GetCapturedStdout(), std::string("Command executed successfully!\nExtracted the parambuf=") +
                                       stored_text + "\n");
    EXPECT_TRUE(same_bytes(current_param, record_of("cam", "", "secret12", "cam.local")));
    EXPECT_EQ(runner.captured, std::vector<std::string>{"fw_printenv -n vemuparam"});
    EXPECT_TRUE(runner.statuses.empty());
    EXPECT_TRUE(locked_inside);
    EXPECT_FALSE(mutex_held(iwset_mutex));
}

TEST_F(ParamStore, VemuparamEmptyOrFailedCommand) {
    CaptureStdout();
    EXPECT_EQ(reload_current_param(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Command executed successfully!\nNo parambuf found (command returned "
                                   "empty)!\nFailed to get parameter!\n");

    runner.capture_result = -1;
    CaptureStdout();
    EXPECT_EQ(reload_current_param(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to execute command!\nFailed to get parameter!\n");
    EXPECT_FALSE(mutex_held(iwset_mutex));
}

TEST_F(ParamStore, ZqversionReadsTheVersionFile) {
    runner.answers["cat /etc/zqversion"] = "ZQ-1.4.2\n";
    char buf[version_text_size];
    CaptureStdout();
    EXPECT_EQ(get_zqversion(buf, sizeof(buf)), 0);
    EXPECT_EQ(GetCapturedStdout(), "Command executed successfully!\nExtracted the parambuf=ZQ-1.4.2\n");
    EXPECT_STREQ(buf, "ZQ-1.4.2");
    EXPECT_EQ(runner.captured, std::vector<std::string>{"cat /etc/zqversion"});

    runner.answers.clear();
    CaptureStdout();
    EXPECT_EQ(get_zqversion(buf, sizeof(buf)), -1);
    EXPECT_EQ(GetCapturedStdout(), "Command executed successfully!\nNo parambuf found (command returned empty)!\n");
}

TEST_F(ParamStore, InitParamFillsCurrentParamUnderBothMutexes) {
    runner.answers["fw_printenv -n vemuparam"] = "name:Cam pmk:" + pmk32 + " password:pa\"ss\\word hostname:cam.local\n";
    bool param_locked = false;
    bool iwset_locked = false;
    runner.on_run = [&](const char*) {
        param_locked = mutex_held(param_mutex);
        iwset_locked = mutex_held(iwset_mutex);
    };
    CaptureStdout();
    EXPECT_EQ(init_param(), 0);
    std::string stored = "name:Cam pmk:" + pmk32 + " password:pa\"ss\\word hostname:cam.local";
    EXPECT_EQ(GetCapturedStdout(), "Command executed successfully!\nExtracted the parambuf=" + stored +
                                       "\nParse entire parameter=" + stored +
                                       "\nParameter initialization successful.\n");
    // Values from the boot environment are kept as they are, not escaped.
    EXPECT_TRUE(same_bytes(current_param, record_of("Cam", pmk32.c_str(), "pa\"ss\\word", "cam.local")));
    EXPECT_TRUE(param_locked);
    EXPECT_TRUE(iwset_locked);
    EXPECT_FALSE(mutex_held(param_mutex));
}

TEST_F(ParamStore, InitParamFailuresLeaveCurrentParamZero) {
    const param_record zero{};
    CaptureStdout();
    EXPECT_EQ(init_param(), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "Command executed successfully!\nNo parambuf found (command returned empty)!\nFailed to get parameter!\n" +
                  provision_line + "\n");
    EXPECT_TRUE(same_bytes(current_param, zero));

    // A command that could not run is no fresh board: no provisioning line.
    runner.capture_result = -1;
    CaptureStdout();
    EXPECT_EQ(init_param(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Failed to execute command!\nFailed to get parameter!\n");
    runner.capture_result = 0;

    runner.answers["fw_printenv -n vemuparam"] = "name:cam pmk: password: hostname:cam\n";
    CaptureStdout();
    EXPECT_EQ(init_param(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Command executed successfully!\nExtracted the parambuf=name:cam pmk: password: "
                                   "hostname:cam\nFailed to parse parameter!\n");
    EXPECT_TRUE(same_bytes(current_param, zero));
    EXPECT_FALSE(mutex_held(param_mutex));
}

TEST_F(ParamStore, InitParamOverlongStoredValueIsCutThenParsed) {
    // 731 characters survive; the blanks that pad the value past them are what is lost.
    std::string text = "name:cam pmk: password: hostname:cam.local";
    std::string padded = text + std::string(800, ' ');
    runner.answers["fw_printenv -n vemuparam"] = padded + "\n";
    CaptureStdout();
    EXPECT_EQ(init_param(), 0);
    std::string kept = padded.substr(0, param_text_size - 1);
    EXPECT_EQ(GetCapturedStdout(), "Warning: Command output exceeds buffer limit, truncated!\n"
                                   "Command executed successfully!\nExtracted the parambuf=" +
                                       kept + "\nParse entire parameter=" + text +
                                       "\nParameter initialization successful.\n");
    EXPECT_TRUE(same_bytes(current_param, record_of("cam", "", "", "cam.local")));
}

TEST_F(ParamStore, InitParamOverlongStoredValueCutInsideHostnameIsRefused) {
    std::string text = "name:cam pmk: password: hostname:" + std::string(700, 'h') + ".local";
    runner.answers["fw_printenv -n vemuparam"] = text + "\n";
    CaptureStdout();
    EXPECT_EQ(init_param(), -1);
    EXPECT_EQ(GetCapturedStdout(), "Warning: Command output exceeds buffer limit, truncated!\n"
                                   "Command executed successfully!\nExtracted the parambuf=" +
                                       text.substr(0, param_text_size - 1) +
                                       "\nFailed to parse parameter!\n");
    EXPECT_TRUE(same_bytes(current_param, param_record{}));
}

TEST(ConfigWriteCommand, PlainRecord) {
    char command[config_write_command_size];
    param_record r = record_of("cam", "", "secret12", "cam.local");
    for (bool escaped : {false, true}) {
        ASSERT_EQ(build_config_write_command(r, escaped, command, sizeof(command)), 0);
        EXPECT_STREQ(command, "fw_setenv vemuparam \"name:cam pmk: password:secret12 hostname:cam.local\"");
    }
}

TEST(ConfigWriteCommand, PlainRecordGetsEveryQuotingCharacterEscaped) {
    // As the boot environment gives them back: pairs stay two characters, a lone quote is one.
    char command[config_write_command_size];
    for (const char* password : {"ab\\\\cd\\\"efgh", "ab\"cdefgh"}) {
        param_record r = record_of("cam", "", password, "cam.local");
        ASSERT_EQ(build_config_write_command(r, false, command, sizeof(command)), 0) << password;
        std::string quoted;
        for (const char* p = password; *p != '\0'; ++p) {
            if (*p == '"' || *p == '\\') quoted += '\\';
            quoted += *p;
        }
        EXPECT_EQ(std::string(command), "fw_setenv vemuparam \"name:cam pmk: password:" + quoted + " hostname:cam.local\"");
    }
}

TEST(ConfigWriteCommand, EscapedRecordGetsDollarAndBackquoteEscapedToo) {
    param_record r{};
    ASSERT_EQ(parse_param("name:cam pmk: password:a\"b\\c$d`e$(x) hostname:cam.local", &r, true), 0);
    EXPECT_STREQ(r.password, "a\\\"b\\\\c$d`e$(x)");
    char command[config_write_command_size];
    ASSERT_EQ(build_config_write_command(r, true, command, sizeof(command)), 0);
    EXPECT_STREQ(command,
                 "fw_setenv vemuparam \"name:cam pmk: password:a\\\"b\\\\c\\$d\\`e\\$(x) hostname:cam.local\"");
}

TEST(ConfigWriteCommand, RecordNotInEscapedFormIsRefused) {
    char command[config_write_command_size];
    for (const char* password : {"pass\"word", "pass\\word", "password\\", "pass\\$word"}) {
        param_record r = record_of("cam", "", password, "cam.local");
        memset(command, 'x', sizeof(command));
        EXPECT_EQ(build_config_write_command(r, true, command, sizeof(command)), config_command_unescaped) << password;
        EXPECT_STREQ(command, "");
    }
}

TEST(ConfigWriteCommand, LongestValidRecordFits) {
    // Every field at its longest, with every character the command has to double.
    std::string text = "name:" + std::string(255, 'n') + " pmk:" + std::string(32, '"') +
                       " password:" + std::string(63, '$') + " hostname:" + std::string(250, 'h') + ".local";
    param_record r{};
    ASSERT_EQ(parse_param(text.c_str(), &r, true), 0);
    char command[config_write_command_size];
    ASSERT_EQ(build_config_write_command(r, true, command, sizeof(command)), 0);
    EXPECT_EQ(strlen(command), 753u);
    std::string pmk_escaped;
    for (int i = 0; i < 32; ++i) pmk_escaped += "\\\"";
    std::string password_escaped;
    for (int i = 0; i < 63; ++i) password_escaped += "\\$";
    EXPECT_EQ(std::string(command), "fw_setenv vemuparam \"name:" + std::string(255, 'n') + " pmk:" + pmk_escaped +
                                        " password:" + password_escaped + " hostname:" + std::string(250, 'h') +
                                        ".local\"");
}

TEST(ConfigWriteCommand, NeverCutAtTheBufferEdge) {
    // 52 characters of command around the values; 709 characters of values fill 761 exactly.
    param_record r = record_of(std::string(260, 'n').c_str(), std::string(68, 'k').c_str(),
                               std::string(135, 'p').c_str(), std::string(246, 'h').c_str());
    char command[config_write_command_size];
    ASSERT_EQ(build_config_write_command(r, true, command, sizeof(command)), 0);
    EXPECT_EQ(strlen(command), config_write_command_size - 1);
    r.hostname[246] = 'h';
    memset(command, 'x', sizeof(command));
    EXPECT_EQ(build_config_write_command(r, true, command, sizeof(command)), config_command_too_long);
    EXPECT_STREQ(command, "");
    // One escape more than fits counts as much as one character more.
    r.hostname[246] = '\0';
    r.password[0] = '$';
    EXPECT_EQ(build_config_write_command(r, true, command, sizeof(command)), config_command_too_long);
}

TEST_F(ParamStore, ConfigWriteKeywordQueuesTheCommand) {
    ASSERT_EQ(parse_param("name:cam pmk: password:pa\"ss$word hostname:cam.local", &current_param, true), 0);
    current_param_escaped = true;
    CaptureStdout();
    EXPECT_EQ(execute_keyword("config_write", ""), 0);
    std::string out = GetCapturedStdout();
    const std::string command = "fw_setenv vemuparam \"name:cam pmk: password:pa\\\"ss\\$word hostname:cam.local\"";
    EXPECT_NE(out.find("\n=== Executing config write custom logic ===\nconfig_write:" + command +
                       "\n=== config write custom logic execution completed ===\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(runner.statuses, std::vector<std::string>{command});
    EXPECT_TRUE(runner.captured.empty());
}

TEST_F(ParamStore, ConfigWriteKeywordRefusesAnOverlongCommand) {
    current_param = record_of(std::string(260, 'n').c_str(), std::string(68, 'k').c_str(),
                              std::string(135, '$').c_str(), std::string(265, 'h').c_str());
    CaptureStdout();
    EXPECT_EQ(execute_keyword("config_write", ""), -1);
    EXPECT_EQ(GetCapturedStdout(), "\n=== Executing config write custom logic ===\n"
                                   "Error: config_write command exceeds 761 characters, record not written!\n"
                                   "=== config write custom logic execution failed ===\n");
    EXPECT_TRUE(runner.statuses.empty());
}

TEST_F(ParamStore, ConfigWriteKeywordRefusesAnUnescapedRecord) {
    current_param = record_of("cam", "", "pa\"ss;reboot;\"", "cam.local");
    current_param_escaped = true;
    CaptureStdout();
    EXPECT_EQ(execute_keyword("config_write", ""), -1);
    EXPECT_EQ(GetCapturedStdout(),
              "\n=== Executing config write custom logic ===\n"
              "Error: config_write record holds an unescaped quote or backslash, record not written!\n"
              "=== config write custom logic execution failed ===\n");
    EXPECT_TRUE(runner.statuses.empty());
}
