// The six vendor keywords on the simulated board, driven by nanvideo-keyword after an init has
// created nan0: each record reaches the simulated driver with its subcommand and its exact
// bytes, a value rejected on its content sends nothing, and a vendor send that iw keeps refusing
// is tried three times and leaves no file in the board's /tmp.
#include <sys/wait.h>

#include <csignal>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "board_fixture.hpp"
#include "board_world.hpp"
#include "expected_lines.hpp"

namespace {

using namespace expected;

using bytes = std::vector<uint8_t>;

// The tool is built next to the daemon.
const std::string keyword_tool =
    (std::filesystem::path(NANVIDEO_DAEMON_PATH).parent_path() / "nanvideo-keyword").string();
// Scripts on the board run the tool from where a board has it installed: the build tree may lie
// below /tmp, which the board replaces.
const std::string keyword_tool_on_board = "/usr/sbin/nanvideo-keyword";

constexpr unsigned vendor_id = 0xe04c;
// iw's exit status for a command on an interface that does not exist: 256 - ENODEV.
constexpr int iw_no_device_status = 237;

// ---- normalising what changes from run to run ----

// ---- records ----

struct field {
    size_t offset;
    bytes value;
};

bytes text_bytes(const std::string& text) { return {text.begin(), text.end()}; }

bytes record_of(size_t size, const std::vector<field>& fields) {
    bytes record(size, 0);
    for (const field& f : fields)
        for (size_t i = 0; i < f.value.size(); ++i) record.at(f.offset + i) = f.value[i];
    return record;
}

// Where two records first differ, for failure messages about long records.
std::string first_difference(const bytes& got, const bytes& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return "none";
    return "byte " + std::to_string(i);
}

std::string hex_dump(const bytes& record) {
    std::string text;
    char piece[4];
    for (uint8_t byte : record) {
        snprintf(piece, sizeof piece, "%.2x ", byte);
        text += piece;
    }
    return text;
}

std::string hex(unsigned value) {
    char text[16];
    snprintf(text, sizeof text, "0x%x", value);
    return text;
}

// ---- the keywords ----

struct vendor_case {
    const char* keyword;
    unsigned subcmd;
    size_t size;
    // A parameter text with (nearly) every key, the lines its keys print before the sending
    // line, and the record it makes.
    std::string full_params;
    lines full_key_lines;
    std::vector<field> full_fields;
    // A value rejected on its content: the lines on standard output after the parameters line
    // and the message on standard error.
    std::string rejected_params;
    lines rejected_key_lines;
    std::string rejected_message;
};

// Test names and failure messages show the keyword, not the object's bytes.
void PrintTo(const vendor_case& c, std::ostream* os) { *os << c.keyword; }

const std::string pmk_text = "0123456789abcdef0123456789abcdef";

const vendor_case vendor_cases[] = {
    {"srvc_ext",
     0x1900,
     402,
     "period 300 event 2 proximity awake_dw_int 4 further_srvc_disc further_srvc_disc_func gas "
     "data_path data_path_type ndp qos sec_password abcdefgh sec_pmk " + pmk_text +
         " gtk srv_id 1,2,3,4,5,6 srv_name abc srv_inst x srv_text 0x05|hello|3|abc csid 513 "
         "bstrap_method 2",
     {"0: pattern[0] = 1", "1: pattern[1] = 2", "2: pattern[2] = 3", "3: pattern[3] = 4",
      "4: pattern[4] = 5", "5: pattern[5] = 6",
      "append_gen_sub_attr NAN_GEN_SRVC_SERVICE_NAME[2]", "service_name:abc", "len = 6",
      "02 03 00 61 62 63 ",
      "append_gen_sub_attr NAN_GEN_SRVC_NAME_OF_SRVC_INST[3]", "service inst:x", "len = 4",
      "03 01 00 78 ",
      "append_gen_sub_attr NAN_GEN_SRVC_TEXT_INFO[4]", "text info:0x05|hello|3|abc", "len = 13",
      "04 0a 00 05 68 65 6c 6c 6f 03 61 62 63 ",
      "generic service info (len=27)",
      "50 6f 9a 02 02 03 00 61 62 63 03 01 00 78 04 0a ",
      "00 05 68 65 6c 6c 6f 03 61 62 63 ",
      "Constructed service info length: 27"},
     {{1, {44}},  // period 300: its low 8 bits
      {2, {2}},
      {3, {1}},
      {4, {4}},
      {5, {1}},
      {6, {1}},  // gas
      {7, {1}},
      {9, {1}},
      {10, {1}},
      {11, text_bytes("abcdefgh")},
      {76, {8}},
      {77, text_bytes(pmk_text)},
      {125, {1}},
      {132, {1, 2, 3, 4, 5, 6}},
      {138, {0x50, 0x6f, 0x9a, 0x02, 0x02, 0x03, 0x00, 0x61, 0x62, 0x63, 0x03, 0x01, 0x00, 0x78,
             0x04, 0x0a, 0x00, 0x05, 0x68, 0x65, 0x6c, 0x6c, 0x6f, 0x03, 0x61, 0x62, 0x63}},
      {394, {27, 0}},
      {396, {0x01, 0x02}},         // csid 513
      {398, {1, 1, 0x02, 0x00}}},  // bstrap_method 2 also sets the two flags
     // srvc_ext has no MAC key; its byte list is the value rejected on its content.
     "data_path srv_id 1,2,3",
     {"0: pattern[0] = 1", "1: pattern[1] = 2", "2: pattern[2] = 3"},
     "Error: Invalid srv_id: 1,2,3"},
    {"data_req",
     0x1901,
     410,
     "req_type ndp rsp_nan_mac 02:11:22:33:44:55 sec type ucast publish_id 3 "
     "mcast_addr AA:BB:CC:DD:EE:FF min_duration 12abc max_latency 500 mrole_sched_ratio 256 "
     "srv_info 01,02,03 sec_pmk pairing",
     {"Info: srv_info element count = 3", "0: pattern[0] = 1", "1: pattern[1] = 2",
      "2: pattern[2] = 3"},
     {{1, {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}},
      {7, {1}},
      {9, {3}},
      {10, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}},
      {16, {12}},          // 12abc reads as 12
      {18, {0xf4, 0x01}},  // 500; mrole_sched_ratio 256 keeps 0 in byte 22
      {23, {1, 2, 3}},
      {278, {3, 0}},
      {280, {3}}},  // pairing: the type alone
     "req_type ndp rsp_nan_mac 02:11:22:33:44",
     {},
     "Error: Invalid rsp_nan_mac: 02:11:22:33:44"},
    {"data_rsp",
     0x1902,
     284,
     "rsp_mode auto ndl_rsp counter data_path_id 300 publish_id 4 m4_rsp_type BadMic type ucast "
     "mc_id 9 initiator_data_address 02:11:22:33:44:5g mcast_addr aa:bb:cc:dd:ee:ff "
     "min_duration 2 max_latency 500 mrole_sched_ratio 3 srv_info 0a,0b,0c",
     {"Info: srv_info element count = 3", "0: pattern[0] = a", "1: pattern[1] = b",
      "2: pattern[2] = c"},
     {{0, {1, 3, 44, 4, 3, 0, 9}},  // auto, counter, 300's low bits, publish id, BadMic
      {7, {0x02, 0x11, 0x22, 0x33, 0x44, 0x05}},  // 5g reads as 5
      {13, {0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff}},
      {20, {2}},
      {22, {0xf4, 0x01}},
      {26, {3}},
      {27, {0x0a, 0x0b, 0x0c}},
      {282, {3, 0}}},
     "rsp_mode peer initiator_data_address 02:11:22:33:44",
     {},
     "Error: Invalid initiator_data_address: 02:11:22:33:44"},
    {"data_end",
     0x1903,
     11,
     "ndp_id 3 initiatorndi 02:11:22:33:44:55 type ucast status 0 mc_id 5 nmsg_id 7",
     {},
     {{0, {0x03, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x00, 0x00, 0x05, 0x07}}},
     "ndp_id 3 initiatorndi aa:bb:cc:dd:ee",
     {},
     "Error: Invalid initiatorndi MAC address: aa:bb:cc:dd:ee"},
    {"followup",
     0x1906,
     16,
     "type bstrap rmt_id 1 local_id 2 rmt_mac 02:11:22:33:44:55 bstrap_type req bstrap_status 1 "
     "bstrap_method 4 sec_key_type 0",
     {},
     {{0, {0x02, 0x01, 0x02, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x11, 0x00, 0x00, 0x04, 0x00,
           0x00, 0x00}}},
     "type request rmt_mac aa:bb:cc:dd:ee:100",
     {},
     "Error: Invalid rmt_mac MAC address: aa:bb:cc:dd:ee:100"},
    {"pasn_start",
     0x1908,
     10,
     "role 1 type 0 peer_nmi 02:11:22:33:44:55 auth_method 2 nik_caching 1",
     {},
     {{0, {0x01, 0x00, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x02, 0x01}}},
     "role 1 peer_nmi aa-bb-cc-dd-ee-ff",
     {},
     "Error: Invalid peer_nmi MAC address: aa-bb-cc-dd-ee-ff"},
};

