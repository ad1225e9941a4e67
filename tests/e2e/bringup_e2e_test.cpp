// NAN bring-up on the simulated board, seen from outside: the full start-up of the real daemon,
// the lines it prints, the commands it runs, the service extension record the driver receives
// and the state the driver ends in; and each way bring-up fails, which ends the daemon with
// status 0 after its own lines.
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"
#include "daemon_children.hpp"
#include "expected_lines.hpp"

namespace {

using namespace expected;

// The last line of the event module's start; bring-up's own lines follow it.
const std::string event_module_ready = "Listener and decision threads are running in background.";
const std::string add_func_completed = "=== add_func custom logic execution completed ===";
const std::string bringup_failed = "NAN initialization failed.";

constexpr unsigned srvc_ext_subcmd = 0x1900;
constexpr unsigned vendor_id = 0xe04c;
constexpr size_t srvc_ext_size = 402;
constexpr const char* healthy_phy = "0";
constexpr const char* healthy_wdev = "0x2";  // wlan0 is 0x1, the added nan0 takes the next
constexpr const char* start_parameters = "pref 128 bands 2GHz 5GHz";

// ---- normalising what changes from run to run ----

// The event threads print from their own threads at any moment; bring-up's lines are the rest.
bool is_event_thread_line(const std::string& line) {
    for (const char* tag : {"[nan_event_listener]", "[nan_connection_decision]", "[decision]",
                            "[event_queue_push]", "[try_parse]", "[parse_nan_event]"}) {
        if (line.rfind(tag, 0) == 0) return true;
    }
    return false;
}

// Bring-up's lines: everything after the event module's start, without the event threads'
// lines, with thread ids and temporary file names normalised.
lines bringup_lines(const lines& all) {
    lines out;
    bool started = false;
    for (const std::string& line : all) {
        if (!started) {
            started = line == event_module_ready;
            continue;
        }
        if (is_event_thread_line(line)) continue;
        out.push_back(without_file_suffix(without_thread_id(line)));
    }
    return out;
}

// ---- records ----

struct field {
    size_t offset;
    std::vector<uint8_t> bytes;
};

std::vector<uint8_t> text_bytes(const std::string& text) { return {text.begin(), text.end()}; }

std::vector<uint8_t> record_of(size_t size, const std::vector<field>& fields) {
    std::vector<uint8_t> record(size, 0);
    for (const field& f : fields)
        for (size_t i = 0; i < f.bytes.size(); ++i) record.at(f.offset + i) = f.bytes[i];
    return record;
}

// Where two records first differ, for failure messages about long records.
std::string first_difference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
    if (i == got.size() && i == want.size()) return "none";
    return "byte " + std::to_string(i);
}

std::string hex_dump(const std::vector<uint8_t>& bytes) {
    std::string text;
    char piece[4];
    for (uint8_t byte : bytes) {
        snprintf(piece, sizeof piece, "%.2x ", byte);
        text += piece;
    }
    return text;
}

// ---- bring-up's lines, step by step ----

std::string init_command(const std::string& phy) {
    return "iw phy" + phy + " interface add nan0 type __nan";
}

lines init_step(const std::string& phy, bool fails = false) {
    lines out = {"", "=== Executing init custom logic ===", "init:" + init_command(phy),
                 "=== init custom logic execution completed ==="};
    append(out, batch({init_command(phy)}, fails ? 0 : -1));
    return out;
}

std::string start_command(const std::string& wdev = healthy_wdev) {
    return "iw wdev " + wdev + " nan start " + start_parameters;
}

lines start_step(bool fails = false, const std::string& wdev = healthy_wdev) {
    lines out = {"", "=== Executing start custom logic ===", "start:" + start_command(wdev),
                 "=== start custom logic execution completed ==="};
    append(out, batch({start_command(wdev), "ifconfig nan0 up"}, fails ? 0 : -1));
    return out;
}

std::string vendor_command() {
    char text[80];
    snprintf(text, sizeof text, "iw nan0 vendor send 0x%x 0x%x %sXXXXXX", vendor_id,
             srvc_ext_subcmd, vendor_file_prefix);
    return text;
}

