// data_rsp: answers a peer's NAN data-path request (284-byte record, subcommand 0x1902). The
// connection decision thread sends one for every request from an allowed peer.
#include <cstring>

#include "le_bytes.hpp"
#include "service_info_keys.hpp"

namespace {

constexpr size_t rsp_mode_offset = 0;
constexpr size_t ndl_rsp_offset = 1;
constexpr size_t data_path_id_offset = 2;
constexpr size_t publish_id_offset = 3;
constexpr size_t m4_rsp_type_offset = 4;
constexpr size_t cast_type_offset = 5;
constexpr size_t mc_id_offset = 6;
constexpr size_t initiator_data_address_offset = 7;  // 6 bytes
constexpr size_t mcast_addr_offset = 13;             // 6 bytes
constexpr size_t min_duration_offset = 20;
constexpr size_t max_latency_offset = 22;  // 16-bit
constexpr size_t mrole_sched_ratio_offset = 26;
constexpr size_t srvc_info_offset = 27;         // srvc_info_area_size bytes
constexpr size_t srvc_info_length_offset = 282;  // 16-bit
static_assert(srvc_info_offset + srvc_info_area_size == srvc_info_length_offset);
static_assert(srvc_info_length_offset + 2 == data_rsp_record_size);

constexpr vendor_keyword data_rsp_keyword = {
    "data_rsp", "Error: data_rsp info - invalid parameter: %s!\n", data_rsp_subcmd,
    data_rsp_record_size};

constexpr word_value rsp_modes[] = {{"peer", 0}, {"auto", 1}};
constexpr word_value ndl_responses[] = {{"reject", 1}, {"accept", 2}, {"counter", 3}};
constexpr word_value m4_responses[] = {{"Accept", 1}, {"Reject", 2}, {"BadMic", 3}};
constexpr word_value cast_types[] = {{"ucast", 0}};

constexpr field_key data_rsp_keys[] = {
    {.key = "rsp_mode", .kind = field_kind::word, .offset = rsp_mode_offset,
     .requires_message = "Error: rsp_mode requires peer/auto value!\n",
     .invalid_format = "Error: Invalid rsp_mode value: %s\n",
     .invalid_result = vendor_result_syntax, .words = rsp_modes},
    {.key = "ndl_rsp", .kind = field_kind::word, .offset = ndl_rsp_offset,
     .requires_message = "Error: ndl_rsp requires reject/accept/counter value!\n",
     .invalid_format = "Error: Invalid ndl_rsp value: %s\n",
     .invalid_result = vendor_result_syntax, .words = ndl_responses},
    {.key = "data_path_id", .kind = field_kind::int8, .offset = data_path_id_offset,
     .requires_message = "Error: data_path_id requires an integer value!\n"},
    {.key = "publish_id", .kind = field_kind::int8, .offset = publish_id_offset,
     .requires_message = "Error: publish_id requires an integer value!\n"},
    {.key = "m4_rsp_type", .kind = field_kind::word, .offset = m4_rsp_type_offset,
     .requires_message = "Error: m4_rsp_type requires Accept/Reject/BadMic!\n",
     .invalid_format = "Error: Invalid m4_rsp_type value: %s\n",
     .invalid_result = vendor_result_syntax, .words = m4_responses},
    {.key = "type", .kind = field_kind::word, .offset = cast_type_offset,
     .requires_message = "Error: type requires ucast!\n",
     .invalid_format = "Error: type requires ucast!\n",
     .invalid_result = vendor_result_syntax, .words = cast_types},
    {.key = "mc_id", .kind = field_kind::int8, .offset = mc_id_offset,
     .requires_message = "Error: mc_id requires an integer value!\n"},
    {.key = "initiator_data_address", .kind = field_kind::mac,
     .offset = initiator_data_address_offset,
     .requires_message = "Error: initiator_data_address requires MAC address!\n",
     .invalid_format = "Error: Invalid initiator_data_address: %s\n"},
    {.key = "mcast_addr", .kind = field_kind::mac, .offset = mcast_addr_offset,
     .requires_message = "Error: mcast_addr requires MAC address!\n",
     .invalid_format = "Error: Invalid mcast_addr: %s\n"},
    {.key = "min_duration", .kind = field_kind::int8, .offset = min_duration_offset,
     .requires_message = "Error: min_duration requires an integer value!\n"},
    {.key = "max_latency", .kind = field_kind::int16, .offset = max_latency_offset,
     .requires_message = "Error: max_latency requires an integer value!\n"},
    {.key = "mrole_sched_ratio", .kind = field_kind::int8, .offset = mrole_sched_ratio_offset,
     .requires_message = "Error: mrole_sched_ratio requires an integer value!\n"},
};

// A refused list stops data_rsp: an answer to a peer goes out as asked or not at all. A list of
// more than 255 elements cannot fit the area and is refused the same way.
int read_srv_info(vendor_frame& frame, uint8_t* record) {
    const char* value = frame.next_token();
    if (value == nullptr)
        return missing_value("Error: srv_info requires hex string (comma delimited)!\n");
    size_t count = announce_srv_info_count(value);
    if (count > srvc_info_area_size) {
        report_invalid_srv_info(value);
        return vendor_result_rejected;
    }
    put_le16(record + srvc_info_length_offset, static_cast<uint16_t>(count));
    if (parse_hex_list(value, record + srvc_info_offset, count) != 0) {
        report_invalid_srv_info(value);
        return vendor_result_rejected;
    }
    return 0;
}

int read_data_rsp_key(vendor_frame& frame, const char* key, uint8_t* record,
                      srvc_info_params& input) {
    if (strcmp(key, "srv_info") == 0) return read_srv_info(frame, record);
    int result = read_service_info_key(frame, key, input);
    if (result != key_not_in_table) return result;
    return read_field_key(frame, key, data_rsp_keys, record);
}

}  // namespace

int handle_data_rsp(const char* params) {
    vendor_frame frame(data_rsp_keyword, params);
    uint8_t record[data_rsp_record_size] = {};
    srvc_info_params input;
    clear_srvc_info(input);
    for (const char* key = frame.next_token(); key != nullptr; key = frame.next_token()) {
        int result = read_data_rsp_key(frame, key, record, input);
        if (result == key_not_in_table) return frame.invalid_parameter(key);
        if (result != 0) return result;
    }
    finish_service_info(input, record + srvc_info_offset, record + srvc_info_length_offset);
    return frame.send(record);
}
