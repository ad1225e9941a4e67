#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "event_test_support.hpp"
#include "nan_event.hpp"

namespace {

using namespace event_test;

const mac_bytes peer_a{0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
const mac_bytes responder{0x02, 0x00, 0x00, 0x00, 0x01, 0x00};

std::string timeout_line(int type, int length) {
    return "[parse_nan_event] Vendor data collection timeout (type: " + std::to_string(type) +
           ", len: " + std::to_string(length) + ")\n";
}

std::string insufficient(const char* word, int need, int got) {
    return "[try_parse] Insufficient data for " + std::string(word) + " (need " +
           std::to_string(need) + ", got " + std::to_string(got) + ")\n";
}

class VendorEventParser : public testing::Test {
protected:
    // Feeds lines and returns each result; output is captured into out_ / err_.
    std::vector<int> feed(const std::vector<std::string>& lines) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::vector<int> results;
        for (const std::string& line : lines) {
            results.push_back(collector_->parse_nan_event(line.c_str(), &event_));
            if (results.back() == parse_decoded) decoded_ = event_;
        }
        out_ = testing::internal::GetCapturedStdout();
        err_ = testing::internal::GetCapturedStderr();
        return results;
    }
    int feed_one(const std::string& line) { return feed({line})[0]; }
    // The stale check alone, as the decision thread makes it when no line came.
    int idle_check() {
        testing::internal::CaptureStderr();
        int result = collector_->parse_nan_event(nullptr, &event_);
        err_ = testing::internal::GetCapturedStderr();
        return result;
    }

    // Ends the dump with its closing line and returns what the collector says of it: the
    // timeout line with the type and length of a pending collection, or "" when none was.
    std::string close_dump() {
        int result = feed_one("");
        EXPECT_EQ(result, err_.empty() ? parse_ignored : parse_stale);
        return err_;
    }

    stepped_clock clock_;
    std::unique_ptr<vendor_event_collector> collector_ =
        std::make_unique<vendor_event_collector>(clock_);
    connection_event event_{};
    connection_event decoded_{};  // the last record that decoded
    std::string out_;
    std::string err_;
};

// ---- the two real forms ----

TEST_F(VendorEventParser, OlderFormRequestOverEighteenDataLinesDecodesOnTheEighteenth) {
    std::vector<std::string> lines = older_event(2, request_payload(5, peer_a, responder));
    ASSERT_EQ(lines.size(), 20u);  // header, 18 data lines, the closing empty line

    std::vector<int> results = feed(lines);
    std::vector<int> expected{parse_pending};
    for (int i = 0; i < 17; ++i) expected.push_back(parse_pending);
    expected.push_back(parse_decoded);
    expected.push_back(parse_ignored);
    EXPECT_EQ(results, expected);

    std::string expected_err;
    for (int got = 16; got <= 272; got += 16) expected_err += insufficient("INDICATION", 281, got);
    EXPECT_EQ(err_, expected_err);
    EXPECT_EQ(out_,
              "[parse_nan_event] Handle normal format event start, current_vendor_type: 2\n"
              "[try_parse] connection_request responder - MAC: 02:00:00:00:01:00\n"
              "[try_parse] Parsed - MAC: 02:11:22:33:44:55, Type: connection_request, Status: 0, "
              "NDP ID: 5\n");

    // The decoded record (taken on the 18th data line) and the reset collection.
    EXPECT_STREQ(decoded_.mac, "02:11:22:33:44:55");
    EXPECT_STREQ(decoded_.type, "connection_request");
    EXPECT_EQ(decoded_.ndp_id, 5);
    EXPECT_EQ(decoded_.status, 0);

    // Nothing is pending any more (the closing line ended nothing), so a further data line is
    // not taken.
    EXPECT_EQ(feed_one(lines[1]), parse_ignored);
    EXPECT_EQ(out_ + err_, "");
}

TEST_F(VendorEventParser, NewerFormHeaderJoinedWithTheFirstDataLineThenTwoEmptyLines) {
    std::vector<std::string> lines = newer_event(2, request_payload(9, peer_a, responder));
    ASSERT_EQ(lines.size(), 20u);  // joined line, 17 data lines, two empty lines
    EXPECT_EQ(lines[0].substr(0, 81),
              "1712345678.123456: nan0 (phy #0): vendor event 00e04c:2vendor event: 80 81 09 83 ");

    std::vector<int> results = feed(lines);
    std::vector<int> expected(17, parse_pending);
    expected.push_back(parse_decoded);
    expected.push_back(parse_ignored);
    expected.push_back(parse_ignored);
    EXPECT_EQ(results, expected);

    std::string expected_err;
    for (int got = 16; got <= 272; got += 16) expected_err += insufficient("INDICATION", 281, got);
    EXPECT_EQ(err_, expected_err);
    // No header line: the joined form starts its collection silently.
    EXPECT_EQ(out_,
              "[try_parse] connection_request responder - MAC: 02:00:00:00:01:00\n"
              "[try_parse] Parsed - MAC: 02:11:22:33:44:55, Type: connection_request, Status: 0, "
              "NDP ID: 9\n");
}

TEST_F(VendorEventParser, SuccessAndTerminationInBothForms) {
    std::vector<int> results = feed(older_event(0, peer_payload(7, peer_a, responder, 273)));
    EXPECT_EQ(results[results.size() - 2], parse_decoded);
    EXPECT_EQ(out_,
              "[parse_nan_event] Handle normal format event start, current_vendor_type: 0\n"
              "[try_parse] connection_success responder - MAC: 02:00:00:00:01:00\n"
              "[try_parse] Parsed - MAC: 02:11:22:33:44:55, Type: connection_success, Status: 7, "
              "NDP ID: 0\n");

    // A termination fits on the joined line: 11 bytes decode at once, without a responder line.
    EXPECT_EQ(feed_one(newer_event(1, peer_payload(200, peer_a, responder, 11))[0]),
              parse_decoded);
    EXPECT_EQ(out_,
              "[try_parse] Parsed - MAC: 02:11:22:33:44:55, Type: connection_termination, "
              "Status: 200, NDP ID: 0\n");
    EXPECT_STREQ(event_.type, "connection_termination");
    EXPECT_EQ(event_.status, 200);
    EXPECT_EQ(event_.ndp_id, 0);

    // Ten bytes stay pending.
    EXPECT_EQ(feed_one(newer_event(1, peer_payload(3, peer_a, responder, 10))[0]), parse_pending);
    EXPECT_EQ(err_, insufficient("TERMINATION", 11, 10));
    EXPECT_EQ(close_dump(), timeout_line(1, 10));
}

TEST_F(VendorEventParser, OtherLinesOnTheStreamAreIgnored) {
    EXPECT_EQ(feed({"1712345678.1: wlan0 (phy #0): new station 02:aa:bb:cc:dd:ee",
                    "1712345678.2: wlan0 (phy #0): scan started", "", "vendor event: 00 01 02 ",
                    "1712345678.3: nan0 (phy #0): vendor event 001122:2"}),
              (std::vector<int>(5, parse_ignored)));
    EXPECT_EQ(out_ + err_, "");
    EXPECT_EQ(collector_->parse_nan_event(nullptr, &event_), parse_ignored);
}

// Whatever follows a dump on the stream ends it: the next vendor's bytes never complete it.
TEST_F(VendorEventParser, TheDumpsClosingLineAnotherVendorOrAnyOtherEventEndsTheCollection) {
    const std::string endings[] = {
        "",
        "1712345678.2: wlan0 (phy #0): scan started",
        "1712345678.3: nan0 (phy #0): vendor event 0a0b0c:5",
        "1712345678.3: nan0 (phy #0): vendor event 0a0b0c:5vendor event: 00 01 02 ",
    };
    const std::vector<std::string> dump = older_event(2, request_payload(1, peer_a, responder));
    for (const std::string& ending : endings) {
        SCOPED_TRACE(ending);
        EXPECT_EQ(feed({dump[0], dump[1], ending, dump[2]}),
                  (std::vector<int>{parse_pending, parse_pending, parse_stale, parse_ignored}));
        EXPECT_EQ(err_,
                  insufficient("INDICATION", 281, 16) +
                      "[parse_nan_event] Vendor data collection timeout (type: 2, len: 16)\n");
    }
    // A header whose dump never brought a byte ends the same way.
    EXPECT_EQ(feed({dump[0], ""}), (std::vector<int>{parse_pending, parse_stale}));
    EXPECT_EQ(err_, "[parse_nan_event] Vendor data collection timeout (type: 2, len: 0)\n");
}

// ---- lengths and bytes ----

TEST_F(VendorEventParser, MinimumPayloadLengthsDecodeAndOneByteLessDoesNot) {
    struct kind {
        int subcommand;
        const char* word;
        int minimum;
    };
    for (const kind& k : {kind{2, "INDICATION", 281}, kind{0, "CONFIRM", 273},
                          kind{1, "TERMINATION", 11}}) {
        SCOPED_TRACE(k.word);
        bytes payload = k.subcommand == 2
                            ? request_payload(1, peer_a, responder, k.minimum)
                            : peer_payload(1, peer_a, responder, static_cast<size_t>(k.minimum));

        bytes short_payload(payload.begin(), payload.end() - 1);
        std::vector<std::string> lines = older_event(k.subcommand, short_payload);
        lines.pop_back();  // still waiting: the dump's closing line has not come
        std::vector<int> results = feed(lines);
        EXPECT_EQ(results.back(), parse_pending);
        std::string last = insufficient(k.word, k.minimum, k.minimum - 1);
        ASSERT_GE(err_.size(), last.size());
        EXPECT_EQ(err_.substr(err_.size() - last.size()), last);
        EXPECT_EQ(close_dump(), timeout_line(k.subcommand, k.minimum - 1));

        results = feed(older_event(k.subcommand, payload));
        EXPECT_EQ(results[results.size() - 2], parse_decoded);
        EXPECT_EQ(results.back(), parse_ignored);
    }
}

// The line's bytes land where a termination keeps the peer address (after five bytes), and a
// last line fills the address up with ee, so the decoded address shows exactly what was read.
TEST_F(VendorEventParser, HexPairsAtEveryThirdCharacterWhateverTheSeparator) {
    constexpr size_t peer_octets = 6;
    struct example {
        const char* text;
        size_t count;
        const char* peer;
    };
    const example examples[] = {
        {"ab cd ef", 3, "ab:cd:ef:ee:ee:ee"}, {"ab cd ef ", 3, "ab:cd:ef:ee:ee:ee"},
        {"ab", 1, "ab:ee:ee:ee:ee:ee"},       {"abc", 1, "ab:ee:ee:ee:ee:ee"},
        {"a", 1, "0a:ee:ee:ee:ee:ee"},        {"ab:cd:ef", 3, "ab:cd:ef:ee:ee:ee"},
        {"zz 0g", 2, "00:00:ee:ee:ee:ee"},    {"", 0, "ee:ee:ee:ee:ee:ee"},
    };
    for (const example& e : examples) {
        SCOPED_TRACE(e.text);
        std::string fill;
        for (size_t i = e.count; i < peer_octets; ++i) fill += "ee ";
        std::vector<int> results = feed({"x: vendor event 00e04c:1", "vendor event: 00 00 00 00 00 ",
                                         std::string("vendor event: ") + e.text,
                                         "vendor event: " + fill});
        EXPECT_EQ(results.back(), parse_decoded) << err_;
        EXPECT_STREQ(decoded_.mac, e.peer);
    }
}

TEST_F(VendorEventParser, BytesBeyond1024AreDropped) {
    bytes payload(1100);
    for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i);
    std::vector<std::string> lines = older_event(7, payload);
    lines.pop_back();
    feed(lines);
    EXPECT_EQ(close_dump(), timeout_line(7, vendor_data_size));

