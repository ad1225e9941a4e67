// The tool's command line: commands, options in any place, and the refusals with their words.
#include <gtest/gtest.h>

#include "ctl_options.hpp"

namespace {

struct parsed {
    bool good;
    ctl_options options;
    std::string error;
};

parsed parse(const std::vector<std::string>& args) {
    parsed p;
    p.good = parse_command_line(args, p.options, p.error);
    return p;
}

TEST(CtlOptions, AtCommandsWithDefaults) {
    const parsed p = parse({"cam.local", "version"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_EQ(p.options.host, "cam.local");
    EXPECT_EQ(p.options.command, ctl_command::version);
    EXPECT_EQ(p.options.port, 554);
    EXPECT_EQ(p.options.timeout_s, 5);
    EXPECT_EQ(parse({"h", "config"}).options.command, ctl_command::config_show);
    EXPECT_EQ(parse({"h", "reset"}).options.command, ctl_command::reset);
    EXPECT_EQ(parse({"h", "updatefw"}).options.command, ctl_command::updatefw);
}

TEST(CtlOptions, ConfigWithTextSetsIt) {
    const parsed p = parse({"::1", "config", "name:a pmk: password: hostname:b.local"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_EQ(p.options.command, ctl_command::config_set);
    EXPECT_EQ(p.options.config_text, "name:a pmk: password: hostname:b.local");
}

TEST(CtlOptions, OptionsGoAnywhereInBothSpellings) {
    const parsed p = parse(
        {"--port=8554", "10.0.0.2", "record", "out.bin", "--timeout", "0.5", "--bytes", "100"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_EQ(p.options.port, 8554);
    EXPECT_EQ(p.options.timeout_s, 0.5);
    EXPECT_EQ(p.options.command, ctl_command::record);
    EXPECT_EQ(p.options.record_path, "out.bin");
    EXPECT_EQ(p.options.bytes, 100u);
    EXPECT_EQ(p.options.seconds, 0);
}

TEST(CtlOptions, DoubleDashEndsOptions) {
    const parsed p = parse({"h", "record", "--", "--odd-name"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_EQ(p.options.record_path, "--odd-name");
}

TEST(CtlOptions, CheckTakesSeedLengthAndDefaultsToTenSeconds) {
    parsed p = parse({"h", "check", "--seed", "0x10", "--length", "1000", "--frames", "7"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_EQ(p.options.seed, 16u);
    EXPECT_EQ(p.options.length, 1000u);
    EXPECT_FALSE(p.options.derived_length);
    EXPECT_EQ(p.options.frames, 7u);
    EXPECT_EQ(p.options.seconds, 10);
    p = parse({"h", "check", "--seed", "5", "--derived-length", "--seconds", "2.5"});
    ASSERT_TRUE(p.good) << p.error;
    EXPECT_TRUE(p.options.derived_length);
    EXPECT_EQ(p.options.length, 4096u);
    EXPECT_EQ(p.options.seconds, 2.5);
}

TEST(CtlOptions, HelpWinsOverEverythingElse) {
    EXPECT_TRUE(parse({"--help"}).options.help);
    EXPECT_TRUE(parse({"h", "bogus", "-h"}).options.help);
}

struct refusal {
    std::vector<std::string> args;
    const char* error;
};

void PrintTo(const refusal& r, std::ostream* os) {
    *os << r.error;
}

class CtlOptionsRefused : public ::testing::TestWithParam<refusal> {};

TEST_P(CtlOptionsRefused, WithItsMessage) {
    const parsed p = parse(GetParam().args);
    EXPECT_FALSE(p.good);
    EXPECT_EQ(p.error, GetParam().error);
}

INSTANTIATE_TEST_SUITE_P(
    Each, CtlOptionsRefused,
    ::testing::Values(
        refusal{{}, "missing HOST and COMMAND"}, refusal{{"h"}, "missing COMMAND"},
        refusal{{"h", "reboot"}, "unknown command: reboot"},
        refusal{{"h", "version", "x"}, "version takes no argument"},
        refusal{{"h", "config", "a", "b"}, "config takes one parameter text (quote it)"},
        refusal{{"h", "config", "  "},
                "the parameter text is empty (to show the parameters, give config alone)"},
        refusal{{"h", "config", "name:a\r\nAT+AB reset"}, "the parameter text must be one line"},
        refusal{{"h", "config", std::string(1009, 'a')},
                "the parameter text is longer than 1008 characters"},
        refusal{{"h", "record"}, "record takes one FILE"},
        refusal{{"h", "version", "--port", "0"}, "bad value for --port: 0"},
        refusal{{"h", "version", "--port", "65536"}, "bad value for --port: 65536"},
        refusal{{"h", "version", "--timeout", "-1"}, "bad value for --timeout: -1"},
        refusal{{"h", "version", "--timeout", "nan"}, "bad value for --timeout: nan"},
        refusal{{"h", "version", "--timeout"}, "--timeout needs a value"},
        refusal{{"h", "version", "--help=yes"}, "--help takes no value"},
        refusal{{"h", "check", "--seed", "1", "--derived-length=1"},
                "--derived-length takes no value"},
        refusal{{"h", "version", "-x"}, "unknown option: -x"},
        refusal{{"h", "version", "--seconds", "3"}, "--seconds does not apply to this command"},
        refusal{{"h", "record", "f", "--seed", "3"}, "--seed does not apply to this command"},
        refusal{{"h", "check", "--seed", "1", "--bytes", "3"},
                "--bytes does not apply to this command"},
        refusal{{"h", "record", "f", "--seconds", "1", "--bytes", "3"},
                "give --seconds or --bytes, not both"},
        refusal{{"h", "record", "f", "--bytes", "-3"}, "bad value for --bytes: -3"},
        refusal{{"h", "check"}, "check needs --seed"},
        refusal{{"h", "check", "--seed", "1", "--length", "7"}, "bad value for --length: 7"},
        refusal{{"h", "check", "--seed", "1", "--length", "4097"}, "bad value for --length: 4097"},
        refusal{{"h", "check", "--seed", "1", "--length", "8", "--derived-length"},
                "give --length or --derived-length, not both"}));

TEST(CtlOptions, LongestConfigTextFitsTheDaemonsReceiveBuffer) {
    // "AT+AB config " + text + "\r\n" is 1023 bytes: one piece for the daemon.
    EXPECT_TRUE(parse({"h", "config", std::string(1008, 'a')}).good);
}

TEST(CtlUsage, NamesEveryCommandAndExitStatus) {
    const std::string text = usage_text("/usr/bin/nanvideoctl");
    EXPECT_EQ(text.rfind("Usage: nanvideoctl [OPTIONS] HOST COMMAND [ARGUMENTS]\n", 0), 0u);
    for (const char* part :
         {"  version ", "  config ", "  config 'TEXT' ", "  reset ", "  updatefw ",
          "  record FILE ", "  check --seed S ", "  --port N ", "  --timeout S ", "  0  success",
          "  1  the daemon replied with an error", "  2  bad command line", "  3  HOST not reached",
          "  4  no reply", "  5  record: FILE cannot be written"})
        EXPECT_NE(text.find(part), std::string::npos) << part;
}

}  // namespace
