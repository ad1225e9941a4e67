// A NAN peer seen from outside: the driver prints its vendor events through the board's `iw
// event`, the daemon decodes them, keeps its peer table and accepts every data-path request on
// its own with a data_rsp record that the driver receives byte for byte.
#include <dirent.h>
#include <sys/types.h>

#include <csignal>
#include <fstream>
#include <sstream>
#include <thread>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "daemon_children.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"

namespace {

using namespace std::chrono_literals;

constexpr unsigned data_rsp_subcmd = 0x1902;
constexpr unsigned driver_vendor_id = 0xe04c;
constexpr size_t data_rsp_size = 284;
constexpr size_t bytes_per_data_line = 16;
constexpr size_t request_payload = 288;  // the driver's usual request: 18 data lines
constexpr const char* responder_mac = "02:00:00:00:01:00";  // the board's nan0
constexpr int stale_limit_ms = 5000;

const std::string bringup_end = "=== add_func custom logic execution completed ===";
const std::string batch_end = "=== All commands execution completed ===";
const std::string decision_start = "[nan_connection_decision] Start processing connection decisions...";
const std::string listener_start =
    "[nan_event_listener] Start monitoring NAN events (blocking when no data)...";

// The dispatcher's last line after a keyword without shell commands.
const std::string keyword_end = "No commands to execute!";

// What the listener prints for every line it forwards: it comes from another thread and
// interleaves freely with the decision thread's lines.
bool is_listener_line(const std::string& line) {
    return line.rfind("[nan_event_listener] Raw event: ", 0) == 0;
}

// Thread ids and temporary file names differ from run to run.
std::string normalised(const std::string& line) {
    static const std::regex thread_id(R"(^\[[0-9]+\] )");
    static const std::regex temp_file(R"(/tmp/nan_vendor_data_[A-Za-z0-9]{6})");
    return std::regex_replace(std::regex_replace(line, thread_id, "[TID] "), temp_file,
                              "/tmp/nan_vendor_data_XXXXXX");
}

std::vector<uint8_t> accept_record(unsigned ndp_id) {
    std::vector<uint8_t> record(data_rsp_size, 0);
    record[1] = 2;  // ndl_rsp accept
    record[2] = static_cast<uint8_t>(ndp_id);
    return record;
}

std::string hex_line(const std::vector<uint8_t>& bytes) {
    std::string text;
    char pair[4];
    for (uint8_t b : bytes) {
        snprintf(pair, sizeof pair, "%.2x ", b);
        text += pair;
    }
    return text;
}

std::vector<std::string> request_lines(const std::string& mac, unsigned ndp_id) {
    const std::string id = std::to_string(ndp_id);
    return {
        std::string("[try_parse] connection_request responder - MAC: ") + responder_mac,
        "[try_parse] Parsed - MAC: " + mac + ", Type: connection_request, Status: 0, NDP ID: " + id,
        "[nan_connection_decision] Parsed request - MAC: " + mac +
            ", Type: connection_request, Status: 0",
    };
}

std::vector<std::string> accept_lines(const std::string& mac, unsigned ndp_id) {
    return {
        "[decision] MAC " + mac + " is allowed, accepting connection",
        "",
        "=== Executing data_rsp custom logic ===",
        "Original parameters: rsp_mode peer ndl_rsp accept data_path_id " + std::to_string(ndp_id),
        "Sending data_rsp data (struct size: 284 bytes)",
        "",
        hex_line(accept_record(ndp_id)),
        "[TID] Executing iw command (retry 1): iw nan0 vendor send 0xe04c 0x1902 "
        "/tmp/nan_vendor_data_XXXXXX",
        "[TID] Success: Sent 284 bytes (vendor_id: 0xe04c, subcmd: 0x1902)",
        "=== data_rsp custom logic execution completed successfully ===",
        keyword_end,
    };
}

std::vector<std::string> success_lines(const std::string& mac, bool known) {
    std::vector<std::string> lines = {
        std::string("[try_parse] connection_success responder - MAC: ") + responder_mac,
        "[try_parse] Parsed - MAC: " + mac + ", Type: connection_success, Status: 0, NDP ID: 0",
        "[nan_connection_decision] Parsed request - MAC: " + mac +
            ", Type: connection_success, Status: 0",
    };
    if (known) lines.push_back("[decision] Updated connection status to SUCCESS for MAC: " + mac +
                               " (Status: 0)");
    lines.push_back("[decision] Successfully established connection with " + mac + " (Status: 0)");
    return lines;
}

const std::string older_header_request =
    "[parse_nan_event] Handle normal format event start, current_vendor_type: 2";
const std::string older_header_success =
    "[parse_nan_event] Handle normal format event start, current_vendor_type: 0";
const std::string older_header_termination =
    "[parse_nan_event] Handle normal format event start, current_vendor_type: 1";

const std::string last_confirm_shortfall =
    "[try_parse] Insufficient data for CONFIRM (need 273, got 272)";

std::string added_line(const std::string& mac, const char* type, int index) {
    return "[decision] Added new connection record for MAC: " + mac + ", Type: " + type +
           ", at index " + std::to_string(index);
}

std::string success_line(const std::string& mac) {
    return "[decision] Successfully established connection with " + mac + " (Status: 0)";
}

std::string insufficient(const char* word, size_t need, size_t got) {
    return "[try_parse] Insufficient data for " + std::string(word) + " (need " +
           std::to_string(need) + ", got " + std::to_string(got) + ")";
}

// The insufficient-data lines of a payload that arrives 16 bytes a line and decodes on the line
// that reaches `need`.
std::vector<std::string> growing_payload_lines(const char* word, size_t need, size_t total) {
    std::vector<std::string> lines;
    for (size_t got = bytes_per_data_line; got < total && got < need; got += bytes_per_data_line)
        lines.push_back(insufficient(word, need, got));
    return lines;
}

void append(std::vector<std::string>& to, const std::vector<std::string>& lines) {
    to.insert(to.end(), lines.begin(), lines.end());
}

// A request payload as the driver builds it: data-path id at byte 2, the peer at 4..9, the
// board's own NAN address (the responder) at 10..15.
std::vector<uint8_t> request_payload_bytes(const uint8_t (&peer)[6], uint8_t ndp_id) {
    static const uint8_t responder[6] = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    std::vector<uint8_t> payload(request_payload, 0);
    payload[2] = ndp_id;
    for (size_t i = 0; i < 6; ++i) {
        payload[4 + i] = peer[i];
        payload[10 + i] = responder[i];
    }
    return payload;
}

// A data line as iw prints it: "vendor event: " and "%02x " per byte.
std::string data_line(const std::vector<uint8_t>& bytes, size_t from, size_t count,
                      bool upper_case) {
    std::string text = "vendor event: ";
    char pair[4];
    for (size_t i = from; i < from + count && i < bytes.size(); ++i) {
        snprintf(pair, sizeof pair, upper_case ? "%02X " : "%02x ", bytes[i]);
        text += pair;
    }
    return text;
}

class nan_peer_test : public board_test {
protected:
    // Starts the daemon on a healthy board and waits until bring-up has ended; lines from then
    // on are the event module's.
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(listener_start));
        ASSERT_TRUE(board.wait_stdout(decision_start));
        const std::optional<size_t> add_func = board.wait_stdout(bringup_end);
        ASSERT_TRUE(add_func);
        const std::optional<size_t> done = board.wait_stdout(batch_end, *add_func);
        ASSERT_TRUE(done);
        // The batch's closing line carries an empty line after it.
        ASSERT_TRUE(board.daemon().wait_for(
            output_stream::out, [](const std::string&) { return true; }, *done + 1,
            e2e_deadline));
        mark_ = *done + 2;
        err_mark_ = board.stderr_lines().size();
    }

    const std::string& state() const { return board.state_dir(); }

    // Waits for an exact line at or after the mark.
    void wait_line(const std::string& line) {
        ASSERT_TRUE(board.wait_stdout(line, mark_)) << "no line: " << line;
    }

    // Waits for an exact standard-error line at or after the mark: standard error is a pipe of
    // its own and may lag behind standard output.
    void wait_error_line(const std::string& line) {
        ASSERT_TRUE(board.wait_stderr(line, err_mark_)) << "no error line: " << line;
    }

    // The decision thread's lines since the mark (the listener's own lines left out), with
    // thread ids and temporary file names masked.
    std::vector<std::string> decision_lines() const {
        std::vector<std::string> lines;
        const std::vector<std::string> all = board.stdout_lines();
        for (size_t i = mark_; i < all.size(); ++i)
            if (!is_listener_line(all[i])) lines.push_back(normalised(all[i]));
        return lines;
    }

    std::vector<std::string> new_stderr() const {
        const std::vector<std::string> all = board.stderr_lines();
        return std::vector<std::string>(all.begin() + static_cast<long>(err_mark_), all.end());
    }

    // From now on only later lines count.
    void move_mark() {
        mark_ = board.stdout_lines().size();
        err_mark_ = board.stderr_lines().size();
    }

    std::vector<board_world::vendor_record> data_rsp_records() const {
        std::vector<board_world::vendor_record> records;
        for (const board_world::vendor_record& r : board_world::read_vendor_records(state()))
            if (r.subcmd == data_rsp_subcmd) records.push_back(r);
        return records;
    }

    std::vector<std::string> leftover_temp_files() const {
        std::vector<std::string> names;
        DIR* dir = opendir((state() + "/tmp").c_str());
        if (dir == nullptr) return names;
        while (const dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name.rfind("nan_vendor_data_", 0) == 0) names.push_back(name);
        }
        closedir(dir);
        return names;
    }

    std::string driver_peer_state(const std::string& mac, unsigned ndp_id) const {
        board_world::driver_view driver;
        if (board_world::read_driver(state(), &driver) != 0) return "unreadable";
        for (const wifisim::peer_entry& peer : driver.peers)
            if (peer.mac == mac && peer.ndp_id == ndp_id) return peer.state;
        return "absent";
    }

    // A peer that the daemon has never heard from asks for a data path and gets connected.
    void connect_peer(const std::string& mac, unsigned ndp_id) {
        ASSERT_EQ(board_world::inject_peer_request(state(), mac, ndp_id), 0);
        wait_line(success_line(mac));
        wait_error_line(last_confirm_shortfall);
    }

    size_t mark_ = 0;
    size_t err_mark_ = 0;
};

