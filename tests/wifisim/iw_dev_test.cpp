// The simulated driver as `iw dev` and the daemon's two queries show it, and the interface and
// NAN commands of bring-up.
#include <cstring>

#include "board_fixture.hpp"

namespace wifisim_test {
namespace {

const char fresh_board[] =
    "phy#0\n"
    "\tInterface wlan0\n"
    "\t\tifindex 5\n"
    "\t\twdev 0x1\n"
    "\t\taddr 02:00:00:00:00:00\n"
    "\t\ttype managed\n";

const char board_with_nan[] =
    "phy#0\n"
    "\tInterface nan0\n"
    "\t\tifindex 7\n"
    "\t\twdev 0x2\n"
    "\t\taddr 02:00:00:00:01:00\n"
    "\t\ttype NAN\n"
    "\tInterface wlan0\n"
    "\t\tifindex 5\n"
    "\t\twdev 0x1\n"
    "\t\taddr 02:00:00:00:00:00\n"
    "\t\ttype managed\n";

// The daemon's queries, character for character.
const char phy_query[] = "iw dev | grep phy# | awk '{print substr($1,5)}'";
const char wdev_query[] =
    "iw dev | awk '/^phy#/ || $1 == \"Interface\" || $1 ~ /^Unnamed/ {wdev = \"\"} "
    "$1 == \"wdev\" {wdev = $2} /type NAN/ && wdev != \"\" {print wdev}'";

using IwDev = BoardTest;

TEST_F(IwDev, ShapeBeforeAndAfterInterfaceAdd) {
    run_result before = run("iw dev");
    EXPECT_EQ(before.status, 0);
    EXPECT_EQ(before.out, fresh_board);
    EXPECT_EQ(before.err, "");

    run_result add = run("iw phy0 interface add nan0 type __nan");
    EXPECT_EQ(add.status, 0);
    EXPECT_EQ(add.out, "");
    EXPECT_EQ(add.err, "");

    EXPECT_EQ(run("iw dev").out, board_with_nan);
}

TEST_F(IwDev, QueriesGivePhyDigitsAndNanWdev) {
    EXPECT_EQ(run(phy_query).out, "0\n");
    EXPECT_EQ(run(wdev_query).out, "") << "no NAN interface yet";
    ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(run(phy_query).out, "0\n");
    EXPECT_EQ(run(wdev_query).out, "0x2\n");
}

// Real iw lists a NAN interface that has no network device as "Unnamed/non-netdev interface",
// and a managed one may show its ssid between its wdev and its type: the wdev query takes the
// NAN block's own wdev, and never another block's.
TEST_F(IwDev, WdevQueryTakesTheNanBlocksOwnWdev) {
    std::string query = wdev_query;
    query.replace(0, strlen("iw dev"), "cat");
    const std::string listing =
        "phy#1\n"
        "\tInterface wlan0\n\t\tifindex 5\n\t\twdev 0x100000001\n\t\taddr 02:00:00:00:00:00\n"
        "\t\tssid cam\n\t\ttype managed\n"
        "\tUnnamed/non-netdev interface\n\t\twdev 0x100000002\n\t\taddr 02:00:00:00:01:00\n"
        "\t\ttype NAN\n";
    EXPECT_EQ(run(query, listing).out, "0x100000002\n");
    const std::string nan_without_wdev =
        "phy#0\n\tInterface wlan0\n\t\twdev 0x1\n\t\ttype managed\n\tInterface nan0\n\t\ttype NAN\n";
    EXPECT_EQ(run(query, nan_without_wdev).out, "");
}

TEST_F(IwDev, ThreeDigitPhyAndLongWdev) {
    board_world::options opts;
    opts.phy = 123;
    opts.first_wdev = 0x10001;
    repopulate(opts);
    EXPECT_EQ(run(phy_query).out, "123\n");
    // The daemon keeps two digits of it; that phy does not exist.
    run_result cut = run("iw phy12 interface add nan0 type __nan");
    EXPECT_NE(cut.status, 0);
    EXPECT_EQ(cut.err, "command failed: No such device (-19)\n");
    ASSERT_EQ(run("iw phy123 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(run(wdev_query).out, "0x10002\n");
    EXPECT_EQ(run("iw dev").out.substr(0, 24), "phy#123\n\tInterface nan0\n");
}

TEST_F(IwDev, NoWifiDeviceAtAll) {
    board_world::options opts;
    opts.phy = -1;
    repopulate(opts);
    run_result list = run("iw dev");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.out, "");
    EXPECT_EQ(run(phy_query).out, "");
    EXPECT_NE(run("iw phy0 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(run(wdev_query).out, "");
}

using IwInterface = BoardTest;

TEST_F(IwInterface, SecondAddFailsUntilTheFirstIsDeleted) {
    ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    run_result again = run("iw phy0 interface add nan0 type __nan");
    EXPECT_EQ(again.status, 239);  // iw exits with the negative error number
    EXPECT_EQ(again.err, "command failed: File exists (-17)\n");
    run_result other = run("iw phy0 interface add nan1 type __nan");
    EXPECT_EQ(other.err, "command failed: Device or resource busy (-16)\n") << "one NAN interface";

    ASSERT_EQ(run("iw dev nan0 del").status, 0);
    EXPECT_EQ(run("iw dev").out, fresh_board);
    EXPECT_NE(run("iw dev nan0 del").status, 0);

    ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(run(wdev_query).out, "0x3\n") << "a new interface gets a new wdev";
    EXPECT_NE(run("iw dev").out.find("\t\tifindex 8\n"), std::string::npos);
}

TEST_F(IwInterface, WrongPhyOrTypeFails) {
    EXPECT_EQ(run("iw phy1 interface add nan0 type __nan").err,
              "command failed: No such device (-19)\n");
    run_result bad_type = run("iw phy0 interface add nan0 type nanny");
    EXPECT_EQ(bad_type.status, 1);
    EXPECT_EQ(bad_type.err, "invalid interface type nanny\n");
    EXPECT_EQ(run("iw phy0 interface add nan0").status, 1);
    EXPECT_EQ(run("iw dev").out, fresh_board);
    // The long form names the phy as its own word.
    EXPECT_EQ(run("iw phy phy0 interface add nan0 type __nan").status, 0);
}

using IwNan = BoardTest;

TEST_F(IwNan, StartAndAddFuncCheckTheWdevAndKeepTheirArguments) {
    ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    EXPECT_EQ(run("iw wdev 0x9 nan start pref 128 bands 2GHz 5GHz").err,
              "command failed: No such device (-19)\n");
    EXPECT_EQ(run("iw wdev 0x1 nan start pref 128 bands 2GHz 5GHz").err,
              "command failed: Operation not supported (-95)\n") << "wlan0 is no NAN interface";
    EXPECT_EQ(run("iw wdev  nan start pref 128").status, 1) << "the daemon's empty wdev";
    EXPECT_EQ(run("iw wdev 0x2 nan add_func type publish unsolicited name nancam ").err,
              "command failed: Transport endpoint is not connected (-107)\n")
        << "NAN not started yet";

    EXPECT_EQ(run("iw wdev 0x2 nan start pref 128 bands 2GHz 5GHz").status, 0);
    EXPECT_EQ(run("iw wdev 0x2 nan start pref 128 bands 2GHz 5GHz").err,
              "command failed: File exists (-17)\n");
    EXPECT_EQ(run("iw wdev 0x2 nan add_func type publish unsolicited name nancam ").status, 0);
    EXPECT_EQ(run("iw wdev 2 nan add_func type publish name second").status, 0) << "decimal wdev";
    EXPECT_EQ(run("iw wdev 0x2 nan add_func type publish").status, 1) << "no name";
    EXPECT_EQ(run("ifconfig nan0 up").status, 0);

    board_world::driver_view d;
    ASSERT_EQ(board_world::read_driver(state, &d), 0);
    EXPECT_TRUE(d.nan_started);
    EXPECT_EQ(d.nan_start_args, "pref 128 bands 2GHz 5GHz");
    ASSERT_EQ(d.functions.size(), 2u);
    EXPECT_EQ(d.functions[0].id, 1u);
    EXPECT_EQ(d.functions[0].args, "type publish unsolicited name nancam");
    EXPECT_EQ(d.functions[1].args, "type publish name second");
    ASSERT_EQ(d.interfaces.size(), 2u);
    EXPECT_EQ(d.interfaces[1].name, "nan0");
    EXPECT_TRUE(d.interfaces[1].up);

    ASSERT_EQ(run("iw dev nan0 del").status, 0);
    ASSERT_EQ(board_world::read_driver(state, &d), 0);
    EXPECT_FALSE(d.nan_started);
    EXPECT_TRUE(d.functions.empty());
}

TEST_F(IwNan, IfconfigKnowsOnlyExistingInterfaces) {
    run_result missing = run("ifconfig nan0 up");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "nan0: ERROR while getting interface flags: No such device\n");
    EXPECT_EQ(run("ifconfig lo up").status, 0);
    EXPECT_EQ(run("ifconfig wlan0 up").status, 0);
}

}  // namespace
}  // namespace wifisim_test
