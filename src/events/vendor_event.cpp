#include "vendor_event.hpp"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.hpp"
#include "mutex_hold.hpp"

namespace {

constexpr char oui_marker[] = "00e04c:";
constexpr char data_marker[] = "vendor event: ";
constexpr char header_marker[] = "vendor event 00e04c:";
constexpr char any_vendor_marker[] = "vendor event";
constexpr size_t hex_pair_stride = 3;  // two digits and one separator, whatever it is
constexpr int decimal_base = 10;
constexpr int hex_base = 16;

// The subcommand after a marker, with strtol's rules (no digits: 0). Clamped to int so a huge
// number reads the same on 32-bit ARM as on x86-64.
int read_subcommand(const char* text) {
    long value = strtol(text, nullptr, decimal_base);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

// The next two characters (fewer at the end of the text) as one hexadecimal byte; no digits: 0.
uint8_t read_hex_pair(const char* text) {
    char pair[3] = {text[0], text[0] != '\0' ? text[1] : '\0', '\0'};
    return static_cast<uint8_t>(strtol(pair, nullptr, hex_base));
}

void format_mac(char* out, const uint8_t* b) {
    snprintf(out, mac_text_size, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4],
             b[5]);
}

// How each kind's payload reads: its word in the "Insufficient data" line, the least payload,
// the peer MAC, the responder MAC (a termination names none) and the one byte kept. The peer MAC
// sits one byte earlier in a request than in the other two kinds.
struct event_layout {
    int subcommand;
    const char* word;
    size_t min_payload;
    const char* type;
    size_t peer_offset;
    size_t responder_offset;
    size_t value_offset;
    uint8_t connection_event::*value;
};

constexpr size_t no_responder = SIZE_MAX;

constexpr event_layout event_layouts[] = {
    {.subcommand = vendor_indication, .word = "INDICATION", .min_payload = 281,
     .type = connection_request_type, .peer_offset = 4, .responder_offset = 10,
     .value_offset = 2, .value = &connection_event::ndp_id},
    {.subcommand = vendor_confirm, .word = "CONFIRM", .min_payload = 273,
     .type = connection_success_type, .peer_offset = 5, .responder_offset = 11,
     .value_offset = 1, .value = &connection_event::status},
    {.subcommand = vendor_termination, .word = "TERMINATION", .min_payload = 11,
     .type = connection_termination_type, .peer_offset = 5, .responder_offset = no_responder,
     .value_offset = 1, .value = &connection_event::status},  // the reason code
};

const event_layout* layout_of(int subcommand) {
    for (const event_layout& layout : event_layouts) {
        if (layout.subcommand == subcommand) return &layout;
    }
    return nullptr;
}

}  // namespace

int vendor_event_collector::parse_nan_event(const char* line, connection_event* event) {
    if (event != nullptr) memset(event, 0, sizeof(*event));
    if (take_stale_collection()) return parse_stale;
    if (line == nullptr || event == nullptr) return parse_ignored;

    // Newer iw: header and first data line joined.
    if (const char* oui = strstr(line, oui_marker)) {
        const char* after = oui + strlen(oui_marker);
        int subcommand = read_subcommand(after);
        if (const char* data = strstr(after, data_marker)) {
            mutex_hold hold(vendor_data_mutex_);
            start_collection(subcommand);
            if (subcommand != vendor_type_none) append_pairs(data + strlen(data_marker));
            return decode(event) == 0 ? parse_decoded : parse_pending;
        }
    }

    // Older iw: the header alone.
    if (const char* header = strstr(line, header_marker)) {
        int subcommand = read_subcommand(header + strlen(header_marker));
        log_out("[parse_nan_event] Handle normal format event start, current_vendor_type: %d\n",
               subcommand);
        mutex_hold hold(vendor_data_mutex_);
        start_collection(subcommand);
        return parse_pending;
    }

    // A data line belongs to whatever collection is pending. A line whose first marker is
    // another vendor's header (even with data joined to it) is not one.
    const char* data = strstr(line, data_marker);
    if (data != nullptr && data == strstr(line, any_vendor_marker)) {
        mutex_hold hold(vendor_data_mutex_);
        if (current_vendor_type_ == vendor_type_none) return parse_ignored;
        vendor_data_time_ = clock_.now_s();
        append_pairs(data + strlen(data_marker));
        return decode(event) == 0 ? parse_decoded : parse_pending;
    }

    // The blank line that closes a dump, another vendor's header or any other event: the dump
    // being collected is over, so nothing that follows may complete it.
    return end_collection() ? parse_stale : parse_ignored;
}

