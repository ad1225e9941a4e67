// `iw event -t -f` as the daemon's listener reads it: both real forms of vendor events, the
// payload layouts, unrelated lines, and a stream that ends only when iw does.
#include <regex>

#include "board_fixture.hpp"
#include "event_log.hpp"

namespace wifisim_test {
namespace {

const std::vector<unsigned char> peer = {0xaa, 0xbb, 0xcc, 0x01, 0x02, 0x03};
const std::vector<unsigned char> own = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};

std::vector<unsigned char> bytes_at(const std::vector<unsigned char>& payload, size_t offset,
                                    size_t count) {
    if (offset + count > payload.size()) return {};
    return std::vector<unsigned char>(payload.begin() + static_cast<long>(offset),
                                      payload.begin() + static_cast<long>(offset + count));
}

// "vendor event: " and 16 pairs, each followed by a blank.
bool is_full_data_line(const std::string& line) {
    static const std::regex data("vendor event: ([0-9a-f]{2} ){16}");
    return std::regex_match(line, data);
}

const std::regex timestamp_prefix("[0-9]+\\.[0-9]{6}: ");

bool starts_with_timestamp(const std::string& line, std::string* rest) {
    std::smatch m;
    if (!std::regex_search(line, m, timestamp_prefix, std::regex_constants::match_continuous))
        return false;
    *rest = m.suffix();
    return true;
}

using EventStream = BoardTest;

TEST_F(EventStream, OlderFormHeaderAloneThenDataLinesThenOneEmptyLine) {
    event_stream stream("event -t -f");
    ASSERT_EQ(board_world::inject_peer_request(state, "AA:BB:CC:01:02:03", 5), 0);
    const std::vector<std::string> lines = stream.lines(1 + 18 + 1);
    ASSERT_EQ(lines.size(), 20u) << stream.text();
    std::string rest;
    ASSERT_TRUE(starts_with_timestamp(lines[0], &rest)) << lines[0];
    EXPECT_EQ(rest, "nan0 (phy #0): vendor event 00e04c:2");
    for (size_t i = 1; i <= 18; ++i) EXPECT_TRUE(is_full_data_line(lines[i])) << lines[i];
    EXPECT_EQ(lines[19], "");

    const std::vector<decoded_event> events = decode_vendor_events(lines);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].subcmd, 2);
    const std::vector<unsigned char>& p = events[0].payload;
    ASSERT_EQ(p.size(), 288u);
    EXPECT_GE(p.size(), wifisim::request_min_payload);
    EXPECT_EQ(p[2], 5) << "data-path id";
    EXPECT_EQ(bytes_at(p, 4, 6), peer);
    EXPECT_EQ(bytes_at(p, 10, 6), own) << "responder: the board's NAN interface";
    EXPECT_EQ(lines[1], "vendor event: 00 00 05 00 aa bb cc 01 02 03 02 00 00 00 01 00 ");
    EXPECT_TRUE(stream.running()) << "the stream goes on after the event";
}

TEST_F(EventStream, NewerFormHeaderJoinedWithFirstDataLineThenTwoEmptyLines) {
    board_world::options opts;
    opts.form = board_world::event_form::newer;
    repopulate(opts);
    event_stream stream("event -t -f");
    ASSERT_EQ(board_world::inject_peer_request(state, "aa:bb:cc:01:02:03", 200), 0);
    const std::vector<std::string> lines = stream.lines(18 + 2);
    ASSERT_EQ(lines.size(), 20u) << stream.text();
    std::string rest;
    ASSERT_TRUE(starts_with_timestamp(lines[0], &rest));
    EXPECT_EQ(rest, "nan0 (phy #0): vendor event 00e04c:2"
                    "vendor event: 00 00 c8 00 aa bb cc 01 02 03 02 00 00 00 01 00 ");
    for (size_t i = 1; i < 18; ++i) EXPECT_TRUE(is_full_data_line(lines[i])) << lines[i];
    EXPECT_EQ(lines[18], "");
    EXPECT_EQ(lines[19], "");
    const std::vector<decoded_event> events = decode_vendor_events(lines);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].payload.size(), 288u);
    EXPECT_EQ(events[0].payload[2], 200);
}

