// The handlers this library builds: init, start, add_func, reset and updatefw, with their exact
// lines and the commands they run.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "dispatch_fixture.hpp"

namespace {

using commands = std::vector<std::string>;

TEST_F(DispatchTest, InitCreatesTheNanInterfaceOnThePhy) {
    EXPECT_EQ(dispatch("init", "0"), 0);
    const std::string command = "iw phy0 interface add nan0 type __nan";
    EXPECT_EQ(out, "\n=== Executing init custom logic ===\n"
                   "init:" + command + "\n"
                   "=== init custom logic execution completed ===\n" +
                       batch_lines({command}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(), commands{command});
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(DispatchTest, InitFailureIsTheBatchs) {
    seams.runner.set_default_status(1);
    EXPECT_EQ(dispatch("init", "1"), -1);
    EXPECT_EQ(seams.runner.status_commands(),
              commands(3, "iw phy1 interface add nan0 type __nan"));
}

TEST_F(DispatchTest, StartRunsTwoCommandsWithAPauseAfterEach) {
    strcpy(nan.wdev, "0x2");
    EXPECT_EQ(dispatch("start", "pref 128 bands 2GHz 5GHz"), 0);
    const std::string start = "iw wdev 0x2 nan start pref 128 bands 2GHz 5GHz";
    EXPECT_EQ(out, "\n=== Executing start custom logic ===\n"
                   "start:" + start + "\n"
                   "=== start custom logic execution completed ===\n" +
                       batch_lines({start, "ifconfig nan0 up"}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(), (commands{start, "ifconfig nan0 up"}));
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{1000000, 1000000}));
}

TEST_F(DispatchTest, StartWithoutParametersFails) {
    const std::string failed = "\n=== Executing start custom logic ===\n"
                               "Error: start keyword requires parameters!\n"
                               "=== start custom logic execution failed ===\n";
    EXPECT_EQ(dispatch("start", ""), -1);
    EXPECT_EQ(out, failed);
    EXPECT_EQ(dispatch("start", nullptr), -1);
    EXPECT_EQ(out, failed);
    EXPECT_EQ(err, "");
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(DispatchTest, StartBeforeTheWdevIsKnownCarriesAnEmptyOne) {
    EXPECT_EQ(dispatch("start", "pref 128"), 0);
    EXPECT_EQ(seams.runner.status_commands(),
              (commands{"iw wdev  nan start pref 128", "ifconfig nan0 up"}));
}

TEST_F(DispatchTest, AddFuncLowerCasesTheServiceName) {
    strcpy(nan.wdev, "0x2");
    EXPECT_EQ(dispatch("add_func", "type publish unsolicited name MyCam"), 0);
    const std::string command = "iw wdev 0x2 nan add_func type publish unsolicited name mycam ";
    EXPECT_EQ(out, "\n=== Executing add_func custom logic ===\n"
                   "Processed parameters: type publish unsolicited name mycam \n"
                   "add_func:" + command + "\n"
                   "=== add_func custom logic execution completed ===\n" +
                       batch_lines({command}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(), commands{command});
}

TEST_F(DispatchTest, AddFuncJoinsWordsWithSingleBlanks) {
    strcpy(nan.wdev, "0x1f");
    EXPECT_EQ(dispatch("add_func", "  type  publish unsolicited   name Cam_01 Extra WORD"), 0);
    EXPECT_EQ(seams.runner.status_commands(),
              commands{"iw wdev 0x1f nan add_func type publish unsolicited name cam_01 Extra WORD "});
}

TEST_F(DispatchTest, AddFuncMarksOnlyTheExactWordName) {
    strcpy(nan.wdev, "0x2");
    EXPECT_EQ(dispatch("add_func", "Name MyCam NAME Other name"), 0);
    EXPECT_EQ(seams.runner.status_commands(),
              commands{"iw wdev 0x2 nan add_func Name MyCam NAME Other name "});
}

TEST_F(DispatchTest, AddFuncWithoutParameters) {
    strcpy(nan.wdev, "0x2");
    EXPECT_EQ(dispatch("add_func", nullptr), 0);
    EXPECT_EQ(out, "\n=== Executing add_func custom logic ===\n"
                   "Processed parameters: \n"
                   "add_func:iw wdev 0x2 nan add_func \n"
                   "=== add_func custom logic execution completed ===\n" +
                       batch_lines({"iw wdev 0x2 nan add_func "}));
}

TEST_F(DispatchTest, ResetReboots) {
    EXPECT_EQ(dispatch("reset", "ignored"), 0);
    EXPECT_EQ(out, "\n=== Executing reset custom logic ===\n"
                   "reset:reboot\n"
                   "=== reset custom logic execution completed ===\n" +
                       batch_lines({"reboot"}));
    EXPECT_EQ(seams.runner.status_commands(), commands{"reboot"});
}

TEST_F(DispatchTest, UpdatefwHandsOverToTheBoardScript) {
    EXPECT_EQ(dispatch("updatefw", ""), 0);
    EXPECT_EQ(out, "\n=== Executing updatefw custom logic ===\n"
                   "updatefw:/bin/usb.sh -r usbh_msc\n"
                   "=== updatefw custom logic execution completed ===\n" +
                       batch_lines({"/bin/usb.sh -r usbh_msc"}));
    EXPECT_EQ(seams.runner.status_commands(), commands{"/bin/usb.sh -r usbh_msc"});
}

}  // namespace
