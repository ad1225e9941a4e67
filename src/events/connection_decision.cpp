#include "connection_decision.hpp"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "keyword.hpp"
#include "log.hpp"
#include "mono_clock.hpp"

namespace {

constexpr char accept_params_format[] = "rsp_mode peer ndl_rsp accept data_path_id %u";

bool same_text(const char* a, const char* b) { return strcasecmp(a, b) == 0; }

constexpr unsigned long group_address_bit = 0x01;  // in the first octet
constexpr int hex_base = 16;
constexpr char no_address[] = "00:00:00:00:00:00";

// Only one station can answer a data path: a group address (multicast or broadcast) or no
// address at all is never a peer.
bool is_unicast_peer(const char* mac) {
    unsigned long first_octet = strtoul(mac, nullptr, hex_base);
    return (first_octet & group_address_bit) == 0 && !same_text(mac, no_address);
}

// A known peer's later event of a kind the table follows: its type and status replace the
// entry's.
void set_entry(connection_event& entry, const connection_event& event) {
    snprintf(entry.type, event_type_size, "%s", event.type);
    entry.status = event.status;
}

void update_entry(connection_event& entry, const connection_event& event) {
    if (same_text(event.type, connection_request_type)) {
        set_entry(entry, event);
        entry.ndp_id = event.ndp_id;
        log_out("[decision] Updated connection request for MAC: %s (NDP ID: %d)\n", event.mac,
               event.ndp_id);
    } else if (same_text(event.type, connection_success_type)) {
        set_entry(entry, event);
        log_out("[decision] Updated connection status to SUCCESS for MAC: %s (Status: %d)\n",
               event.mac, event.status);
    } else if (same_text(event.type, connection_termination_type)) {
        set_entry(entry, event);
        log_out("[decision] Updated connection status to TERMINATED for MAC: %s (Reason: %d)\n",
               event.mac, event.status);
    }
}

}  // namespace

int is_mac_allowed(const mac_allow_list& list, const char* mac) {
    if (list.macs[0][0] == '\0' && list.macs[1][0] == '\0') return 1;
    if (mac == nullptr) return 0;
    for (const char* entry : list.macs) {
        if (same_text(mac, entry)) return 1;
    }
    return 0;
}

void connection_decision::handle_line(const char* line) {
    connection_event event{};
    int rc = collector_.parse_nan_event(line, &event);
    if (rc == parse_stale) {
        log_out("[decision] Processed vendor data timeout for event: %s\n", line);
    } else if (rc == parse_decoded) {
        handle_event(event);
    }
}

void connection_decision::handle_timeout() {
    if (!collector_.has_pending_bytes()) return;
    connection_event event{};
    if (collector_.parse_nan_event(nullptr, &event) == parse_stale)
        log_puts("[decision] Vendor data collection timeout, cleaned up pending fragments");
}

decision_turn connection_decision::take_turn(event_line_queue& ring) {
    char line[event_line_size];
    int rc = ring.pop(line);
    if (rc == ETIMEDOUT) {
        handle_timeout();
        return decision_turn::timed_out;
    }
    if (rc != 0) {
        log_err("[decision] Condition wait error: %d\n", rc);
        return decision_turn::wait_failed;
    }
    handle_line(line);
    return ring.count() > 0 ? decision_turn::line_more_waiting : decision_turn::line_ring_empty;
}

void connection_decision::handle_event(const connection_event& event) {
    log_out("[nan_connection_decision] Parsed request - MAC: %s, Type: %s, Status: %d\n", event.mac,
           event.type, event.status);
    // Refused before the table: a forged request must not push a real peer out of it. Each
    // figure moves before its line, so whoever reads the line and then asks for the status sees it.
    if (same_text(event.type, connection_request_type) && !is_unicast_peer(event.mac)) {
        counts_.data_paths_refused.add();
        log_out("[decision] MAC %s is not a unicast peer address, refusing connection\n",
               event.mac);
        return;
    }
    record_event(event);
    if (same_text(event.type, connection_request_type)) {
        decide_request(event);
    } else if (same_text(event.type, connection_success_type)) {
        log_out("[decision] Successfully established connection with %s (Status: %d)\n", event.mac,
               event.status);
    } else if (same_text(event.type, connection_termination_type)) {
        log_out("[decision] Connection terminated with %s (Reason code: %d)\n", event.mac,
               event.status);
    }
}

void connection_decision::record_event(const connection_event& event) {
    for (connection_event& entry : connection_table_) {
        if (entry.mac[0] != '\0' && same_text(entry.mac, event.mac)) {
            update_entry(entry, event);
            return;
        }
    }
    const int found = next_slot_;
    connection_table_[found] = event;
    next_slot_ = (next_slot_ + 1) % connection_table_entries;
    counts_.peers_seen.add();
    log_out("[decision] Added new connection record for MAC: %s, Type: %s, at index %d\n",
           event.mac, event.type, found);
}

void connection_decision::decide_request(const connection_event& event) {
    if (is_mac_allowed(allowed_, event.mac)) {
        log_out("[decision] MAC %s is allowed, accepting connection\n", event.mac);
        char params[decision_params_size] = {};
        snprintf(params, sizeof(params), accept_params_format,
                 static_cast<unsigned>(event.ndp_id));
        if (dispatcher_.execute(data_rsp_keyword, params) == 0) counts_.data_paths_answered.add();
    } else {
        counts_.data_paths_refused.add();
        log_out("[decision] MAC %s is rejected, denying connection\n", event.mac);
    }
}

void run_connection_decision(event_line_queue& ring, connection_decision& decision) {
    log_puts("[nan_connection_decision] Start processing connection decisions...");
    for (;;) {
        decision_turn turn = decision.take_turn(ring);
        if (turn == decision_turn::line_ring_empty || turn == decision_turn::wait_failed)
            mono_sleep_us(decision_pause_us);
    }
}