lines srvc_ext_step(const std::string& params, const std::vector<uint8_t>& record,
                    bool fails = false) {
    lines out = {"",
                 "=== Executing srvc_ext custom logic ===",
                 "Original parameters: " + params,
                 "Sending srvc_ext data (struct size: 402 bytes)",
                 "",
                 hex_dump(record)};
    const int attempts = fails ? 3 : 1;
    for (int attempt = 1; attempt <= attempts; ++attempt)
        out.push_back("[TID] Executing iw command (retry " + std::to_string(attempt) +
                      "): " + vendor_command());
    if (fails) return out;
    append(out, {"[TID] Success: Sent 402 bytes (vendor_id: 0xe04c, subcmd: 0x1900)",
                 "=== srvc_ext custom logic execution completed successfully ===",
                 "No commands to execute!"});
    return out;
}

std::string add_func_command(const std::string& lower_name,
                             const std::string& wdev = healthy_wdev) {
    // The rebuilt parameter text ends in a blank, and so does the command.
    return "iw wdev " + wdev + " nan add_func type publish unsolicited name " + lower_name + " ";
}

lines add_func_step(const std::string& lower_name, bool fails = false,
                    const std::string& wdev = healthy_wdev) {
    lines out = {"", "=== Executing add_func custom logic ===",
                 "Processed parameters: type publish unsolicited name " + lower_name + " ",
                 "add_func:" + add_func_command(lower_name, wdev), add_func_completed};
    append(out, batch({add_func_command(lower_name, wdev)}, fails ? 0 : -1));
    return out;
}

// ---- the board ----

std::vector<std::string> tmp_entries(const std::string& state) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(state + "/tmp"))
        names.push_back(entry.path().filename().string());
    return names;
}

// The calls in order, without the event listener's long-running `iw event`, whose start races
// with bring-up's first query; that one is counted instead.
lines calls_without_event_stream(const std::string& state, size_t* event_streams) {
    lines out;
    *event_streams = 0;
    for (const std::string& line : board_world::read_call_lines(state)) {
        if (line == "iw event -t -f") {
            ++*event_streams;
            continue;
        }
        out.push_back(without_file_suffix(line));
    }
    return out;
}

daemon_options world_with(board_world::options opts) {
    return {.world = [opts](const std::string& state) {
        std::string error;
        ASSERT_EQ(board_world::populate(state, opts, &error), 0) << error;
    }};
}

daemon_options world_failing(const std::string& pattern) {
    board_world::options opts;
    opts.failures.push_back({.pattern = pattern, .times = -1, .exit_status = 1});
    return world_with(opts);
}

class bringup_test : public board_test {
protected:
    // Waits for the last line of a successful bring-up: the empty line after add_func's batch.
    void wait_published() {
        std::optional<size_t> banner = board.wait_stdout(add_func_completed);
        ASSERT_TRUE(banner) << "bring-up did not reach add_func";
        std::optional<size_t> done = board.wait_stdout(batch_completed, *banner);
        ASSERT_TRUE(done);
        ASSERT_TRUE(board.wait_stdout("", *done + 1));
    }