// ---- a peer asks for a data path ----

using NanPeerRequest = nan_peer_test;

TEST_F(NanPeerRequest, IsAcceptedWithADataRspRecordAndTheDriverConnectsThePeer) {
    start();
    const std::string peer = "02:aa:bb:cc:dd:01";
    ASSERT_EQ(board_world::inject_peer_request(state(), peer, 5), 0);
    wait_line(success_line(peer));
    wait_error_line(last_confirm_shortfall);

    std::vector<std::string> expected = {older_header_request};
    append(expected, request_lines(peer, 5));
    expected.push_back(added_line(peer, "connection_request", 0));
    append(expected, accept_lines(peer, 5));
    expected.push_back(older_header_success);
    append(expected, success_lines(peer, true));
    EXPECT_EQ(decision_lines(), expected);

    std::vector<std::string> errors = growing_payload_lines("INDICATION", 281, request_payload);
    append(errors, growing_payload_lines("CONFIRM", 273, request_payload));
    EXPECT_EQ(new_stderr(), errors);

    // The driver got exactly one data_rsp: 284 bytes, 00 02 05 and zeros after.
    const std::vector<board_world::vendor_record> records = data_rsp_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].vendor_id, driver_vendor_id);
    EXPECT_EQ(records[0].verdict, "ok");
    EXPECT_EQ(records[0].bytes, accept_record(5));
    EXPECT_EQ(driver_peer_state(peer, 5), "connected");

    // The iw command named the file the record was in; no file outlived the send.
    const std::vector<std::string> sends =
        board_world::read_call_lines(state(), "iw");
    size_t data_rsp_sends = 0;
    for (const std::string& line : sends)
        if (normalised(line) == "iw nan0 vendor send 0xe04c 0x1902 /tmp/nan_vendor_data_XXXXXX")
            ++data_rsp_sends;
    EXPECT_EQ(data_rsp_sends, 1u);
    EXPECT_TRUE(leftover_temp_files().empty());
}

