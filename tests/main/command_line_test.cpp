#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "command_line.hpp"

namespace {

struct parsed {
    command_line_result result;
    spi_settings config;
    std::string out;
    std::string err;
};

parsed parse(std::initializer_list<const char*> args) {
    std::vector<std::string> storage{"nanvideod"};
    for (const char* a : args) storage.emplace_back(a);
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    parsed p{};
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    p.result = parse_command_line(static_cast<int>(storage.size()), argv.data(), p.config);
    p.out = testing::internal::GetCapturedStdout();
    p.err = testing::internal::GetCapturedStderr();
    // The settings keep pointers into argv only for the text fields; tests compare the numbers.
    p.config.role = p.config.master_device = p.config.slave_device = nullptr;
    return p;
}

// The start-up report shows the slave's settings in force (role, device, mode, bits, clock,
// transfer type); what it cannot show is the master's device, the delay and the verbosity.
TEST(CommandLine, WithoutArgumentsTheDaemonStartsQuietly) {
    parsed p = parse({});
    EXPECT_EQ(p.result, command_line_result::start);
    EXPECT_EQ(p.out, "");
    EXPECT_EQ(p.err, "");
    EXPECT_STREQ(spi_settings{}.master_device, "/dev/spidev1.0");
    EXPECT_EQ(p.config.delay, 0);
    EXPECT_EQ(p.config.verbose, 0);
}

TEST(CommandLine, NumbersAreCutToTheFieldWidth) {
    parsed p = parse({"-b", "264", "-d", "65537", "-T", "258", "-s", "abc", "-v", "-7"});
    EXPECT_EQ(p.config.bits_per_word, 8);
    EXPECT_EQ(p.config.delay, 1);
    EXPECT_EQ(p.config.transfer_type, 2);
    EXPECT_EQ(p.config.speed, 0u);
    EXPECT_EQ(p.config.verbose, -7);
}

TEST(CommandLine, NumbersReadTheSameOnThirtyTwoAndSixtyFourBitTargets) {
    // Beyond 32 bits a long would saturate on the board; the cut must not depend on that.
    parsed p = parse({"-s", "4294967297", "-d", "  +70000xyz", "-b", "-1"});
    EXPECT_EQ(p.config.speed, 1u);
    EXPECT_EQ(p.config.delay, 70000 % 65536);
    EXPECT_EQ(p.config.bits_per_word, 255);
}

TEST(CommandLine, ModeBitsAndLongNamesWithAbbreviations) {
    EXPECT_EQ(parse({"-H", "-O"}).config.mode, 3u);
    EXPECT_EQ(parse({"-O"}).config.mode, 2u);
    EXPECT_EQ(parse({"--cpha"}).config.mode, 1u);
    EXPECT_EQ(parse({"--sp", "1000000"}).config.speed, 1000000u);

    std::vector<std::string> storage{"nanvideod", "--role", "MASTER", "--slave=/dev/x"};
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    spi_settings config;
    parse_command_line(4, argv.data(), config);
    EXPECT_STREQ(config.role, "MASTER");
    EXPECT_STREQ(config.slave_device, "/dev/x");
}

TEST(CommandLine, VersionPrintsTheInvokedNameAndStopsAtOnce) {
    parsed p = parse({"-V", "-h"});
    EXPECT_EQ(p.result, command_line_result::exit_info);
    EXPECT_EQ(p.out, "nanvideod: V1.1.0\n");
}

TEST(CommandLine, HelpPrintsUsageTwelveLinesAndAnEmptyLine) {
    parsed p = parse({"-b", "16", "-h", "-V"});
    EXPECT_EQ(p.result, command_line_result::exit_info);
    EXPECT_EQ(p.out,
              "Usage: nanvideod [-RMSTsbdHOvplI]\n"
              "  -R --role(MASTER/SLAVE) SPI Master or Slave (default MASTER)\n"
              "  -M --masterdevice       device to use for SPI Master (default /dev/spidev0.0)\n"
              "  -S --slavedevice        device to use for SPI Slave (default /dev/spidev1.0)\n"
              "  -T --transfertype       0 for fullduplex(default); 1 for tx-only; 2 for rx-only\n"
              "  -s --speed              max speed (Hz) (default 1MHz)\n"
              "  -d --delay              delay (usec) (default 100usec)\n"
              "  -b --bpw                bits per word (default 8)\n"
              "  -H --cpha               clock phase (default 0)\n"
              "  -O --cpol               clock polarity (default 0)\n"
              "  -v --verbose            Verbose (show tx buffer) (default OFF)\n"
              "  -h --help               show this help text\n"
              "  -V --version            show version\n"
              "\n");
}

TEST(CommandLine, UnknownOptionsAreReportedAndSkipped) {
    parsed p = parse({"-x", "-b", "16", "-s"});
    EXPECT_EQ(p.result, command_line_result::start);
    EXPECT_EQ(p.config.bits_per_word, 16);
    EXPECT_EQ(p.err,
              "nanvideod: invalid option -- 'x'\n"
              "nanvideod: option requires an argument -- 's'\n");
}

}  // namespace
