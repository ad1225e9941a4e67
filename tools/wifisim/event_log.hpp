#pragma once
// The driver's event log: what `iw event` prints. Injected and driver-made events are appended
// as one line each to STATE/wifi/events; every `iw event` process prints the whole log from its
// start and then follows it, each entry formatted when printed (time stamp of that moment).
#include <ctime>
#include <string>
#include <vector>

namespace wifisim {

constexpr unsigned realtek_vendor_id = 0xe04c;

// Vendor event subcommands and the smallest payloads the daemon decodes.
constexpr unsigned event_connection_success = 0;
constexpr unsigned event_connection_termination = 1;
constexpr unsigned event_connection_request = 2;
constexpr size_t success_min_payload = 273;
constexpr size_t termination_min_payload = 11;
constexpr size_t request_min_payload = 281;

// What this driver sends unless told otherwise: whole data lines of 16 bytes.
constexpr size_t request_default_payload = 288;
constexpr size_t success_default_payload = 288;
constexpr size_t termination_default_payload = 16;

// Payload offsets (the driver's side of the event layouts).
constexpr size_t request_ndp_id_offset = 2;
constexpr size_t request_peer_offset = 4;
constexpr size_t request_responder_offset = 10;
constexpr size_t success_status_offset = 1;
constexpr size_t success_peer_offset = 5;
constexpr size_t success_responder_offset = 11;
constexpr size_t termination_reason_offset = 1;
constexpr size_t termination_peer_offset = 5;
// Byte 0 of success and termination carries the data-path id: the daemon does not read it.
constexpr size_t success_ndp_id_offset = 0;
constexpr size_t termination_ndp_id_offset = 0;

constexpr size_t dump_bytes_per_line = 16;

// A log line that ends what streams started later print (earlier entries stay in the file).
constexpr const char* clear_mark = "C\n";

enum class entry_kind {
    vendor,    // a vendor event with its data
    prefixed,  // another event of an interface: "<iface> (phy #N): <text>"
    raw,       // a line printed as it is, without time stamp
};

struct event_entry {
    entry_kind kind = entry_kind::vendor;
    bool newer_form = false;  // vendor: header and first data line joined
    unsigned vendor_id = realtek_vendor_id;
    unsigned subcmd = 0;
    std::string iface = "nan0";
    int phy = 0;
    std::vector<unsigned char> payload;
    std::string text;  // prefixed and raw: no line feed inside
};

std::string encode_entry(const event_entry& entry);
bool decode_entry(const std::string& line, event_entry* entry);

// The entry as `iw event` prints it; with timestamps "SECONDS.MICROSECONDS: " leads the first
// line, with dump_data the vendor data follow as "vendor event: " lines.
std::string format_entry(const event_entry& entry, bool timestamps, bool dump_data,
                         const timespec& now);

// The caller holds the state lock.
bool append_event_locked(const std::string& state, const event_entry& entry);

std::vector<unsigned char> request_payload(const unsigned char peer[6], unsigned char ndp_id,
                                           const unsigned char responder[6], size_t length);
std::vector<unsigned char> success_payload(const unsigned char peer[6], unsigned char status,
                                           unsigned char ndp_id, const unsigned char responder[6],
                                           size_t length);
std::vector<unsigned char> termination_payload(const unsigned char peer[6], unsigned char reason,
                                               unsigned char ndp_id, size_t length);

}  // namespace wifisim