// The daemon's running `iw event -t -f` child; -1 when none runs.
pid_t iw_event_child_of(pid_t daemon) {
    const std::vector<pid_t> children = daemon_children::iw_event_children(daemon);
    return children.empty() ? -1 : children.back();
}

TEST_F(NanPeerRequest, IsAnsweredAfterIwEventWasKilledAndStartedAgain) {
    start();
    pid_t child = -1;
    const auto deadline = std::chrono::steady_clock::now() + e2e_deadline;
    while ((child = iw_event_child_of(board.daemon().pid())) < 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_GT(child, 0);
    // The new stream prints only what comes after, as iw does.
    ASSERT_EQ(board_world::clear_events(state()), 0);
    ASSERT_EQ(kill(child, SIGKILL), 0);
    wait_line("[nan_event_listener] iw event stream closed, restarting in 1000 ms");

    const std::string peer = "02:aa:bb:cc:dd:31";
    ASSERT_EQ(board_world::inject_peer_request(state(), peer, 12), 0);
    wait_line(success_line(peer));
    const std::vector<board_world::vendor_record> records = data_rsp_records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes, accept_record(12));
    EXPECT_EQ(driver_peer_state(peer, 12), "connected");
}

TEST_F(NanPeerRequest, DecodesTheNewerLineFormWithHeaderAndDataJoined) {
    start({.world = [](const std::string& s) {
        board_world::set_event_form(s, board_world::event_form::newer);
    }});
    const std::string peer = "02:aa:bb:cc:dd:02";
    ASSERT_EQ(board_world::inject_peer_request(state(), peer, 9), 0);
    wait_line(success_line(peer));
    wait_error_line(last_confirm_shortfall);

    // The joined line starts the collection without the older form's header line.
    std::vector<std::string> expected = request_lines(peer, 9);
    expected.push_back(added_line(peer, "connection_request", 0));
    append(expected, accept_lines(peer, 9));
    append(expected, success_lines(peer, true));
    EXPECT_EQ(decision_lines(), expected);

    std::vector<std::string> errors = growing_payload_lines("INDICATION", 281, request_payload);
    append(errors, growing_payload_lines("CONFIRM", 273, request_payload));
    EXPECT_EQ(new_stderr(), errors);
    ASSERT_EQ(data_rsp_records().size(), 1u);
    EXPECT_EQ(data_rsp_records()[0].bytes, accept_record(9));

    // The raw lines really were the joined form.
    bool joined = false;
    for (const std::string& line : board.stdout_lines())
        joined = joined || (line.find("nan0 (phy #0): vendor event 00e04c:2vendor event: 00 00 09 "
                                      "00 02 aa bb cc dd 02 02 00 00 00 01 00 ") !=
                            std::string::npos);
    EXPECT_TRUE(joined);
}