std::string vendor_command(const vendor_case& c) {
    return "iw nan0 vendor send " + hex(vendor_id) + " " + hex(c.subcmd) + " " +
           vendor_file_prefix + "XXXXXX";
}

lines opening(const vendor_case& c, const std::string& params_shown) {
    return {"", std::string("=== Executing ") + c.keyword + " custom logic ===",
            "Original parameters: " + params_shown};
}

constexpr int never = 0;

// From the sending line on, for a send whose attempt number `succeeding` succeeds; with `never`
// all three attempts fail.
lines sending(const vendor_case& c, const bytes& record, int succeeding) {
    lines out = {std::string("Sending ") + c.keyword + " data (struct size: " +
                     std::to_string(c.size) + " bytes)",
                 "", hex_dump(record)};
    const int attempts = succeeding == never ? 3 : succeeding;
    for (int attempt = 1; attempt <= attempts; ++attempt)
        out.push_back("[TID] Executing iw command (retry " + std::to_string(attempt) +
                      "): " + vendor_command(c));
    if (succeeding == never) return out;
    append(out, {"[TID] Success: Sent " + std::to_string(c.size) + " bytes (vendor_id: " +
                     hex(vendor_id) + ", subcmd: " + hex(c.subcmd) + ")",
                 std::string("=== ") + c.keyword +
                     " custom logic execution completed successfully ===",
                 "No commands to execute!"});
    return out;
}

