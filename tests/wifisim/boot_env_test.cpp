// The boot environment and the version file: the real fw_printenv/fw_setenv on the board's
// image, reached through the logging stand-ins, and read back from the host side.
#include "board_fixture.hpp"

namespace wifisim_test {
namespace {

using BootEnv = BoardTest;

// The value as the shell must see it inside double quotes: ", $, ` and \ escaped.
std::string double_quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '$' || c == '`' || c == '\\') out += '\\';
        out += c;
    }
    return out + "\"";
}

TEST_F(BootEnv, ConfigFilesPointAtTheImage) {
    EXPECT_EQ(read_text(path("root/etc/fw_env.config")), "/run/nanvideo-board/env.bin 0x0 0x2000\n");
    EXPECT_EQ(read_text(board_world::host_env_config(state)), state + "/env.bin 0x0 0x2000\n");
    EXPECT_EQ(read_text(path("env.bin")).size(), 0x2000u);
    EXPECT_EQ(read_text(path("root/etc/zqversion")), std::string(board_world::default_zqversion) + "\n");
}

TEST_F(BootEnv, DefaultRecordIsStoredAndReadableThroughTheBoardTools) {
    std::string value;
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, board_world::default_vemuparam);
    run_result r = run("fw_printenv -c " + board_world::host_env_config(state) + " -n vemuparam");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, std::string(board_world::default_vemuparam) + "\n");
    EXPECT_EQ(board_world::read_call_lines(state, "fw_printenv"),
              std::vector<std::string>{"fw_printenv -c " + board_world::host_env_config(state) +
                                       " -n vemuparam"});
}

TEST_F(BootEnv, SetenvThroughTheShellKeepsQuotesDollarsBackquotesAndBackslashes) {
    const std::string stored = "name:a\"b pmk:$HOME password:`id`;x hostname:c\\d.local";
    run_result r = run("fw_setenv -c " + board_world::host_env_config(state) + " vemuparam " +
                       double_quoted(stored));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string value;
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, stored);
    const std::vector<board_world::call> calls = board_world::read_calls(state);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].argv.back(), stored);
    EXPECT_EQ(run("fw_printenv -c " + board_world::host_env_config(state) + " -n vemuparam").out,
              stored + "\n");
}

TEST_F(BootEnv, WriteFromTheHostSideRoundTrips) {
    ASSERT_EQ(board_world::write_boot_env(state, "vemuparam", "name:x pmk: password: hostname:y.local"), 0);
    std::string value;
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, "name:x pmk: password: hostname:y.local");
    EXPECT_EQ(board_world::read_boot_env(state, "bootdelay", &value), 0);
    EXPECT_EQ(value, "1");
}

TEST_F(BootEnv, MissingEmptyAndNoImage) {
    board_world::options opts;
    std::string value = "untouched";
    opts.env = board_world::boot_env::no_variable;
    repopulate(opts);
    EXPECT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 1);
    EXPECT_EQ(run("fw_printenv -c " + board_world::host_env_config(state) + " -n vemuparam").out, "\n");

    opts.env = board_world::boot_env::empty_value;
    repopulate(opts);
    EXPECT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, "");

    opts.env = board_world::boot_env::no_image;
    repopulate(opts);
    EXPECT_EQ(board_world::read_boot_env(state, "vemuparam", &value), -1);
    run_result r = run("fw_setenv -c " + board_world::host_env_config(state) + " vemuparam x");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(r.out, "");

    opts.env = board_world::boot_env::record;
    opts.vemuparam = "name:Other pmk:abc password: hostname:other.local";
    repopulate(opts);
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, opts.vemuparam);

    opts.vemuparam = "two\nlines";
    std::string error;
    EXPECT_EQ(board_world::populate(state, opts, &error), -1);
    EXPECT_EQ(error, "a vemuparam text cannot hold a line feed");
}

TEST_F(BootEnv, SetenvCanBeMadeToFailAndThenChangesNothing) {
    ASSERT_EQ(board_world::add_failure(state, {"fw_setenv *", 3, 1}), 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(run("fw_setenv -c " + board_world::host_env_config(state) + " vemuparam x").status, 1);
    }
    std::string value;
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, board_world::default_vemuparam);
    EXPECT_EQ(run("fw_setenv -c " + board_world::host_env_config(state) + " vemuparam x").status, 0);
    ASSERT_EQ(board_world::read_boot_env(state, "vemuparam", &value), 0);
    EXPECT_EQ(value, "x");
}

TEST_F(BootEnv, VersionFileTextOrNone) {
    board_world::options opts;
    opts.zqversion = "V2.0.7 build 42";
    repopulate(opts);
    EXPECT_EQ(run("cat " + path("root/etc/zqversion")).out, "V2.0.7 build 42\n");
    opts.zqversion_present = false;
    repopulate(opts);
    EXPECT_NE(access(path("root/etc/zqversion").c_str(), F_OK), 0);
}

TEST_F(BootEnv, WithoutLoggingTheHostToolsAreUsedDirectly) {
    board_world::options opts;
    opts.log_env_tools = false;
    repopulate(opts);
    EXPECT_NE(access(path("root/usr/bin/fw_printenv").c_str(), F_OK), 0);
    EXPECT_EQ(run("command -v fw_printenv").out, "/usr/bin/fw_printenv\n");
}

}  // namespace
}  // namespace wifisim_test