TEST_F(NanPeerRequest, SplitOverEighteenDataLinesDecodesOnTheEighteenth) {
    start();
    // The request goes out line by line; after 17 data lines (272 bytes) nothing is decided.
    const std::vector<uint8_t> payload =
        request_payload_bytes({0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x03}, 7);
    const std::string peer = "02:aa:bb:cc:dd:03";

    ASSERT_EQ(board_world::inject_raw_line(state(), "nan0 (phy #0): vendor event 00e04c:2"), 0);
    for (size_t line = 0; line < 17; ++line)
        ASSERT_EQ(board_world::inject_raw_line(
                      state(), data_line(payload, line * bytes_per_data_line,
                                         bytes_per_data_line, false)),
                  0);
    ASSERT_NO_FATAL_FAILURE(wait_error_line(insufficient("INDICATION", 281, 272)));
    ASSERT_NO_FATAL_FAILURE(wait_line(older_header_request));
    EXPECT_EQ(new_stderr(), growing_payload_lines("INDICATION", 281, 288));
    EXPECT_EQ(decision_lines(), std::vector<std::string>{older_header_request});

    ASSERT_EQ(board_world::inject_raw_line(
                  state(), data_line(payload, 17 * bytes_per_data_line, bytes_per_data_line,
                                     false)),
              0);
    wait_line(keyword_end);
    std::vector<std::string> expected = {older_header_request};
    append(expected, request_lines(peer, 7));
    expected.push_back(added_line(peer, "connection_request", 0));
    append(expected, accept_lines(peer, 7));
    EXPECT_EQ(decision_lines(), expected);
    ASSERT_EQ(data_rsp_records().size(), 1u);
    EXPECT_EQ(data_rsp_records()[0].bytes, accept_record(7));

    // Nothing is pending any more: a further data line and an unrelated event are ignored
    // without a word; the next event the decision thread speaks about is a termination.
    move_mark();
    const std::string stranger = "02:aa:bb:cc:dd:04";
    ASSERT_EQ(board_world::inject_raw_line(state(), "vendor event: 01 02 03 "), 0);
    ASSERT_EQ(board_world::inject_other_event(state(), board_world::other_event::scan_started), 0);
    ASSERT_EQ(board_world::inject_termination(state(), stranger, 2), 0);
    wait_line("[decision] Connection terminated with " + stranger + " (Reason code: 2)");
    EXPECT_EQ(decision_lines(), (std::vector<std::string>{
                                    older_header_termination,
                                    "[try_parse] Parsed - MAC: " + stranger +
                                        ", Type: connection_termination, Status: 2, NDP ID: 0",
                                    "[nan_connection_decision] Parsed request - MAC: " + stranger +
                                        ", Type: connection_termination, Status: 2",
                                    added_line(stranger, "connection_termination", 1),
                                    "[decision] Connection terminated with " + stranger +
                                        " (Reason code: 2)",
                                }));
    EXPECT_TRUE(new_stderr().empty());
}

