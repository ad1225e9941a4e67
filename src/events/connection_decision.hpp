#pragma once
// The decision thread: takes raw lines from the event ring, has them decoded, keeps a small
// table of the peers heard from, and accepts every data-path request from an allowed peer by
// running the keyword "data_rsp" through the dispatcher. It also drives the stale check of the
// pending vendor payload while the ring is idle.
#include <cstddef>

#include "daemon_counters.hpp"
#include "event_queue.hpp"
#include "keyword.hpp"
#include "vendor_event.hpp"

constexpr int connection_table_entries = 5;

// The allow list: two peer MAC texts. Both empty (as in the daemon, which has no source for
// them) lets every peer in; otherwise a peer must match one entry, ignoring case.
constexpr int allowed_mac_entries = 2;

struct mac_allow_list {
    char macs[allowed_mac_entries][mac_text_size] = {};
};

// 1 to accept the peer, 0 to reject it. mac may be nullptr.
int is_mac_allowed(const mac_allow_list& list, const char* mac);

// Where the decision sends its keyword; the daemon's runs execute_keyword, tests record.
class keyword_dispatcher {
public:
    virtual ~keyword_dispatcher() = default;
    virtual int execute(const char* keyword, const char* params) = 0;
};

// The daemon's: runs the keyword as a client's command would.
class executing_dispatcher final : public keyword_dispatcher {
public:
    explicit executing_dispatcher(keyword_dispatch_table& keywords) : keywords_(keywords) {}
    int execute(const char* keyword, const char* params) override {
        return keywords_.execute(keyword, params);
    }

private:
    keyword_dispatch_table& keywords_;
};

constexpr char data_rsp_keyword[] = "data_rsp";
constexpr size_t decision_params_size = 1024;
constexpr unsigned decision_pause_us = 10000;  // between lines while the ring is empty

// What one turn of the decision loop did; the loop pauses after the last two kinds and after a
// line that left the ring empty, and takes the next line at once while more are waiting (one
// request is about as many lines as the ring holds, so pausing after each would let a second
// event push the first one's header out).
enum class decision_turn {
    line_more_waiting,
    line_ring_empty,
    timed_out,
    wait_failed,
};

class connection_decision {
public:
    connection_decision(vendor_event_collector& collector, const mac_allow_list& allowed,
                        keyword_dispatcher& dispatcher, nan_counters& counts)
        : collector_(collector), allowed_(allowed), dispatcher_(dispatcher), counts_(counts) {}

    // One line taken from the ring: decode it and act on a complete event.
    void handle_line(const char* line);
    // A decoded event: record the peer and, for a request, decide.
    void handle_event(const connection_event& event);
    // The ring stayed empty for its wait: drop a stale pending payload.
    void handle_timeout();
    // One wait on the ring and the handling of what it gave, without the pause.
    decision_turn take_turn(event_line_queue& ring);

private:
    void record_event(const connection_event& event);
    void decide_request(const connection_event& event);

    vendor_event_collector& collector_;
    const mac_allow_list& allowed_;
    keyword_dispatcher& dispatcher_;
    nan_counters& counts_;
    // The peers heard from (an empty mac: a free entry); only the decision thread touches it.
    connection_event connection_table_[connection_table_entries] = {};
    int next_slot_ = 0;  // slots are taken in turn 0, 1, 2, 3, 4, 0, ... free or not
};

// Runs the decision loop on ring for ever (pausing decision_pause_us where the turn asks).
[[noreturn]] void run_connection_decision(event_line_queue& ring, connection_decision& decision);
