// pasn_start: starts a PASN exchange with a NAN peer (10-byte record, subcommand 0x1908).
#include "vendor_frame.hpp"

namespace {

constexpr size_t role_offset = 0;
constexpr size_t type_offset = 1;
constexpr size_t peer_nmi_offset = 2;  // 6 bytes
constexpr size_t auth_method_offset = 8;
constexpr size_t nik_caching_offset = 9;

constexpr vendor_keyword pasn_start_keyword = {
    "pasn_start", "Error: pasn_start - invalid parameter: %s!\n", pasn_start_subcmd,
    pasn_start_record_size};

// Unlike data_end and followup, type here is a plain integer.
constexpr field_key pasn_start_keys[] = {
    {.key = "role", .kind = field_kind::int8, .offset = role_offset,
     .requires_message = "Error: role requires an integer value!\n"},
    {.key = "type", .kind = field_kind::int8, .offset = type_offset,
     .requires_message = "Error: type requires an integer value!\n"},
    {.key = "peer_nmi", .kind = field_kind::mac, .offset = peer_nmi_offset,
     .requires_message = "Error: peer_nmi requires MAC address!\n",
     .invalid_format = "Error: Invalid peer_nmi MAC address: %s\n"},
    {.key = "auth_method", .kind = field_kind::int8, .offset = auth_method_offset,
     .requires_message = "Error: auth_method requires an integer value!\n"},
    {.key = "nik_caching", .kind = field_kind::int8, .offset = nik_caching_offset,
     .requires_message = "Error: nik_caching requires an integer value!\n"},
};

}  // namespace

int handle_pasn_start(const char* params) {
    vendor_frame frame(pasn_start_keyword, params);
    uint8_t record[pasn_start_record_size] = {};
    for (const char* key = frame.next_token(); key != nullptr; key = frame.next_token()) {
        int result = read_field_key(frame, key, pasn_start_keys, record);
        if (result == key_not_in_table) return frame.invalid_parameter(key);
        if (result != 0) return result;
    }
    return frame.send(record);
}