// ---- the peer table ----

using NanPeerTable = nan_peer_test;

TEST_F(NanPeerTable, RepeatedRequestWithUpperCaseMacUpdatesTheEntryAndIsAcceptedAgain) {
    start();
    const std::string peer = "02:aa:bb:cc:dd:0e";
    connect_peer(peer, 5);
    move_mark();

    // The board's API takes the MAC in upper case; the driver prints bytes, which the daemon
    // formats in lower case, so the entry is found again.
    ASSERT_EQ(board_world::inject_peer_request(state(), "02:AA:BB:CC:DD:0E", 6), 0);
    wait_line(success_line(peer));
    std::vector<std::string> expected = {older_header_request};
    append(expected, request_lines(peer, 6));
    expected.push_back("[decision] Updated connection request for MAC: " + peer + " (NDP ID: 6)");
    append(expected, accept_lines(peer, 6));
    expected.push_back(older_header_success);
    append(expected, success_lines(peer, true));
    EXPECT_EQ(decision_lines(), expected);

    // iw printing the hexadecimal digits in upper case changes nothing either.
    move_mark();
    const std::vector<uint8_t> payload =
        request_payload_bytes({0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x0e}, 7);
    ASSERT_EQ(board_world::inject_raw_line(state(), "nan0 (phy #0): vendor event 00e04c:2"), 0);
    for (size_t line = 0; line < request_payload / bytes_per_data_line; ++line)
        ASSERT_EQ(board_world::inject_raw_line(
                      state(), data_line(payload, line * bytes_per_data_line,
                                         bytes_per_data_line, true)),
                  0);
    wait_line(keyword_end);
    expected = {older_header_request};
    append(expected, request_lines(peer, 7));
    expected.push_back("[decision] Updated connection request for MAC: " + peer + " (NDP ID: 7)");
    append(expected, accept_lines(peer, 7));
    EXPECT_EQ(decision_lines(), expected);

    const std::vector<board_world::vendor_record> records = data_rsp_records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].bytes, accept_record(5));
    EXPECT_EQ(records[1].bytes, accept_record(6));
    EXPECT_EQ(records[2].bytes, accept_record(7));
}

