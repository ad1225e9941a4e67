#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "exec/recording_runner.hpp"
#include "exec/scripted_keyword.hpp"
#include "nan_bringup.hpp"
#include "param_record.hpp"
#include "recording_transport.hpp"
#include "dist/run_command.hpp"
#include "vendor_cmd.hpp"

namespace {

const std::string phy_query = "iw dev | grep phy# | awk '{print substr($1,5)}'";
const std::string wdev_query =
    "iw dev | awk '/^phy#/ {phys++; wdev = \"\"} "
    "$1 == \"Interface\" || $1 ~ /^Unnamed/ {wdev = \"\"} "
    "$1 == \"wdev\" {wdev = $2} "
    "phys == 1 && NF == 2 && $1 == \"type\" && $2 == \"NAN\" && wdev != \"\" {print wdev}'";

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// What bring-up works with, as the daemon builds it, over recorders: the vendor rows send to a
// recording transport.
struct bringup_rooms {
    bringup_rooms() { set_record("name:NanCam pmk: password:secret123 hostname:nancam.local"); }

    void set_record(const char* text) {
        ASSERT_EQ(parse_param(text, &params.current_param, false), 0);
        params.current_param_escaped = false;
    }

    recording_exec_seams seams;
    recording_transport transport;
    vendor_keywords vendor{transport};
    scripted_keyword config_write;
    nan_interface_state nan;
    param_state params;
    keyword_dispatch_table keywords{nan,
                                    {vendor.srvc_ext, vendor.data_req, vendor.data_rsp,
                                     vendor.data_end, vendor.followup, vendor.pasn_start,
                                     config_write},
                                    seams.runner,
                                    seams.pauser};
};

class NanBringup : public testing::Test {
protected:
    void set_record(const char* text) { rooms.set_record(text); }

    // Runs bring-up after the event module, returning its result and its standard output.
    int run(std::string& out) { return run(out, rooms); }
    static int run(std::string& out, bringup_rooms& with) {
        testing::internal::CaptureStdout();
        int result = bring_up_nan_interface(with.keywords, with.params);
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    // The phy, the NAN interface an earlier run left on it (none by default), the wdev of the
    // one bring-up creates.
    static void answer_queries(recording_exec_seams& s, const char* phy = "0\n",
                               const char* wdev = "0x2\n", const char* leftover = "") {
        s.runner.push_capture(phy);
        s.runner.push_capture(leftover);
        s.runner.push_capture(wdev);
    }
    void answer_queries(const char* phy = "0\n", const char* wdev = "0x2\n") {
        answer_queries(seams, phy, wdev);
    }

    bringup_rooms rooms;
    recording_exec_seams& seams = rooms.seams;
    recording_transport& transport = rooms.transport;
    const char* nan_phy = rooms.nan.phy;
    const char* nan_wdev = rooms.nan.wdev;
};

TEST_F(NanBringup, CreatesStartsSecuresAndPublishesInOrder) {
    answer_queries();
    std::string out;
    ASSERT_EQ(run(out), 0);
    EXPECT_EQ(seams.runner.commands(),
              (std::vector<std::string>{phy_query, wdev_query, "iw phy0 interface add nan0 type __nan",
                                        wdev_query,
                                        "iw wdev 0x2 nan start pref 128 bands 2GHz 5GHz",
                                        "ifconfig nan0 up",
                                        "iw wdev 0x2 nan add_func type publish unsolicited name nancam "}));
    EXPECT_STREQ(nan_phy, "0");
    EXPECT_STREQ(nan_wdev, "0x2");

    auto lines = lines_of(out);
    const std::vector<std::string> phy_lines{"Command executed successfully!", "Phy number output: [0]",
                                             "Extracted phy number: 0"};
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3), phy_lines);

    // The service extension record carries the stored password as the data-path security.
    auto sent = transport.sent();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].subcmd, 0x1900);
    std::vector<uint8_t> expected(402, 0);
    expected[7] = 1;   // data_path
    expected[10] = 1;  // security present
    memcpy(&expected[11], "secret123", 9);
    expected[76] = 9;
    EXPECT_EQ(sent[0].bytes, expected);
}