    // A failed bring-up ends the daemon with status 0 after "NAN initialization failed.".
    void expect_bringup_failure(const lines& expected_bringup_lines) {
        const std::optional<int> status = board.wait_exit();
        ASSERT_TRUE(status) << "the daemon did not end";
        ASSERT_TRUE(WIFEXITED(*status)) << describe_wait_status(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_EQ(bringup_lines(board.stdout_lines()), expected_bringup_lines);
    }

    lines calls(size_t* event_streams) {
        return calls_without_event_stream(board.state_dir(), event_streams);
    }
};

// ---- a healthy board, for each kind of stored security ----

struct stored_security {
    const char* label;
    std::string vemuparam;
    std::string srvc_ext_text;  // what bring-up hands to srvc_ext
    std::vector<field> record_fields;
    std::string lower_name;  // the published name
};

// Test names and failure messages show the case, not the object's bytes.
void PrintTo(const stored_security& c, std::ostream* os) { *os << c.label; }

const std::string stored_pmk = "0123456789abcdef0123456789ABCDEF";

const stored_security stored_cases[] = {
    {"Password",
     board_world::default_vemuparam,
     "data_path sec_password secret123",
     // data_path flag, security present, the passphrase and its length.
     {{7, {1}}, {10, {1}}, {11, text_bytes("secret123")}, {76, {9}}},
     "nancam"},
    {"PmkOnly",
     "name:Cam_01 pmk:" + stored_pmk + " password: hostname:nancam.local",
     "data_path sec_pmk " + stored_pmk,
     // data_path flag, security present, the PMK's 32 characters as text.
     {{7, {1}}, {10, {1}}, {77, text_bytes(stored_pmk)}},
     "cam_01"},
    {"Neither",
     "name:MyCam pmk: password: hostname:nancam.local",
     "data_path",
     {{7, {1}}},
     "mycam"},
};

class BringUpPublishes : public bringup_test,
                         public ::testing::WithParamInterface<stored_security> {};

TEST_P(BringUpPublishes, SendsTheSecurityRecordAndPublishesTheLowerCasedName) {
    const stored_security& c = GetParam();
    board_world::options opts;
    opts.vemuparam = c.vemuparam;
    board.start_daemon(world_with(opts));
    wait_published();

    const std::vector<uint8_t> record = record_of(srvc_ext_size, c.record_fields);
    lines expected = phy_found(healthy_phy);
    append(expected, init_step(healthy_phy));
    append(expected, wdev_found(healthy_wdev));
    append(expected, start_step());
    append(expected, srvc_ext_step(c.srvc_ext_text, record));
    append(expected, add_func_step(c.lower_name));
    EXPECT_EQ(bringup_lines(board.stdout_lines()), expected);
    EXPECT_EQ(board.stderr_lines(), lines{});
    // Start-up is over and the daemon idles, named as installed (the board starts it through a
    // descriptor) and each of its threads named for an operator's `top -H` (no service manager
    // here, so no service watch).
    EXPECT_TRUE(board.daemon().running());
    const pid_t pid = board.daemon().pid();
    const std::string process_name = daemon_children::read_file("/proc/" + std::to_string(pid) + "/comm");
    EXPECT_EQ(process_name, "nanvideod\n");
    lines threads = daemon_children::thread_names(pid);
    // Threads of the daemon's runtime, not its own: qemu-arm's under emulation, and TSan's
    // background one, named as the process is.
    if (!e2e_daemon().qemu.empty()) std::erase(threads, "qemu-arm");
#if defined(__SANITIZE_THREAD__)
    std::erase(threads, "nanvideod");
#endif
    EXPECT_EQ(threads, (lines{"at-commands", "log", "nan-decision", "nan-events", "spi-frames",
                              "spi-transfer", "stop-signals", "tcp-server"}));

    // The driver holds the record byte for byte, taken as a service extension.
    const std::vector<board_world::vendor_record> records =
        board_world::read_vendor_records(board.state_dir());
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].vendor_id, vendor_id);
    EXPECT_EQ(records[0].subcmd, srvc_ext_subcmd);
    EXPECT_EQ(records[0].verdict, "ok");
    EXPECT_EQ(records[0].bytes, record)
        << "first difference: " << first_difference(records[0].bytes, record);

    // The commands in their order. The listener's `iw event` runs on a thread of its own, so it
    // is waited for before it is counted.
    EXPECT_GE(board_world::wait_for_call(board.state_dir(), "iw event -t -f",
                                         static_cast<int>(e2e_deadline.count())),
              0);
    size_t event_streams = 0;
    EXPECT_EQ(calls(&event_streams),
              (lines{"fw_printenv -n vemuparam", "iw dev", "iw dev", init_command(healthy_phy),
                     "iw dev", start_command(), "ifconfig nan0 up", vendor_command(),
                     "iw wdev 0x2 nan add_func type publish unsolicited name " + c.lower_name}));
    EXPECT_EQ(event_streams, 1u);
    // iw gets the words alone: the shell drops the blank that ends the command text.
    std::vector<std::string> add_func_argv;
    for (const board_world::call& call : board_world::read_calls(board.state_dir())) {
        if (call.argv.size() > 4 && call.argv[1] == "wdev" && call.argv[4] == "add_func")
            add_func_argv = call.argv;
    }
    EXPECT_EQ(add_func_argv, (lines{"iw", "wdev", "0x2", "nan", "add_func", "type", "publish",
                                    "unsolicited", "name", c.lower_name}));

    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    ASSERT_EQ(driver.interfaces.size(), 2u);
    EXPECT_EQ(driver.interfaces[1].name, "nan0");
    EXPECT_EQ(driver.interfaces[1].type, "NAN");
    EXPECT_EQ(driver.interfaces[1].wdev, 2u);
    EXPECT_TRUE(driver.interfaces[1].up);
    EXPECT_TRUE(driver.nan_started);
    EXPECT_EQ(driver.nan_start_args, start_parameters);
    ASSERT_EQ(driver.functions.size(), 1u);
    EXPECT_EQ(driver.functions[0].args, "type publish unsolicited name " + c.lower_name);

    // The record's file lived only for the send.
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
}