TEST_F(NanPeerTable, SixPeersWrapToIndexZeroAndTheFirstComesBackAtIndexOne) {
    start();
    std::vector<std::string> peers;
    for (int i = 1; i <= 6; ++i) {
        char mac[18];
        snprintf(mac, sizeof mac, "02:11:22:33:44:%02x", i);
        peers.push_back(mac);
    }
    for (size_t i = 0; i < peers.size(); ++i) {
        move_mark();
        connect_peer(peers[i], static_cast<unsigned>(10 + i));
        std::vector<std::string> expected = {older_header_request};
        append(expected, request_lines(peers[i], static_cast<unsigned>(10 + i)));
        expected.push_back(added_line(peers[i], "connection_request", static_cast<int>(i % 5)));
        append(expected, accept_lines(peers[i], static_cast<unsigned>(10 + i)));
        expected.push_back(older_header_success);
        append(expected, success_lines(peers[i], true));
        EXPECT_EQ(decision_lines(), expected) << "peer " << i + 1;
    }

    // The sixth replaced the first: the first peer's success is a new record, at index 1.
    move_mark();
    ASSERT_EQ(board_world::inject_connection_success(state(), peers[0], 0), 0);
    wait_line(success_line(peers[0]));
    std::vector<std::string> expected = {older_header_success};
    append(expected, success_lines(peers[0], false));
    expected.insert(expected.end() - 1, added_line(peers[0], "connection_success", 1));
    EXPECT_EQ(decision_lines(), expected);

    const std::vector<board_world::vendor_record> records = data_rsp_records();
    ASSERT_EQ(records.size(), 6u);
    for (size_t i = 0; i < records.size(); ++i)
        EXPECT_EQ(records[i].bytes, accept_record(static_cast<unsigned>(10 + i)));
}

TEST_F(NanPeerTable, TerminationPrintsItsReasonInTheUpdateAndInTheFinalLine) {
    start();
    const std::string peer = "02:aa:bb:cc:dd:10";
    connect_peer(peer, 5);
    move_mark();

    ASSERT_EQ(board_world::inject_termination(state(), peer, 7), 0);
    wait_line("[decision] Connection terminated with " + peer + " (Reason code: 7)");
    EXPECT_EQ(decision_lines(), (std::vector<std::string>{
                                    older_header_termination,
                                    "[try_parse] Parsed - MAC: " + peer +
                                        ", Type: connection_termination, Status: 7, NDP ID: 0",
                                    "[nan_connection_decision] Parsed request - MAC: " + peer +
                                        ", Type: connection_termination, Status: 7",
                                    "[decision] Updated connection status to TERMINATED for MAC: " +
                                        peer + " (Reason: 7)",
                                    "[decision] Connection terminated with " + peer +
                                        " (Reason code: 7)",
                                }));
    // One data line of 16 bytes is enough: no insufficient-data line.
    EXPECT_TRUE(new_stderr().empty());

    // A peer never seen before is added for its termination, at the next slot.
    move_mark();
    const std::string stranger = "02:aa:bb:cc:dd:11";
    ASSERT_EQ(board_world::inject_termination(state(), stranger, 3,
                                              {.form = board_world::event_form::newer}),
              0);
    wait_line("[decision] Connection terminated with " + stranger + " (Reason code: 3)");
    EXPECT_EQ(decision_lines(), (std::vector<std::string>{
                                    "[try_parse] Parsed - MAC: " + stranger +
                                        ", Type: connection_termination, Status: 3, NDP ID: 0",
                                    "[nan_connection_decision] Parsed request - MAC: " + stranger +
                                        ", Type: connection_termination, Status: 3",
                                    added_line(stranger, "connection_termination", 1),
                                    "[decision] Connection terminated with " + stranger +
                                        " (Reason code: 3)",
                                }));
}

// ---- a payload that never completes ----

using NanPeerStale = nan_peer_test;