    // The joined form stops at 1024 as well.
    std::string joined = "t: vendor event 00e04c:7vendor event: ";
    for (int i = 0; i < 1100; ++i) joined += "5a ";
    feed({joined});
    EXPECT_EQ(close_dump(), timeout_line(7, vendor_data_size));
}

TEST_F(VendorEventParser, UnsupportedSubtypeComplainsOnEveryDataLineAndStaysPending) {
    bytes payload(300, 0x42);
    std::vector<std::string> lines = older_event(7, payload);
    lines.pop_back();
    std::vector<int> results = feed(lines);
    // The header and 19 data lines (300 bytes); the dump has not ended yet.
    EXPECT_EQ(results, std::vector<int>(20, parse_pending));
    std::string expected_err;
    for (int i = 0; i < 19; ++i) expected_err += "[try_parse] Unsupported subtype: 7\n";
    EXPECT_EQ(err_, expected_err);
    EXPECT_EQ(close_dump(), timeout_line(7, 300));

    // A new header of the driver's drops it silently.
    feed(lines);
    EXPECT_EQ(feed_one("t: vendor event 00e04c:1"), parse_pending);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(close_dump(), timeout_line(1, 0));
}

TEST_F(VendorEventParser, AHeaderWithoutDigitsCollectsForSubcommandZero) {
    EXPECT_EQ(feed_one("t: nan0 (phy #0): vendor event 00e04c:x"), parse_pending);
    EXPECT_EQ(out_, "[parse_nan_event] Handle normal format event start, current_vendor_type: 0\n");
    EXPECT_EQ(close_dump(), timeout_line(0, 0));
}