lines send_failure_messages(const vendor_case& c, int exit_code) {
    return {"[TID] Error: iw command failed (exit code: " + std::to_string(exit_code) +
                ", retries: 3)!",
            std::string("Error: Failed to send ") + c.keyword + " data via vendor command!"};
}

// ---- the board ----

lines tmp_entries(const std::string& state) {
    lines names;
    for (const auto& entry : std::filesystem::directory_iterator(state + "/tmp"))
        names.push_back(entry.path().filename().string());
    return names;
}

daemon_options on_board(std::vector<std::string> args, board_world::options opts = {}) {
    return {.args = std::move(args),
            .emulate_spidev = false,
            .world = [opts](const std::string& state) {
                std::string error;
                ASSERT_EQ(board_world::populate(state, opts, &error), 0) << error;
                std::filesystem::copy_file(keyword_tool, state + "/root" + keyword_tool_on_board,
                                           std::filesystem::copy_options::overwrite_existing);
            }};
}

board_world::options iw_vendor_send_failing(int times) {
    board_world::options opts;
    opts.failures.push_back({.pattern = "iw nan0 vendor send *", .times = times, .exit_status = 1});
    return opts;
}

// The calls after init's `iw dev` and interface add.
lines vendor_calls(const std::string& state) {
    lines out;
    for (const std::string& line : board_world::read_call_lines(state))
        if (line.rfind("iw nan0 vendor send ", 0) == 0) out.push_back(without_file_suffix(line));
    return out;
}

class vendor_test : public board_test {
protected:
    // init (quietly) creates nan0, then the keyword runs; "$0" is the tool. The parameter text
    // travels as one single-quoted word: it may hold "|".
    void run_after_init(const std::string& keyword, const std::string* params,
                        const board_world::options& opts = {}) {
        ASSERT_TRUE(std::filesystem::exists(keyword_tool)) << keyword_tool << " is not built";
        std::string script = "\"$0\" init >/dev/null && \"$0\" " + keyword;
        if (params != nullptr) script += " '" + *params + "'";
        board.start_program("/bin/sh", on_board({"-c", script, keyword_tool_on_board}, opts));
    }

    int exit_status() { return board.exit_code(); }

    lines out() const { return normalised(board.stdout_lines()); }
    lines err() const { return normalised(board.stderr_lines()); }

    // The one record the driver took.
    void expect_one_record(const vendor_case& c, const bytes& record) {
        const std::vector<board_world::vendor_record> records =
            board_world::read_vendor_records(board.state_dir());
        ASSERT_EQ(records.size(), 1u);
        EXPECT_EQ(records[0].vendor_id, vendor_id);
        EXPECT_EQ(records[0].subcmd, c.subcmd);
        EXPECT_EQ(records[0].verdict, "ok");
        EXPECT_EQ(records[0].bytes.size(), c.size);
        EXPECT_EQ(records[0].bytes, record)
            << "first difference: " << first_difference(records[0].bytes, record);
    }
};

class VendorKeyword : public vendor_test, public ::testing::WithParamInterface<vendor_case> {};

TEST_P(VendorKeyword, FullParameterTextReachesTheDriverByteForByte) {
    const vendor_case& c = GetParam();
    run_after_init(c.keyword, &c.full_params);
    ASSERT_EQ(exit_status(), 0);
    const bytes record = record_of(c.size, c.full_fields);
    lines expected = opening(c, c.full_params);
    append(expected, c.full_key_lines);
    append(expected, sending(c, record, 1));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});
    expect_one_record(c, record);
    EXPECT_EQ(vendor_calls(board.state_dir()), lines{vendor_command(c)});
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

