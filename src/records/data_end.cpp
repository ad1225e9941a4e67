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

// The invalid-parameter text is the deployed one, spelling included: tools match on it.
constexpr vendor_keyword data_end_keyword = {
    "data_end", "Error: date_end - invalid parameter: %s!\n", data_end_subcmd,
    data_end_record_size};

constexpr word_value cast_types[] = {{"ucast", cast_type_ucast}};

constexpr field_key data_end_keys[] = {
    {.key = "ndp_id", .kind = field_kind::int8, .offset = ndp_id_offset,
     .requires_message = "Error: ndp_id requires an integer value!\n"},
    {.key = "initiatorndi", .kind = field_kind::mac, .offset = initiator_ndi_offset,
     .requires_message = "Error: initiatorndi requires MAC address!\n",
     .invalid_format = "Error: Invalid initiatorndi MAC address: %s\n"},
    {.key = "type", .kind = field_kind::word, .offset = cast_type_offset,
     .requires_message = "Error: type requires ucast value!\n",
     .invalid_format = "Error: Invalid type value: %s (expected ucast)\n",
     .invalid_result = vendor_result_syntax, .words = cast_types},
    {.key = "status", .kind = field_kind::int8, .offset = status_offset,
     .requires_message = "Error: status requires an integer value!\n"},
    {.key = "mc_id", .kind = field_kind::int8, .offset = mc_id_offset,
     .requires_message = "Error: mc_id requires an integer value!\n"},
    {.key = "nmsg_id", .kind = field_kind::int8, .offset = nmsg_id_offset,
     .requires_message = "Error: nmsg_id requires an integer value!\n"},
};

}  // namespace

int handle_data_end(const char* params) {
    vendor_frame frame(data_end_keyword, params);
    uint8_t record[data_end_record_size] = {};
    for (const char* key = frame.next_token(); key != nullptr; key = frame.next_token()) {
        int result = read_field_key(frame, key, data_end_keys, record);
        if (result == key_not_in_table) return frame.invalid_parameter(key);
        if (result != 0) return result;
    }
    return frame.send(record);
}
