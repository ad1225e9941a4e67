#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "event_test_support.hpp"
#include "nan_event.hpp"

namespace {

using namespace event_test;

const mac_bytes peer_a{0x0a, 0xbb, 0xcc, 0xdd, 0xee, 0x01};
const mac_bytes peer_b{0x0a, 0xbb, 0xcc, 0xdd, 0xee, 0x02};
const mac_bytes responder{0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
constexpr char mac_a[] = "0a:bb:cc:dd:ee:01";
constexpr char mac_b[] = "0a:bb:cc:dd:ee:02";

mac_bytes numbered_peer(int n) { return {0x02, 0x00, 0x00, 0x00, 0x00, static_cast<uint8_t>(n)}; }

using call = std::pair<std::string, std::string>;

call accept_call(int ndp_id) {
    return {"data_rsp", "rsp_mode peer ndl_rsp accept data_path_id " + std::to_string(ndp_id)};
}

class ConnectionDecision : public testing::Test {
protected:
    // Hands the lines to the decision one by one; returns standard output (the joined form has
    // no header line, so this is the decoding line's output), keeps standard error in err_.
    std::string deliver(const std::vector<std::string>& lines) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        for (const std::string& line : lines) decision_.handle_line(line.c_str());
        err_ = testing::internal::GetCapturedStderr();
        return testing::internal::GetCapturedStdout();
    }
    std::string request(const mac_bytes& peer, uint8_t ndp_id) {
        return deliver(newer_event(2, request_payload(ndp_id, peer, responder)));
    }
    std::string termination(const mac_bytes& peer, uint8_t reason) {
        return deliver(newer_event(1, peer_payload(reason, peer, responder, 11)));
    }
    std::string success(const mac_bytes& peer, uint8_t status) {
        return deliver(newer_event(0, peer_payload(status, peer, responder, 273)));
    }
    std::string handle(const connection_event& event) {
        testing::internal::CaptureStdout();
        decision_.handle_event(event);
        return testing::internal::GetCapturedStdout();
    }

    stepped_clock clock_;
    std::unique_ptr<vendor_event_collector> collector_ =
        std::make_unique<vendor_event_collector>(clock_);
    mac_allow_list allowed_;
    recording_dispatcher dispatcher_;
    nan_counters counts_;
    connection_decision decision_{*collector_, allowed_, dispatcher_, counts_};
    std::string err_;
};

// ---- requests ----

TEST_F(ConnectionDecision, AFirstRequestIsAddedAtIndexZeroAndAccepted) {
    EXPECT_EQ(request(peer_a, 5),
              "[try_parse] connection_request responder - MAC: 02:00:00:00:01:00\n"
              "[try_parse] Parsed - MAC: 0a:bb:cc:dd:ee:01, Type: connection_request, Status: 0, "
              "NDP ID: 5\n"
              "[nan_connection_decision] Parsed request - MAC: 0a:bb:cc:dd:ee:01, Type: "
              "connection_request, Status: 0\n"
              "[decision] Added new connection record for MAC: 0a:bb:cc:dd:ee:01, Type: "
              "connection_request, at index 0\n"
              "[decision] MAC 0a:bb:cc:dd:ee:01 is allowed, accepting connection\n");
    EXPECT_EQ(dispatcher_.calls, (std::vector<call>{accept_call(5)}));
    EXPECT_EQ(counts_.peers_seen.value(), 1u);
    EXPECT_EQ(counts_.data_paths_answered.value(), 1u);
}

TEST_F(ConnectionDecision, ARepeatedRequestWithUpperCaseMacUpdatesTheEntry) {
    request(peer_a, 5);
    connection_event again{};
    strcpy(again.mac, "0A:BB:CC:DD:EE:01");
    strcpy(again.type, "connection_request");
    again.ndp_id = 6;

    EXPECT_EQ(handle(again),
              "[nan_connection_decision] Parsed request - MAC: 0A:BB:CC:DD:EE:01, Type: "
              "connection_request, Status: 0\n"
              "[decision] Updated connection request for MAC: 0A:BB:CC:DD:EE:01 (NDP ID: 6)\n"
              "[decision] MAC 0A:BB:CC:DD:EE:01 is allowed, accepting connection\n");
    EXPECT_EQ(dispatcher_.calls, (std::vector<call>{accept_call(5), accept_call(6)}));
    EXPECT_EQ(counts_.peers_seen.value(), 1u);

    // The peer kept its entry; the next one takes the following slot.
    EXPECT_NE(request(peer_b, 7).find("[decision] Added new connection record for MAC: " +
                                      std::string(mac_b) + ", Type: connection_request, at index 1\n"),
              std::string::npos);
    EXPECT_EQ(counts_.peers_seen.value(), 2u);
}

TEST_F(ConnectionDecision, TheDataPathIdIsSentAsAnUnsignedNumber) {
    request(peer_a, 200);
    EXPECT_EQ(dispatcher_.calls, (std::vector<call>{accept_call(200)}));
}

TEST_F(ConnectionDecision, SixPeersWrapToIndexZeroAndTheFirstPeerComesBackAtIndexOne) {
    for (int n = 1; n <= 5; ++n) request(numbered_peer(n), static_cast<uint8_t>(n));
    std::string sixth = request(numbered_peer(6), 6);
    EXPECT_NE(sixth.find("[decision] Added new connection record for MAC: 02:00:00:00:00:06, "
                         "Type: connection_request, at index 0\n"),
              std::string::npos);

    // The first peer's entry was overwritten, so its termination adds it again, in turn.
    std::string back = termination(numbered_peer(1), 3);
    EXPECT_NE(back.find("[decision] Added new connection record for MAC: 02:00:00:00:00:01, "
                        "Type: connection_termination, at index 1\n"),
              std::string::npos);
    EXPECT_EQ(dispatcher_.calls.size(), 6u);
    EXPECT_EQ(counts_.peers_seen.value(), 7u);

    // The peers in the other slots are still known.
    for (int n = 3; n <= 5; ++n) {
        const std::string mac = "02:00:00:00:00:0" + std::to_string(n);
        EXPECT_NE(termination(numbered_peer(n), 1)
                      .find("[decision] Updated connection status to TERMINATED for MAC: " + mac),
                  std::string::npos)
            << mac;
    }
    EXPECT_EQ(counts_.peers_seen.value(), 7u);
}

// A request needs one station at the far end: a group address or none at all is refused
// without a word to the driver and without taking a slot in the table.
TEST_F(ConnectionDecision, RequestsFromGroupOrZeroAddressesAreRefused) {
    const std::pair<mac_bytes, const char*> hostile[] = {
        {{0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "ff:ff:ff:ff:ff:ff"},
        {{0x01, 0x00, 0x5e, 0x00, 0x00, 0xfb}, "01:00:5e:00:00:fb"},
        {{0x33, 0x33, 0x00, 0x00, 0x00, 0x01}, "33:33:00:00:00:01"},
        {{0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, "00:00:00:00:00:00"},
    };
    for (const auto& [peer, mac] : hostile) {
        SCOPED_TRACE(mac);
        const std::string out = request(peer, 7);
        const std::string refusal = "[nan_connection_decision] Parsed request - MAC: " +
                                    std::string(mac) + ", Type: connection_request, Status: 0\n" +
                                    "[decision] MAC " + mac +
                                    " is not a unicast peer address, refusing connection\n";
        ASSERT_GE(out.size(), refusal.size());
        EXPECT_EQ(out.substr(out.size() - refusal.size()), refusal);
    }
    // The payload of nothing but 0xff bytes, as a broken driver might send it.
    const std::string out = deliver(newer_event(2, bytes(288, 0xff)));
    EXPECT_NE(out.find("[decision] MAC ff:ff:ff:ff:ff:ff is not a unicast peer address, "
                       "refusing connection\n"),
              std::string::npos);
    EXPECT_TRUE(dispatcher_.calls.empty());
    EXPECT_EQ(counts_.data_paths_refused.value(), 5u);
    EXPECT_EQ(counts_.peers_seen.value(), 0u);
}

// ---- success and termination ----

TEST_F(ConnectionDecision, TerminationPrintsItsReasonInBothLines) {
    request(peer_a, 5);
    EXPECT_EQ(termination(peer_a, 42),
              "[try_parse] Parsed - MAC: 0a:bb:cc:dd:ee:01, Type: connection_termination, "
              "Status: 42, NDP ID: 0\n"
              "[nan_connection_decision] Parsed request - MAC: 0a:bb:cc:dd:ee:01, Type: "
              "connection_termination, Status: 42\n"
              "[decision] Updated connection status to TERMINATED for MAC: 0a:bb:cc:dd:ee:01 "
              "(Reason: 42)\n"
              "[decision] Connection terminated with 0a:bb:cc:dd:ee:01 (Reason code: 42)\n");
    EXPECT_EQ(dispatcher_.calls.size(), 1u);
    EXPECT_EQ(counts_.peers_seen.value(), 1u);
}

TEST_F(ConnectionDecision, SuccessFromAnUnknownPeerIsAddedAsHandled) {
    EXPECT_EQ(success(peer_b, 0),
              "[try_parse] connection_success responder - MAC: 02:00:00:00:01:00\n"
              "[try_parse] Parsed - MAC: 0a:bb:cc:dd:ee:02, Type: connection_success, Status: 0, "
              "NDP ID: 0\n"
              "[nan_connection_decision] Parsed request - MAC: 0a:bb:cc:dd:ee:02, Type: "
              "connection_success, Status: 0\n"
              "[decision] Added new connection record for MAC: 0a:bb:cc:dd:ee:02, Type: "
              "connection_success, at index 0\n"
              "[decision] Successfully established connection with 0a:bb:cc:dd:ee:02 (Status: 0)\n");
    EXPECT_TRUE(dispatcher_.calls.empty());

    std::string known = success(peer_b, 9);
    EXPECT_NE(known.find("[decision] Updated connection status to SUCCESS for MAC: "
                         "0a:bb:cc:dd:ee:02 (Status: 9)\n"
                         "[decision] Successfully established connection with 0a:bb:cc:dd:ee:02 "
                         "(Status: 9)\n"),
              std::string::npos);
    EXPECT_EQ(counts_.peers_seen.value(), 1u);
}

// ---- the allow list ----

TEST_F(ConnectionDecision, TheAllowListRejectsAnotherPeerWithoutDispatching) {
    strcpy(allowed_.macs[0], "0A:BB:CC:DD:EE:01");
    std::string out = request(peer_b, 7);
    EXPECT_NE(out.find("[decision] Added new connection record for MAC: 0a:bb:cc:dd:ee:02, Type: "
                       "connection_request, at index 0\n"
                       "[decision] MAC 0a:bb:cc:dd:ee:02 is rejected, denying connection\n"),
              std::string::npos);
    EXPECT_TRUE(dispatcher_.calls.empty());
    EXPECT_EQ(counts_.data_paths_refused.value(), 1u);

    std::string allowed = request(peer_a, 8);
    EXPECT_NE(allowed.find("[decision] MAC 0a:bb:cc:dd:ee:01 is allowed, accepting connection\n"),
              std::string::npos);
    EXPECT_EQ(dispatcher_.calls, (std::vector<call>{accept_call(8)}));
    EXPECT_EQ(counts_.data_paths_answered.value(), 1u);
    EXPECT_EQ(counts_.data_paths_refused.value(), 1u);
}

TEST(AllowList, EmptyListAllowsEveryoneOtherwiseAnEntryMustMatchIgnoringCase) {
    mac_allow_list list;
    EXPECT_EQ(is_mac_allowed(list, mac_a), 1);
    EXPECT_EQ(is_mac_allowed(list, nullptr), 1);

    strcpy(list.macs[1], "0a:bb:cc:dd:ee:01");
    EXPECT_EQ(is_mac_allowed(list, "0A:BB:CC:DD:EE:01"), 1);
    EXPECT_EQ(is_mac_allowed(list, mac_b), 0);
    EXPECT_EQ(is_mac_allowed(list, nullptr), 0);
    EXPECT_EQ(is_mac_allowed(list, ""), 1);  // the empty entry matches only an empty text

    // The daemon's list is empty: every peer is accepted.
    running_command_groups commands;
    recording_dispatcher dispatcher;
    nan_counters counts;
    monotonic_clock clock;
    auto events = std::make_unique<nan_events>(commands, dispatcher, counts, clock);
    EXPECT_EQ(is_mac_allowed(events->allowed, mac_b), 1);
}

// ---- the stale check ----

TEST_F(ConnectionDecision, TheIdleStaleCheckPrintsBothLines) {
    std::vector<std::string> lines = older_event(2, request_payload(1, peer_a, responder, 20));
    deliver({lines[0], lines[1], lines[2]});

    clock_.advance_s(5);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    decision_.handle_timeout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    clock_.advance_s(1);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    decision_.handle_timeout();
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "[parse_nan_event] Vendor data collection timeout (type: 2, len: 20)\n");
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[decision] Vendor data collection timeout, cleaned up pending fragments\n");

    // Nothing pending: nothing to check.
    testing::internal::CaptureStdout();
    decision_.handle_timeout();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(ConnectionDecision, AStaleCollectionFoundByALineDropsThatLine) {
    std::vector<std::string> lines = older_event(2, request_payload(1, peer_a, responder, 20));
    deliver({lines[0], lines[1]});
    clock_.advance_s(6);
    EXPECT_EQ(deliver({lines[2]}),
              "[decision] Processed vendor data timeout for event: " + lines[2] + "\n");
    EXPECT_EQ(err_, "[parse_nan_event] Vendor data collection timeout (type: 2, len: 16)\n");
}

// ---- turns of the loop ----

TEST_F(ConnectionDecision, TakesTheNextLineAtOnceWhileLinesAreWaiting) {
    auto ring = std::make_unique<event_line_queue>();
    std::vector<std::string> lines = newer_event(2, request_payload(5, peer_a, responder));
    // A request (20 lines) is as long as the ring; an unrelated line after it still fits once
    // the decision has begun taking lines.
    for (const std::string& line : lines) ring->push(line.c_str());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    std::vector<decision_turn> turns;
    turns.push_back(decision_.take_turn(*ring));
    ring->push("t: wlan0 (phy #0): new station 02:aa:bb:cc:dd:ee");
    while (ring->count() > 0) turns.push_back(decision_.take_turn(*ring));
    testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();

    std::vector<decision_turn> expected(20, decision_turn::line_more_waiting);
    expected.push_back(decision_turn::line_ring_empty);
    EXPECT_EQ(turns, expected);
    EXPECT_EQ(dispatcher_.calls, (std::vector<call>{accept_call(5)}));
}

TEST_F(ConnectionDecision, AnEmptyRingGivesATimedOutTurn) {
    auto ring = std::make_unique<event_line_queue>();
    EXPECT_EQ(decision_.take_turn(*ring), decision_turn::timed_out);
}

}  // namespace