TEST_F(NanPeerStale, PartialPayloadIsDroppedAfterMoreThanFiveSecondsOfSilence) {
    start();
    // A dump cut off before its closing empty line: only the silence after it ends it.
    std::vector<uint8_t> partial(20, 0);
    partial[2] = 4;
    ASSERT_EQ(board_world::inject_raw_line(state(), "nan0 (phy #0): vendor event 00e04c:2"), 0);
    ASSERT_EQ(board_world::inject_raw_line(state(), data_line(partial, 0, 16, false)), 0);
    ASSERT_EQ(board_world::inject_raw_line(state(), data_line(partial, 16, 4, false)), 0);
    ASSERT_TRUE(board.wait_stderr(insufficient("INDICATION", 281, 20)));
    // The daemon stamped the collection before it printed this line, so measuring from here
    // gives at most the silence the daemon saw.
    const auto seen = std::chrono::steady_clock::now();

    const std::string cleaned = "[decision] Vendor data collection timeout, cleaned up pending fragments";
    wait_line(cleaned);
    const auto elapsed = std::chrono::steady_clock::now() - seen;
    const long elapsed_ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
    printf("stale collection dropped %ld ms after the partial payload was reported\n", elapsed_ms);
    EXPECT_GT(elapsed_ms, stale_limit_ms);
    wait_error_line("[parse_nan_event] Vendor data collection timeout (type: 2, len: 20)");

    EXPECT_EQ(new_stderr(), (std::vector<std::string>{
                                insufficient("INDICATION", 281, 16),
                                insufficient("INDICATION", 281, 20),
                                "[parse_nan_event] Vendor data collection timeout (type: 2, len: 20)",
                            }));
    EXPECT_EQ(decision_lines(), (std::vector<std::string>{older_header_request, cleaned}));

    // The collection is gone: the next request decodes from its own header.
    move_mark();
    const std::string peer = "02:aa:bb:cc:dd:20";
    connect_peer(peer, 5);
    std::vector<std::string> expected = {older_header_request};
    append(expected, request_lines(peer, 5));
    expected.push_back(added_line(peer, "connection_request", 0));
    append(expected, accept_lines(peer, 5));
    expected.push_back(older_header_success);
    append(expected, success_lines(peer, true));
    EXPECT_EQ(decision_lines(), expected);
}

// ---- what a broken driver or a hostile peer can put on the stream ----

struct hostile_events {
    const char* name;
    std::function<void(const std::string& state)> inject;
    std::vector<std::string> decision_lines;
    std::vector<std::string> error_lines;
};

void PrintTo(const hostile_events& c, std::ostream* os) { *os << c.name; }

const std::string broadcast = "ff:ff:ff:ff:ff:ff";

const hostile_events hostile_cases[] = {
    // A request cut short after 16 bytes, then another vendor's dump of 17 lines: its bytes must
    // not complete the request.
    {"AnotherVendorsDumpAfterATruncatedRequest",
     [](const std::string& s) {
         const std::vector<uint8_t> request =
             request_payload_bytes({0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0x40}, 8);
         ASSERT_EQ(board_world::inject_vendor_event(
                       s, 2, std::vector<uint8_t>(request.begin(), request.begin() + 16)),
                   0);
         board_world::event_options foreign;
         foreign.vendor_id = 0x0a0b0c;
         ASSERT_EQ(board_world::inject_vendor_event(
                       s, 5, std::vector<uint8_t>(request.begin() + 16, request.end()), foreign),
                   0);
     },
     {older_header_request, "[decision] Processed vendor data timeout for event: "},
     {insufficient("INDICATION", 281, 16),
      "[parse_nan_event] Vendor data collection timeout (type: 2, len: 16)"}},
    // Nothing but 0xff bytes: a request from the broadcast address.
    {"BroadcastPeer",
     [](const std::string& s) {
         const std::vector<uint8_t> all_ones(request_payload, 0xff);
         ASSERT_EQ(board_world::inject_vendor_event(s, 2, all_ones), 0);
     },
     {older_header_request, "[try_parse] connection_request responder - MAC: " + broadcast,
      "[try_parse] Parsed - MAC: " + broadcast +
          ", Type: connection_request, Status: 0, NDP ID: 255",
      "[nan_connection_decision] Parsed request - MAC: " + broadcast +
          ", Type: connection_request, Status: 0",
      "[decision] MAC " + broadcast + " is not a unicast peer address, refusing connection"},
     growing_payload_lines("INDICATION", 281, request_payload)},
};