INSTANTIATE_TEST_SUITE_P(StoredSecurity, BringUpPublishes, ::testing::ValuesIn(stored_cases),
                         [](const auto& test) { return std::string(test.param.label); });

// The service files re-create nan0 at every start, so its wdev passes 0xff after enough
// restarts; a board may carry a phy numbered 100 or more. Both are used whole.
using BringUpAfterManyRestarts = bringup_test;

TEST_F(BringUpAfterManyRestarts, UsesAThreeDigitPhyAndAWdevPast0xffWhole) {
    board_world::options opts;
    opts.phy = 100;
    opts.first_wdev = 0xff;  // wlan0; the added nan0 takes 0x100
    board.start_daemon(world_with(opts));
    wait_published();

    const std::vector<uint8_t> record =
        record_of(srvc_ext_size, {{7, {1}}, {10, {1}}, {11, text_bytes("secret123")}, {76, {9}}});
    lines expected = phy_found("100");
    append(expected, init_step("100"));
    append(expected, wdev_found("0x100"));
    append(expected, start_step(false, "0x100"));
    append(expected, srvc_ext_step("data_path sec_password secret123", record));
    append(expected, add_func_step("nancam", false, "0x100"));
    EXPECT_EQ(bringup_lines(board.stdout_lines()), expected);
    EXPECT_EQ(board.stderr_lines(), lines{});

    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    ASSERT_EQ(driver.interfaces.size(), 2u);
    EXPECT_EQ(driver.interfaces[1].wdev, 0x100u);
    EXPECT_TRUE(driver.nan_started);
    EXPECT_EQ(driver.functions.size(), 1u);
}

// ---- failures: each ends bring-up and the daemon, with status 0 ----

using BringUpFails = bringup_test;

TEST_F(BringUpFails, NoWifiDevice) {
    board_world::options opts;
    opts.phy = -1;
    board.start_daemon(world_with(opts));
    expect_bringup_failure({"Command executed successfully!", "Phy number output: []",
                            "No phy number found (command returned empty)!",
                            "Failed to get phy!", bringup_failed});
    EXPECT_EQ(board.stderr_lines(), lines{});
    size_t event_streams = 0;
    EXPECT_EQ(calls(&event_streams), (lines{"fw_printenv -n vemuparam", "iw dev"}));
    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    EXPECT_TRUE(driver.interfaces.empty());
}