bool vendor_event_collector::has_pending_bytes() {
    mutex_hold hold(vendor_data_mutex_);
    return current_vendor_type_ != vendor_type_none && vendor_data_len_ > 0;
}

// A collection that holds bytes but has had no data line for more than the stale time is
// dropped; one still waiting for its first byte never goes stale.
bool vendor_event_collector::take_stale_collection() {
    mutex_hold hold(vendor_data_mutex_);
    bool stale = current_vendor_type_ != vendor_type_none && vendor_data_len_ > 0 &&
                 clock_.now_s() - vendor_data_time_ > vendor_stale_seconds;
    if (stale) drop_collection();
    return stale;
}

// A collection cut short is dropped with the same line as one that expired, with or without
// bytes. Returns whether one was pending.
bool vendor_event_collector::end_collection() {
    mutex_hold hold(vendor_data_mutex_);
    bool pending = current_vendor_type_ != vendor_type_none;
    if (pending) drop_collection();
    return pending;
}

// Callers hold vendor_data_mutex_ in the helpers below.
void vendor_event_collector::start_collection(int subcommand) {
    current_vendor_type_ = subcommand;
    vendor_data_len_ = 0;
    memset(vendor_data_, 0, sizeof(vendor_data_));
    vendor_data_time_ = clock_.now_s();
}

void vendor_event_collector::append_pairs(const char* text) {
    size_t length = strlen(text);
    for (size_t pos = 0; pos < length && vendor_data_len_ < vendor_data_size;
         pos += hex_pair_stride) {
        vendor_data_[vendor_data_len_++] = read_hex_pair(text + pos);
    }
}

void vendor_event_collector::drop_collection() {
    log_err("[parse_nan_event] Vendor data collection timeout (type: %d, len: %d)\n",
            current_vendor_type_, vendor_data_len_);
    reset_collection();
}

void vendor_event_collector::reset_collection() {
    current_vendor_type_ = vendor_type_none;
    vendor_data_len_ = 0;
    memset(vendor_data_, 0, sizeof(vendor_data_));
}

int vendor_event_collector::decode(connection_event* event) {
    if (current_vendor_type_ == vendor_type_none || vendor_data_len_ == 0) return -1;

    const event_layout* layout = layout_of(current_vendor_type_);
    if (layout == nullptr) {
        log_err("[try_parse] Unsupported subtype: %d\n", current_vendor_type_);
        return -1;
    }
    if (static_cast<size_t>(vendor_data_len_) < layout->min_payload) {
        log_err("[try_parse] Insufficient data for %s (need %zu, got %d)\n", layout->word,
                layout->min_payload, vendor_data_len_);
        return -1;
    }

    const uint8_t* d = vendor_data_;
    snprintf(event->type, event_type_size, "%s", layout->type);
    format_mac(event->mac, d + layout->peer_offset);
    if (layout->responder_offset != no_responder) {
        const uint8_t* b = d + layout->responder_offset;
        log_out("[try_parse] %s responder - MAC: %02x:%02x:%02x:%02x:%02x:%02x\n", layout->type,
                b[0], b[1], b[2], b[3], b[4], b[5]);
    }
    event->*layout->value = d[layout->value_offset];
    log_out("[try_parse] Parsed - MAC: %s, Type: %s, Status: %d, NDP ID: %d\n", event->mac,
           event->type, event->status, event->ndp_id);
    reset_collection();
    return 0;
}