TEST_F(VendorEventParser, ASignAndLeadingBlanksAreReadAsTheSubcommand) {
    EXPECT_EQ(feed_one("t: vendor event 00e04c: +2"), parse_pending);
    EXPECT_EQ(close_dump(), timeout_line(2, 0));
    // -1 in the joined form means no collection: nothing is stored.
    EXPECT_EQ(feed_one("t: vendor event 00e04c:-1vendor event: 01 02 "), parse_pending);
    EXPECT_EQ(close_dump(), "");
    // A number too big for an int reads the same on every platform.
    EXPECT_EQ(feed_one("t: vendor event 00e04c:99999999999"), parse_pending);
    EXPECT_EQ(close_dump(), timeout_line(2147483647, 0));
}

TEST_F(VendorEventParser, ThePeerMacTextIsLowerCase) {
    feed(older_event(2, request_payload(1, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, responder)));
    EXPECT_STREQ(decoded_.mac, "aa:bb:cc:dd:ee:ff");
}

// ---- the stale rule ----

TEST_F(VendorEventParser, MoreThanFiveWholeSecondsWithoutDataDropsTheCollection) {
    bytes payload = request_payload(1, peer_a, responder, 20);
    std::vector<std::string> lines = older_event(2, payload);
    feed({lines[0], lines[1], lines[2]});  // header, 16 bytes, 4 bytes

    // Exactly five seconds (even 5.999999 by the clock) is not stale.
    clock_.advance_s(5);
    clock_.advance_us(999999);
    EXPECT_EQ(collector_->parse_nan_event(nullptr, &event_), parse_ignored);

    // Six: the call reports the stale collection and does not look at its line (a header).
    clock_.advance_us(1);
    EXPECT_EQ(feed_one("t: vendor event 00e04c:1"), parse_stale);
    EXPECT_EQ(err_, "[parse_nan_event] Vendor data collection timeout (type: 2, len: 20)\n");
    EXPECT_EQ(out_, "");
    EXPECT_EQ(close_dump(), "");
}