TEST_P(VendorKeyword, NoParametersSendTheAllZeroRecord) {
    const vendor_case& c = GetParam();
    run_after_init(c.keyword, nullptr);
    ASSERT_EQ(exit_status(), 0);
    const bytes record(c.size, 0);
    lines expected = opening(c, "none");
    append(expected, sending(c, record, 1));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});
    expect_one_record(c, record);
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

TEST_P(VendorKeyword, ValueRejectedOnItsContentSendsNothing) {
    const vendor_case& c = GetParam();
    run_after_init(c.keyword, &c.rejected_params);
    EXPECT_EQ(exit_status(), 2);
    lines expected = opening(c, c.rejected_params);
    append(expected, c.rejected_key_lines);
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{c.rejected_message});
    EXPECT_TRUE(board_world::read_vendor_records(board.state_dir()).empty());
    EXPECT_EQ(vendor_calls(board.state_dir()), lines{});
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

TEST_P(VendorKeyword, IwFailingEveryTimeIsTriedThreeTimesAndLeavesNoFile) {
    const vendor_case& c = GetParam();
    run_after_init(c.keyword, nullptr, iw_vendor_send_failing(-1));
    EXPECT_EQ(exit_status(), 1);
    lines expected = opening(c, "none");
    append(expected, sending(c, bytes(c.size, 0), never));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), send_failure_messages(c, 1));
    EXPECT_TRUE(board_world::read_vendor_records(board.state_dir()).empty());
    EXPECT_EQ(vendor_calls(board.state_dir()), lines(3, vendor_command(c)));
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

INSTANTIATE_TEST_SUITE_P(EachKeyword, VendorKeyword, ::testing::ValuesIn(vendor_cases),
                         [](const auto& test) { return std::string(test.param.keyword); });

// ---- the transport against the simulated iw ----

using VendorSendOnBoard = vendor_test;

TEST_F(VendorSendOnBoard, IwFailingOnceThenSucceeding) {
    const vendor_case& c = vendor_cases[5];  // pasn_start
    run_after_init(c.keyword, &c.full_params, iw_vendor_send_failing(1));
    ASSERT_EQ(exit_status(), 0);
    const bytes record = record_of(c.size, c.full_fields);
    lines expected = opening(c, c.full_params);
    append(expected, sending(c, record, 2));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), lines{});
    expect_one_record(c, record);
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

// Stopped during a send that hangs, the tool leaves neither its record file nor the iw behind.
class VendorSendStopped : public vendor_test, public ::testing::WithParamInterface<int> {};

TEST_P(VendorSendStopped, RemovesTheRecordFileAndEndsTheHungIw) {
    const int signo = GetParam();
    board_world::options opts;
    opts.failures.push_back(
        {.pattern = "iw nan0 vendor send *", .times = -1, .exit_status = 0, .stall = true});
    board.start_program(keyword_tool, on_board({"data_end"}, opts));
    ASSERT_GE(board_world::wait_for_call(board.state_dir(), "iw nan0 vendor send *",
                                         static_cast<int>(e2e_deadline.count())),
              0);
    const std::string board_ns = mount_namespace(board.daemon().pid());
    ASSERT_FALSE(board_ns.empty());
    ASSERT_EQ(tmp_entries(board.state_dir()).size(), 1u);

    board.daemon().signal(signo);
    const std::optional<int> status = board.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signo) << *status;
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
    EXPECT_TRUE(wait_board_processes(
        board_ns, [](const std::vector<std::string>& left) { return left.empty(); }));
}

INSTANTIATE_TEST_SUITE_P(Signals, VendorSendStopped, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& test) { return test.param == SIGTERM ? "Sigterm" : "Sigint"; });

// Without nan0 the simulated driver refuses every vendor send as iw would: no such device.
TEST_F(VendorSendOnBoard, WithoutNan0TheDriverRefusesTheSend) {
    const vendor_case& c = vendor_cases[3];  // data_end
    board.start_program(keyword_tool, on_board({c.keyword, c.full_params}));
    EXPECT_EQ(exit_status(), 1);
    lines expected = opening(c, c.full_params);
    append(expected, sending(c, record_of(c.size, c.full_fields), never));
    EXPECT_EQ(out(), expected);
    EXPECT_EQ(err(), send_failure_messages(c, iw_no_device_status));
    EXPECT_TRUE(board_world::read_vendor_records(board.state_dir()).empty());
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

}  // namespace