class NanPeerHostile : public nan_peer_test,
                       public ::testing::WithParamInterface<hostile_events> {};

TEST_P(NanPeerHostile, NothingIsSentToTheDriverAndTheTableStaysFree) {
    const hostile_events& c = GetParam();
    start();
    ASSERT_NO_FATAL_FAILURE(c.inject(state()));
    // A termination after it shows that every line before it was handled, and takes slot 0.
    const std::string stranger = "02:aa:bb:cc:dd:41";
    ASSERT_EQ(board_world::inject_termination(state(), stranger, 2), 0);
    const std::string terminated = "[decision] Connection terminated with " + stranger +
                                   " (Reason code: 2)";
    wait_line(terminated);
    if (!c.error_lines.empty()) wait_error_line(c.error_lines.back());

    std::vector<std::string> expected = c.decision_lines;
    append(expected, {older_header_termination,
                      "[try_parse] Parsed - MAC: " + stranger +
                          ", Type: connection_termination, Status: 2, NDP ID: 0",
                      "[nan_connection_decision] Parsed request - MAC: " + stranger +
                          ", Type: connection_termination, Status: 2",
                      added_line(stranger, "connection_termination", 0), terminated});
    EXPECT_EQ(decision_lines(), expected);
    EXPECT_EQ(new_stderr(), c.error_lines);
    EXPECT_TRUE(data_rsp_records().empty());
}

INSTANTIATE_TEST_SUITE_P(Events, NanPeerHostile, ::testing::ValuesIn(hostile_cases),
                         [](const auto& test) { return std::string(test.param.name); });

// ---- several things at once ----

using NanPeerConcurrent = nan_peer_test;

// Each request is 20 lines, and the driver's success for the first peer (20 more) arrives while
// the decision thread is still sending the first acceptance: no line may be lost on the way, or
// the second peer is never answered.
TEST_F(NanPeerConcurrent, TwoPeersAtTheSameMomentAmongOtherEventsAreBothAccepted) {
    start();
    const std::string first = "02:aa:bb:cc:dd:31";
    const std::string second = "02:aa:bb:cc:dd:32";
    const std::string station = "02:55:66:77:88:99";
    using board_world::other_event;
    ASSERT_EQ(board_world::inject_other_event(state(), other_event::scan_started), 0);
    ASSERT_EQ(board_world::inject_peer_request(state(), first, 21), 0);
    ASSERT_EQ(board_world::inject_other_event(state(), other_event::new_station, station), 0);
    ASSERT_EQ(board_world::inject_peer_request(state(), second, 22), 0);
    ASSERT_EQ(board_world::inject_other_event(state(), other_event::scan_finished), 0);
    ASSERT_EQ(board_world::inject_other_event(state(), other_event::del_station, station), 0);

    ASSERT_NO_FATAL_FAILURE(wait_line(success_line(first)));
    ASSERT_NO_FATAL_FAILURE(wait_line(success_line(second)));

    std::vector<board_world::vendor_record> records = data_rsp_records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].bytes, accept_record(21));
    EXPECT_EQ(records[1].bytes, accept_record(22));
    EXPECT_EQ(driver_peer_state(first, 21), "connected");
    EXPECT_EQ(driver_peer_state(second, 22), "connected");

    const std::vector<std::string> lines = decision_lines();
    auto count = [&](const std::string& line) {
        return std::count(lines.begin(), lines.end(), line);
    };
    EXPECT_EQ(count(added_line(first, "connection_request", 0)), 1);
    EXPECT_EQ(count(added_line(second, "connection_request", 1)), 1);
    EXPECT_EQ(count("[decision] MAC " + first + " is allowed, accepting connection"), 1);
    EXPECT_EQ(count("[decision] MAC " + second + " is allowed, accepting connection"), 1);
    EXPECT_EQ(count("=== data_rsp custom logic execution completed successfully ==="), 2);
}

}  // namespace
