// pasn_start: starts a PASN exchange with a NAN peer (10-byte record, subcommand 0x1908).
#include "vendor_frame.hpp"

namespace {

constexpr size_t role_offset = 0;
constexpr size_t type_offset = 1;
constexpr size_t peer_nmi_offset = 2;  // 6 bytes
constexpr size_t auth_method_offset = 8;
constexpr size_t nik_caching_offset = 9;

// Unlike data_end and followup, type here is a plain integer.
constexpr field_key pasn_start_keys[] = {
    {.key = "role", .kind = field_kind::int8, .offset = role_offset},
    {.key = "type", .kind = field_kind::int8, .offset = type_offset},
    {.key = "peer_nmi", .kind = field_kind::mac, .offset = peer_nmi_offset,
     .invalid_format = "Error: Invalid %s MAC address: %s\n"},
    {.key = "auth_method", .kind = field_kind::int8, .offset = auth_method_offset},
    {.key = "nik_caching", .kind = field_kind::int8, .offset = nik_caching_offset},
};

}  // namespace

extern constexpr vendor_keyword vendor_pasn_start = {
    .name = "pasn_start", .invalid_format = "Error: pasn_start - invalid parameter: %s!\n",
    .subcmd = pasn_start_subcmd, .record_size = pasn_start_record_size, .keys = pasn_start_keys};