TEST_F(EventStream, BothFormsMixWithUnrelatedEventsOnOneStream) {
    event_stream stream("event -t -f");
    board_world::event_options newer;
    newer.form = board_world::event_form::newer;
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::scan_started), 0);
    ASSERT_EQ(board_world::inject_termination(state, "aa:bb:cc:01:02:03", 3, newer), 0);
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::new_station,
                                              "02:11:22:33:44:55"), 0);
    ASSERT_EQ(board_world::inject_termination(state, "aa:bb:cc:01:02:03", 7), 0);
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::del_station,
                                              "02:11:22:33:44:55"), 0);
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::scan_finished), 0);
    ASSERT_EQ(board_world::inject_raw_line(state, "some text without prefix"), 0);

    const std::vector<std::string> lines = stream.lines(11);
    ASSERT_EQ(lines.size(), 11u) << stream.text();
    std::vector<std::string> without_time;
    for (const std::string& line : lines) {
        std::string rest;
        without_time.push_back(starts_with_timestamp(line, &rest) ? rest : "(no time) " + line);
    }
    const std::vector<std::string> expected = {
        "wlan0 (phy #0): scan started",
        "nan0 (phy #0): vendor event 00e04c:1"
        "vendor event: 00 03 00 00 00 aa bb cc 01 02 03 00 00 00 00 00 ",
        "(no time) ",
        "(no time) ",
        "wlan0 (phy #0): new station 02:11:22:33:44:55",
        "nan0 (phy #0): vendor event 00e04c:1",
        "(no time) vendor event: 00 07 00 00 00 aa bb cc 01 02 03 00 00 00 00 00 ",
        "(no time) ",
        "wlan0 (phy #0): del station 02:11:22:33:44:55",
        "wlan0 (phy #0): scan finished: 2412 2437 2462, \"\"",
        "(no time) some text without prefix",
    };
    EXPECT_EQ(without_time, expected);

    const std::vector<decoded_event> events = decode_vendor_events(lines);
    ASSERT_EQ(events.size(), 2u);
    for (const decoded_event& e : events) {
        EXPECT_EQ(e.subcmd, 1);
        EXPECT_GE(e.payload.size(), wifisim::termination_min_payload);
        EXPECT_EQ(bytes_at(e.payload, 5, 6), peer);
    }
    EXPECT_EQ(events[0].payload[1], 3) << "reason code";
    EXPECT_EQ(events[1].payload[1], 7);
}

TEST_F(EventStream, SuccessAndTruncatedPayloadsFollowTheLayout) {
    event_stream stream("event -t -f");
    ASSERT_EQ(board_world::inject_connection_success(state, "aa:bb:cc:01:02:03", 4), 0);
    board_world::event_options short_one;
    short_one.payload_length = 280;
    ASSERT_EQ(board_world::inject_peer_request(state, "aa:bb:cc:01:02:03", 9, short_one), 0);
    ASSERT_EQ(board_world::inject_vendor_event(state, 7, {1, 2, 3}), 0);
    const std::vector<std::string> lines = stream.lines(20 + 20 + 3);
    const std::vector<decoded_event> events = decode_vendor_events(lines);
    ASSERT_EQ(events.size(), 3u) << stream.text();
    EXPECT_EQ(events[0].subcmd, 0);
    EXPECT_GE(events[0].payload.size(), wifisim::success_min_payload);
    EXPECT_EQ(events[0].payload[1], 4) << "status";
    EXPECT_EQ(bytes_at(events[0].payload, 5, 6), peer);
    EXPECT_EQ(bytes_at(events[0].payload, 11, 6), own);
    EXPECT_EQ(events[1].payload.size(), 280u) << "one byte short of a request";
    EXPECT_EQ(events[2].subcmd, 7);
    EXPECT_EQ(events[2].payload, (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(lines.back(), "");
}

TEST_F(EventStream, EarlierEventsArePrintedAndTheStreamEndsOnlyWhenKilled) {
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::scan_started), 0);
    event_stream stream("event -t -f");
    EXPECT_EQ(stream.lines(1).size(), 1u) << "events from before the stream started";
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::scan_aborted), 0);
    EXPECT_EQ(stream.lines(2).size(), 2u);
    EXPECT_TRUE(stream.running());
    const int status = stream.stop();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    EXPECT_EQ(board_world::read_call_lines(state, "iw"),
              std::vector<std::string>{"iw event -t -f"});
}

TEST_F(EventStream, WithoutTimestampsOrDataTheLinesAreShorter) {
    event_stream stream("event");
    ASSERT_EQ(board_world::inject_peer_request(state, "aa:bb:cc:01:02:03", 1), 0);
    ASSERT_EQ(board_world::inject_other_event(state, board_world::other_event::scan_started), 0);
    EXPECT_EQ(stream.lines(2), (std::vector<std::string>{"nan0 (phy #0): vendor event 00e04c:2",
                                                         "wlan0 (phy #0): scan started"}));
}

TEST_F(EventStream, ClearedEventsAreNotPrintedToLaterStreamsAndAGoneReaderEndsTheStream) {
    event_stream stream("event -f");
    ASSERT_EQ(board_world::inject_raw_line(state, "first"), 0);
    ASSERT_EQ(stream.lines(1).size(), 1u);
    ASSERT_EQ(board_world::clear_events(state), 0);
    ASSERT_EQ(board_world::inject_raw_line(state, "second"), 0);
    EXPECT_EQ(stream.lines(2), (std::vector<std::string>{"first", "second"}));
    event_stream later("event -f");
    EXPECT_EQ(later.lines(1), std::vector<std::string>{"second"});
    stream.close_output();
    ASSERT_EQ(board_world::inject_raw_line(state, "nobody reads this"), 0);
    const int status = stream.wait_end();
    EXPECT_TRUE(WIFEXITED(status) || WIFSIGNALED(status));
}

TEST_F(EventStream, InjectionsRejectWhatTheyCannotPrint) {
    EXPECT_EQ(board_world::inject_peer_request(state, "aa:bb:cc:01:02", 1), -1);
    EXPECT_EQ(board_world::inject_termination(state, "aa-bb-cc-01-02-03", 1), -1);
    EXPECT_EQ(board_world::inject_raw_line(state, "two\nlines"), -1);
    EXPECT_EQ(read_text(path("wifi/events")), "");
}

}  // namespace
}  // namespace wifisim_test