TEST_F(NanBringup, SecurityFallsBackToThePmkThenToNone) {
    set_record("name:cam pmk:0123456789abcdef0123456789abcdef password: hostname:cam.local");
    answer_queries();
    std::string out;
    ASSERT_EQ(run(out), 0);
    std::vector<uint8_t> with_pmk(402, 0);
    with_pmk[7] = 1;
    with_pmk[10] = 1;
    memcpy(&with_pmk[77], "0123456789abcdef0123456789abcdef", 32);
    ASSERT_EQ(transport.sent().size(), 1u);
    EXPECT_EQ(transport.sent()[0].bytes, with_pmk);
    EXPECT_NE(out.find("Original parameters: data_path sec_pmk 0123456789abcdef0123456789abcdef\n"),
              std::string::npos);

    set_record("name:cam pmk: password: hostname:cam.local");
    answer_queries();
    ASSERT_EQ(run(out), 0);
    std::vector<uint8_t> bare(402, 0);
    bare[7] = 1;
    ASSERT_EQ(transport.sent().size(), 2u);
    EXPECT_EQ(transport.sent()[1].bytes, bare);
    EXPECT_NE(out.find("Original parameters: data_path\n"), std::string::npos);
}

TEST_F(NanBringup, UsesPlainValuesAfterAnAtConfigLeftTheRecordEscaped) {
    ASSERT_EQ(parse_param("name:cam pmk: password:pa\"ss\\word hostname:cam.local",
                          &rooms.params.current_param, true),
              0);
    rooms.params.current_param_escaped = true;
    answer_queries();
    std::string out;
    ASSERT_EQ(run(out), 0);
    auto sent = transport.sent();
    ASSERT_EQ(sent.size(), 1u);
    const auto& record = sent[0].bytes;
    EXPECT_EQ(std::string(record.begin() + 11, record.begin() + 11 + record[76]), "pa\"ss\\word");
}

TEST_F(NanBringup, NoPhyStopsBeforeCreatingAnything) {
    seams.runner.push_capture("");
    std::string out;
    EXPECT_EQ(run(out), -1);
    EXPECT_EQ(out,
              "Command executed successfully!\n"
              "Phy number output: []\n"
              "No phy number found (command returned empty)!\n"
              "Failed to get phy!\n");
    EXPECT_EQ(seams.runner.commands(), std::vector<std::string>{phy_query});
    EXPECT_EQ(pthread_mutex_trylock(&rooms.nan.iwset_mutex), 0);
    pthread_mutex_unlock(&rooms.nan.iwset_mutex);
}

// The interface is re-created at every start, so the wdev and the phy keep growing: any value
// iw prints is used whole, and an answer that does not fit is refused, never cut.
TEST_F(NanBringup, EveryPhyAndWdevIwCanPrintIsUsedWholeAndALongerAnswerRefused) {
    struct answer_case {
        std::string phy_answer;
        std::string wdev_answer;
        const char* phy;   // nullptr: refused
        const char* wdev;  // nullptr: refused
        std::vector<std::string> last_lines;
    };
    const std::string overlong(300, '1');
    const answer_case cases[] = {
        {"100\n", "0x100\n", "100", "0x100", {}},
        {"4294967295\n", "0xffffffffffffffff\n", "4294967295", "0xffffffffffffffff", {}},
        {"0\n1\n", "0x2\n0x7\n", "0", "0x2", {}},  // several devices: the first listed
        {"42949672950\n", "", nullptr, nullptr,
         {"Phy number output: [42949672950]",
          "[get_phy] Error: Answer longer than 10 characters, refused!", "Failed to get phy!"}},
        {overlong + "\n", "", nullptr, nullptr,
         {"Phy number output: [" + overlong.substr(0, 255) + "]",
          "[get_phy] Error: Answer longer than 10 characters, refused!", "Failed to get phy!"}},
        {"1\n", "0x1ffffffffffffffff\n", "1", nullptr,
         {"wdev index output: [0x1ffffffffffffffff]",
          "[get_wdev] Error: Answer longer than 18 characters, refused!", "Failed to get wdev!"}},
    };
    for (const answer_case& c : cases) {
        SCOPED_TRACE(c.phy_answer.substr(0, 20));
        bringup_rooms local;
        answer_queries(local.seams, c.phy_answer.c_str(), c.wdev_answer.c_str());
        std::string out;
        EXPECT_EQ(run(out, local), c.phy != nullptr && c.wdev != nullptr ? 0 : -1);
        const std::vector<std::string> commands = local.seams.runner.commands();
        if (c.phy != nullptr) {
            ASSERT_GE(commands.size(), 3u);
            EXPECT_EQ(commands[2], "iw phy" + std::string(c.phy) + " interface add nan0 type __nan");
        }
        if (c.wdev != nullptr) {
            ASSERT_GE(commands.size(), 5u);
            EXPECT_EQ(commands[4], "iw wdev " + std::string(c.wdev) +
                                       " nan start pref 128 bands 2GHz 5GHz");
            EXPECT_STREQ(local.nan.wdev, c.wdev);
        }
        const std::vector<std::string> lines = lines_of(out);
        ASSERT_GE(lines.size(), c.last_lines.size());
        EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(c.last_lines.size()),
                                           lines.end()),
                  c.last_lines);
    }
}