TEST_F(VendorEventParser, EachDataLineRestartsTheStaleTime) {
    std::vector<std::string> lines = older_event(7, bytes(48, 1));
    feed({lines[0], lines[1]});
    clock_.advance_s(5);
    feed({lines[2]});
    clock_.advance_s(5);
    EXPECT_EQ(feed_one(lines[3]), parse_pending);

    clock_.advance_s(6);
    EXPECT_EQ(idle_check(), parse_stale);
    EXPECT_EQ(err_, timeout_line(7, 48));
}

TEST_F(VendorEventParser, AHeaderWithoutBytesNeverGoesStale) {
    feed_one("t: vendor event 00e04c:2");
    clock_.advance_s(60);
    EXPECT_EQ(collector_->parse_nan_event(nullptr, &event_), parse_ignored);
    EXPECT_EQ(feed_one("vendor event: 01 02 03 "), parse_pending);
    EXPECT_EQ(close_dump(), timeout_line(2, 3));
}

TEST_F(VendorEventParser, TheRecordIsZeroedEvenWhenNothingDecodes) {
    memset(&event_, 0x5a, sizeof(event_));
    EXPECT_EQ(feed_one("t: wlan0: del station 02:aa:bb:cc:dd:ee"), parse_ignored);
    connection_event zero{};
    EXPECT_EQ(memcmp(&event_, &zero, sizeof(zero)), 0);
}

}  // namespace
