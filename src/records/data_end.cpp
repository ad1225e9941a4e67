// data_end: ends a NAN data path (11-byte record, subcommand 0x1903).
#include "vendor_frame.hpp"

namespace {

constexpr size_t ndp_id_offset = 0;
constexpr size_t initiator_ndi_offset = 1;  // 6 bytes
constexpr size_t cast_type_offset = 7;
constexpr size_t status_offset = 8;
constexpr size_t mc_id_offset = 9;
constexpr size_t nmsg_id_offset = 10;
constexpr uint8_t cast_type_ucast = 0;

constexpr word_value cast_types[] = {{"ucast", cast_type_ucast}};

constexpr field_key data_end_keys[] = {
    {.key = "ndp_id", .kind = field_kind::int8, .offset = ndp_id_offset},
    {.key = "initiatorndi", .kind = field_kind::mac, .offset = initiator_ndi_offset,
     .invalid_format = "Error: Invalid %s MAC address: %s\n"},
    {.key = "type", .kind = field_kind::word, .offset = cast_type_offset, .words = cast_types,
     .requires_format = "Error: %s requires ucast value!\n",
     .invalid_format = "Error: Invalid %s value: %s (expected ucast)\n"},
    {.key = "status", .kind = field_kind::int8, .offset = status_offset},
    {.key = "mc_id", .kind = field_kind::int8, .offset = mc_id_offset},
    {.key = "nmsg_id", .kind = field_kind::int8, .offset = nmsg_id_offset},
};

}  // namespace

// The invalid-parameter text is the deployed one, spelling included: tools match on it.
extern constexpr vendor_keyword vendor_data_end = {
    .name = "data_end", .invalid_format = "Error: date_end - invalid parameter: %s!\n",
    .subcmd = data_end_subcmd, .record_size = data_end_record_size, .keys = data_end_keys};
