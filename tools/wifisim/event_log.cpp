// Event log lines:
//   V <older|newer> <vendor_id> <subcmd> <iface> <phy> <hex payload or ->
//   P <iface> <phy> <text>
//   R <text>
//   C                (clear mark)
#include "event_log.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "sim_state.hpp"

namespace wifisim {

namespace {

constexpr long nanoseconds_per_microsecond = 1000;

std::string prefix(const event_entry& e, bool timestamps, const timespec& now) {
    char text[128];
    std::string out;
    if (timestamps) {
        snprintf(text, sizeof text, "%llu.%06llu: ", static_cast<unsigned long long>(now.tv_sec),
                 static_cast<unsigned long long>(now.tv_nsec / nanoseconds_per_microsecond));
        out += text;
    }
    snprintf(text, sizeof text, "%s (phy #%d): ", e.iface.c_str(), e.phy);
    return out + text;
}

// iw's hexdump: "vendor event: " then "%02x " per byte, a new marked line every 16 bytes, and
// an empty line after the last one.
std::string hex_dump(const std::vector<unsigned char>& payload) {
    std::string out = "vendor event: ";
    char pair[4];
    for (size_t i = 0; i < payload.size(); ++i) {
        if (i > 0 && i % dump_bytes_per_line == 0) out += "\nvendor event: ";
        snprintf(pair, sizeof pair, "%02x ", payload[i]);
        out += pair;
    }
    return out + "\n\n";
}

// Copies the MAC only as far as the payload reaches (a short payload is a test's choice).
void put_bytes(std::vector<unsigned char>& payload, size_t offset, const unsigned char* bytes,
               size_t count) {
    for (size_t i = 0; i < count && offset + i < payload.size(); ++i) payload[offset + i] = bytes[i];
}

void put_byte(std::vector<unsigned char>& payload, size_t offset, unsigned char value) {
    if (offset < payload.size()) payload[offset] = value;
}

}  // namespace

std::string encode_entry(const event_entry& e) {
    char head[128];
    switch (e.kind) {
        case entry_kind::vendor:
            snprintf(head, sizeof head, "V %s 0x%x %u %s %d ", e.newer_form ? "newer" : "older",
                     e.vendor_id, e.subcmd, e.iface.c_str(), e.phy);
            return head + (e.payload.empty() ? std::string("-") : to_hex(e.payload)) + "\n";
        case entry_kind::prefixed:
            snprintf(head, sizeof head, "P %s %d ", e.iface.c_str(), e.phy);
            return head + e.text + "\n";
        case entry_kind::raw:
            return "R " + e.text + "\n";
    }
    return "";
}

bool decode_entry(const std::string& line, event_entry* e) {
    *e = event_entry{};
    if (line.size() < 2 || line[1] != ' ') return false;
    if (line[0] == 'R') {
        e->kind = entry_kind::raw;
        e->text = line.substr(2);
        return true;
    }
    char form[16];
    char iface[64];
    char hex[8];
    int consumed = 0;
    if (line[0] == 'P') {
        e->kind = entry_kind::prefixed;
        if (sscanf(line.c_str(), "P %63s %d %n", iface, &e->phy, &consumed) < 2) return false;
        e->iface = iface;
        e->text = line.substr(static_cast<size_t>(consumed));
        return true;
    }
    if (line[0] != 'V') return false;
    e->kind = entry_kind::vendor;
    if (sscanf(line.c_str(), "V %15s %x %u %63s %d %n", form, &e->vendor_id, &e->subcmd, iface,
               &e->phy, &consumed) < 5)
        return false;
    e->newer_form = strcmp(form, "newer") == 0;
    e->iface = iface;
    const std::string data = line.substr(static_cast<size_t>(consumed));
    if (sscanf(data.c_str(), "%7s", hex) == 1 && strcmp(hex, "-") == 0) return true;
    return from_hex(data, &e->payload);
}

std::string format_entry(const event_entry& e, bool timestamps, bool dump_data,
                         const timespec& now) {
    if (e.kind == entry_kind::raw) return e.text + "\n";
    std::string out = prefix(e, timestamps, now);
    if (e.kind == entry_kind::prefixed) return out + e.text + "\n";
    char header[64];
    snprintf(header, sizeof header, "vendor event %.6x:%u", e.vendor_id, e.subcmd);
    out += header;
    if (!dump_data || e.payload.empty()) return out + "\n";
    if (e.newer_form) return out + hex_dump(e.payload) + "\n";
    return out + "\n" + hex_dump(e.payload);
}

bool append_event_locked(const std::string& state, const event_entry& entry) {
    return append_to_file(state_path(state, events_file), encode_entry(entry));
}

std::vector<unsigned char> request_payload(const unsigned char peer[6], unsigned char ndp_id,
                                           const unsigned char responder[6], size_t length) {
    std::vector<unsigned char> p(length, 0);
    put_byte(p, request_ndp_id_offset, ndp_id);
    put_bytes(p, request_peer_offset, peer, 6);
    put_bytes(p, request_responder_offset, responder, 6);
    return p;
}

std::vector<unsigned char> success_payload(const unsigned char peer[6], unsigned char status,
                                           unsigned char ndp_id, const unsigned char responder[6],
                                           size_t length) {
    std::vector<unsigned char> p(length, 0);
    put_byte(p, success_ndp_id_offset, ndp_id);
    put_byte(p, success_status_offset, status);
    put_bytes(p, success_peer_offset, peer, 6);
    put_bytes(p, success_responder_offset, responder, 6);
    return p;
}

std::vector<unsigned char> termination_payload(const unsigned char peer[6], unsigned char reason,
                                               unsigned char ndp_id, size_t length) {
    std::vector<unsigned char> p(length, 0);
    put_byte(p, termination_ndp_id_offset, ndp_id);
    put_byte(p, termination_reason_offset, reason);
    put_bytes(p, termination_peer_offset, peer, 6);
    return p;
}

}  // namespace wifisim