TEST_F(BringUpFails, InitFailingThreeTimesNeverLooksForTheWdev) {
    board.start_daemon(world_failing("iw phy0 interface add nan0 type __nan"));
    lines expected = phy_found(healthy_phy);
    append(expected, init_step(healthy_phy, true));
    append(expected, {"Failed to init NAN!", bringup_failed});
    expect_bringup_failure(expected);
    EXPECT_EQ(normalised(board.stderr_lines()),
              lines{"[TID] Error: Executing command failed (exit code: 1, retries: 3)!"});
    size_t event_streams = 0;
    // The phy query and the look for a leftover interface only: get_wdev never ran.
    EXPECT_EQ(calls(&event_streams),
              (lines{"fw_printenv -n vemuparam", "iw dev", "iw dev", init_command(healthy_phy),
                     init_command(healthy_phy), init_command(healthy_phy)}));
}

TEST_F(BringUpFails, StartFailingStopsBeforeTheInterfaceGoesUp) {
    board.start_daemon(world_failing("iw wdev 0x2 nan start *"));
    lines expected = phy_found(healthy_phy);
    append(expected, init_step(healthy_phy));
    append(expected, wdev_found(healthy_wdev));
    append(expected, start_step(true));
    append(expected, {"Failed to start NAN!", bringup_failed});
    expect_bringup_failure(expected);
    EXPECT_EQ(normalised(board.stderr_lines()),
              lines{"[TID] Error: Executing command failed (exit code: 1, retries: 3)!"});
    size_t event_streams = 0;
    const lines made = calls(&event_streams);
    EXPECT_EQ(std::count(made.begin(), made.end(), start_command()), 3);
    EXPECT_EQ(std::count(made.begin(), made.end(), "ifconfig nan0 up"), 0);
}

TEST_F(BringUpFails, SrvcExtSendFailingLeavesNoFile) {
    board.start_daemon(world_failing("iw nan0 vendor send *"));
    const std::vector<uint8_t> record =
        record_of(srvc_ext_size, {{7, {1}}, {10, {1}}, {11, text_bytes("secret123")}, {76, {9}}});
    lines expected = phy_found(healthy_phy);
    append(expected, init_step(healthy_phy));
    append(expected, wdev_found(healthy_wdev));
    append(expected, start_step());
    append(expected, srvc_ext_step("data_path sec_password secret123", record, true));
    append(expected, {"Failed to srvc_ext NAN!", bringup_failed});
    expect_bringup_failure(expected);
    EXPECT_EQ(normalised(board.stderr_lines()),
              (lines{"[TID] Error: iw command failed (exit code: 1, retries: 3)!",
                     "Error: Failed to send srvc_ext data via vendor command!"}));
    EXPECT_TRUE(board_world::read_vendor_records(board.state_dir()).empty());
    EXPECT_EQ(tmp_entries(board.state_dir()), lines{});
    size_t event_streams = 0;
    const lines made = calls(&event_streams);
    EXPECT_EQ(std::count(made.begin(), made.end(), vendor_command()), 3);
}

TEST_F(BringUpFails, AddFuncFailing) {
    board.start_daemon(world_failing("iw wdev 0x2 nan add_func *"));
    const std::vector<uint8_t> record =
        record_of(srvc_ext_size, {{7, {1}}, {10, {1}}, {11, text_bytes("secret123")}, {76, {9}}});
    lines expected = phy_found(healthy_phy);
    append(expected, init_step(healthy_phy));
    append(expected, wdev_found(healthy_wdev));
    append(expected, start_step());
    append(expected, srvc_ext_step("data_path sec_password secret123", record));
    append(expected, add_func_step("nancam", true));
    append(expected, {"Failed to add_func NAN!", bringup_failed});
    expect_bringup_failure(expected);
    EXPECT_EQ(normalised(board.stderr_lines()),
              lines{"[TID] Error: Executing command failed (exit code: 1, retries: 3)!"});
    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    EXPECT_TRUE(driver.functions.empty());
}

// ---- a daemon started again on the same board ----

using BringUpAgain = bringup_test;

constexpr size_t stream_payload = 4096;
const payload_plan again_plan{.seed = 9, .derived_length = false, .fixed_length = stream_payload};

// A client of the daemon that gets video: connected, and three payloads arrived. The reader
// is declared after the socket it reads, so it stops first.
struct streaming_client {
    unique_fd socket;
    std::unique_ptr<client_reader> reader;