TEST_F(NanBringup, InitFailingThreeTimesEndsBringUpBeforeTheWdevQuery) {
    seams.runner.push_capture("0\n");
    seams.runner.set_default_status(1);
    std::string out;
    EXPECT_EQ(run(out), -1);
    EXPECT_EQ(seams.runner.capture_commands(), (std::vector<std::string>{phy_query, wdev_query}));
    EXPECT_EQ(seams.runner.status_commands().size(), 3u);
    EXPECT_EQ(lines_of(out).back(), "Failed to init NAN!");
}

TEST_F(NanBringup, EachLaterStepFailsWithItsOwnLine) {
    struct failing_step {
        int status_ok_before;  // status commands that succeed before the failing one
        bool transport_fails;
        const char* line;
    };
    const failing_step steps[] = {
        {1, false, "Failed to start NAN!"},
        {3, true, "Failed to srvc_ext NAN!"},
        {3, false, "Failed to add_func NAN!"},
    };
    for (const failing_step& step : steps) {
        bringup_rooms local;
        answer_queries(local.seams);
        for (int i = 0; i < step.status_ok_before; ++i) local.seams.runner.push_status(0);
        local.seams.runner.set_default_status(step.transport_fails ? 0 : 1);
        local.transport.set_result(step.transport_fails ? -1 : 0);
        std::string out;
        EXPECT_EQ(run(out, local), -1) << step.line;
        EXPECT_EQ(lines_of(out).back(), step.line);
    }
}

TEST_F(NanBringup, AWdevQueryThatFindsNothingFailsAfterInit) {
    answer_queries("0\n", "");
    std::string out;
    EXPECT_EQ(run(out), -1);
    auto lines = lines_of(out);
    EXPECT_EQ(std::vector<std::string>(lines.end() - 4, lines.end()),
              (std::vector<std::string>{"Command executed successfully!", "wdev index output: []",
                                        "No wdev index found (command returned empty)!",
                                        "Failed to get wdev!"}));
}

// A daemon that was killed left its NAN interface: it goes (by its wdev) before nan0 is added
// again, with one line; a delete the driver refuses is said and bring-up goes on to fail at init.
TEST_F(NanBringup, ANanInterfaceLeftOnThePhyIsDeletedFirst) {
    struct leftover_case {
        int delete_status;
        std::vector<std::string> lines;
    };
    const leftover_case cases[] = {
        {0, {"Deleting the NAN interface (wdev 0x2) left by an earlier run."}},
        {1, {"Deleting the NAN interface (wdev 0x2) left by an earlier run.",
             "Error: Failed to delete it (status 1)!"}},
    };
    for (const leftover_case& c : cases) {
        SCOPED_TRACE(c.delete_status);
        bringup_rooms local;
        answer_queries(local.seams, "0\n", "0x3\n", "0x2\n");
        local.seams.runner.push_status(c.delete_status);
        std::string out;
        EXPECT_EQ(run(out, local), 0);
        const std::vector<std::string> commands = local.seams.runner.commands();
        ASSERT_GE(commands.size(), 5u);
        EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 5),
                  (std::vector<std::string>{phy_query, wdev_query, "iw wdev 0x2 del",
                                            "iw phy0 interface add nan0 type __nan", wdev_query}));
        const std::vector<std::string> lines = lines_of(out);
        std::vector<std::string> expected{"Command executed successfully!", "Phy number output: [0]",
                                          "Extracted phy number: 0"};
        expected.insert(expected.end(), c.lines.begin(), c.lines.end());
        expected.push_back("");  // the init batch's first line
        ASSERT_GE(lines.size(), expected.size());
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + static_cast<long>(expected.size())),
                  expected);
        EXPECT_STREQ(local.nan.wdev, "0x3");
    }
}

// ---- the wdev query on a board with three Wi-Fi chips, under the host's awk and BusyBox's ----