    bool connect(board_fixture& board, board_process& daemon) {
        socket = connect_when_listening(daemon.pid(), client_family::ipv4, e2e_deadline);
        if (!socket.valid()) return false;
        reader = std::make_unique<client_reader>(socket.get());
        board.source().start_stream({.frames_per_second = lane_rate(90), .plan = again_plan});
        return reader->wait_for_size(3 * stream_payload, e2e_deadline);
    }
};

// Killed without its cleanup, a daemon leaves nan0 in the driver. Started again by hand (no
// service file deletes it first), the next one deletes it, makes its own and streams.
TEST_F(BringUpAgain, AfterAKillTheNextDaemonDeletesTheLeftoverInterfaceAndStreams) {
    board.start_daemon();
    wait_published();
    board.daemon().signal(SIGKILL);
    ASSERT_TRUE(board.daemon().wait_ended(e2e_deadline));

    board_process& again = board.start_another_daemon();
    wait_published();
    const std::vector<uint8_t> record =
        record_of(srvc_ext_size, {{7, {1}}, {10, {1}}, {11, text_bytes("secret123")}, {76, {9}}});
    lines expected = phy_found(healthy_phy);
    expected.push_back("Deleting the NAN interface (wdev 0x2) left by an earlier run.");
    append(expected, init_step(healthy_phy));
    append(expected, wdev_found("0x3"));
    append(expected, start_step(false, "0x3"));
    append(expected, srvc_ext_step("data_path sec_password secret123", record));
    append(expected, add_func_step("nancam", false, "0x3"));
    EXPECT_EQ(bringup_lines(board.stdout_lines()), expected);
    EXPECT_EQ(board.stderr_lines(), lines{});

    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    ASSERT_EQ(driver.interfaces.size(), 2u);
    EXPECT_EQ(driver.interfaces[1].name, "nan0");
    EXPECT_EQ(driver.interfaces[1].wdev, 3u);
    EXPECT_TRUE(driver.nan_started);
    EXPECT_EQ(driver.functions.size(), 1u);

    streaming_client client;
    EXPECT_TRUE(client.connect(board, again)) << strerror(errno);
    board.source().stop_stream();
}

// A second daemon beside a running one ends at once with one line, before the bus, the port or
// NAN: the first keeps its interface, its published service and its client's video.
TEST_F(BringUpAgain, ASecondDaemonBesideARunningOneEndsAtOnceAndTheFirstGoesOn) {
    board_process& first = board.start_daemon();
    wait_published();
    streaming_client client;
    ASSERT_TRUE(client.connect(board, first)) << strerror(errno);
    const size_t calls_before = board_world::read_call_lines(board.state_dir()).size();

    board_process& second = board.start_another_daemon();
    const std::optional<int> status = second.wait_exit(e2e_deadline);
    ASSERT_TRUE(status) << "the second daemon did not end";
    ASSERT_TRUE(WIFEXITED(*status)) << describe_wait_status(*status);
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_EQ(second.lines(output_stream::out),
              lines{"nanvideod is already running (pid " + std::to_string(first.pid()) +
                    ", lock /run/nanvideod.lock): this one ends."});
    EXPECT_EQ(second.lines(output_stream::err), lines{});
    EXPECT_EQ(board_world::read_call_lines(board.state_dir()).size(), calls_before);

    EXPECT_TRUE(first.running());
    board_world::driver_view driver;
    ASSERT_EQ(board_world::read_driver(board.state_dir(), &driver), 0);
    ASSERT_EQ(driver.interfaces.size(), 2u);
    EXPECT_EQ(driver.interfaces[1].name, "nan0");
    EXPECT_TRUE(driver.nan_started);
    EXPECT_EQ(driver.functions.size(), 1u);
    EXPECT_TRUE(client.reader->wait_for_size(client.reader->size() + 3 * stream_payload,
                                             e2e_deadline));
    board.source().stop_stream();
}

}  // namespace