// As real iw prints it: the newest phy first, tabs, a P2P device without a netdev, and a
// station whose SSID holds the words "type NAN".
const char three_phy_listing[] =
    "phy#2\n"
    "\tUnnamed/non-netdev interface\n"
    "\t\twdev 0x200000003\n"
    "\t\taddr 4a:00:00:00:02:03\n"
    "\t\ttype P2P-device\n"
    "%s"
    "\tInterface wlan2\n"
    "\t\tifindex 8\n"
    "\t\twdev 0x200000001\n"
    "\t\taddr 02:00:00:00:02:00\n"
    "\t\tssid type NAN lab\n"
    "\t\ttype managed\n"
    "\t\tchannel 6 (2437 MHz), width: 20 MHz, center1: 2437 MHz\n"
    "\t\ttxpower 20.00 dBm\n"
    "phy#1\n"
    "\tUnnamed/non-netdev interface\n"
    "\t\twdev 0x100000002\n"
    "\t\taddr 02:00:00:00:11:00\n"
    "\t\ttype NAN\n"
    "\tInterface wlan1\n"
    "\t\tifindex 6\n"
    "\t\twdev 0x100000001\n"
    "\t\taddr 02:00:00:00:10:00\n"
    "\t\ttype managed\n"
    "phy#0\n"
    "\tInterface wlan0\n"
    "\t\tifindex 5\n"
    "\t\twdev 0x1\n"
    "\t\taddr 02:00:00:00:00:00\n"
    "\t\ttype managed\n";

const char chosen_phy_nan0[] =
    "\tInterface nan0\n"
    "\t\tifindex 9\n"
    "\t\twdev 0x200000004\n"
    "\t\taddr 02:00:00:00:01:00\n"
    "\t\ttype NAN\n";

class three_phy_board {
public:
    explicit three_phy_board(const std::string& name)
        : dir_(std::filesystem::temp_directory_path() /
               ("nan_bringup_test." + std::to_string(getpid()) + "." + name)) {
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_ / "bin");
        write(dir_ / "bin/iw", "#!/bin/sh\nexec cat \"" + (dir_ / "listing").string() + "\"\n");
        chmod((dir_ / "bin/iw").c_str(), 0755);
        if (!busybox_.empty()) {
            std::filesystem::create_directories(dir_ / "busybox");
            for (const char* applet : {"sh", "awk", "cat"})
                std::filesystem::create_symlink(busybox_, dir_ / "busybox" / applet);
        }
    }
    ~three_phy_board() { std::filesystem::remove_all(dir_); }

    // What the command prints with `iw dev` answering the listing.
    std::string run_query(const std::string& command, const std::string& listing, bool busybox) {
        write(dir_ / "listing", listing);
        write(dir_ / "query", command + "\n");
        const std::string bin = (dir_ / "bin").string();
        if (!busybox) return run("PATH=" + bin + ":/usr/bin:/bin /bin/sh " + (dir_ / "query").string()).output;
        return run("env -i POSIXLY_CORRECT=1 PATH=" + bin + ":" + (dir_ / "busybox").string() + " " +
                   busybox_ + " sh " + (dir_ / "query").string())
            .output;
    }
    static bool has_busybox() { return !busybox_.empty(); }

private:
    static void write(const std::filesystem::path& path, const std::string& text) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    static inline const std::string busybox_ = NANVIDEO_BUSYBOX;
    std::filesystem::path dir_;
};

std::string listing_with(const char* nan0_block) {
    char text[2048];
    snprintf(text, sizeof text, three_phy_listing, nan0_block);
    return text;
}

TEST_F(NanBringup, TheWdevQueryTakesOnlyTheChosenPhysNanInterface) {
    ASSERT_TRUE(three_phy_board::has_busybox()) << "BusyBox is not installed (tools/install-deps)";
    answer_queries("2\n", "0x200000004\n");
    std::string out;
    ASSERT_EQ(run(out), 0);
    const std::vector<std::string> queries = seams.runner.capture_commands();
    ASSERT_EQ(queries.size(), 3u);
    EXPECT_EQ(queries[1], queries[2]);  // the leftover check asks what the wdev query asks

    three_phy_board board("three_phy");
    for (bool busybox : {false, true}) {
        SCOPED_TRACE(busybox ? "BusyBox" : "host");
        // Before bring-up adds nan0: the other chip's NAN interface is not this one's leftover.
        EXPECT_EQ(board.run_query(queries[2], listing_with(""), busybox), "");
        EXPECT_EQ(board.run_query(queries[2], listing_with(chosen_phy_nan0), busybox), "0x200000004\n");
    }
}

}  // namespace
