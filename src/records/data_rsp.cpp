// data_rsp: answers a peer's NAN data-path request (284-byte record, subcommand 0x1902). The
// connection decision thread sends one for every request from an allowed peer.

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

constexpr word_value rsp_modes[] = {{"peer", 0}, {"auto", 1}};
constexpr word_value ndl_responses[] = {{"reject", 1}, {"accept", 2}, {"counter", 3}};
constexpr word_value m4_responses[] = {{"Accept", 1}, {"Reject", 2}, {"BadMic", 3}};
constexpr word_value cast_types[] = {{"ucast", 0}};

// A refused list stops data_rsp: an answer to a peer goes out as asked or not at all. A list of
// more than 255 elements cannot fit the area and is refused the same way.
int read_srv_info(const char* value, uint8_t* record) {
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

constexpr field_key data_rsp_keys[] = {
    {.key = "rsp_mode", .kind = field_kind::word, .offset = rsp_mode_offset, .words = rsp_modes,
     .requires_format = "Error: %s requires peer/auto value!\n"},
    {.key = "ndl_rsp", .kind = field_kind::word, .offset = ndl_rsp_offset, .words = ndl_responses,
     .requires_format = "Error: %s requires reject/accept/counter value!\n"},
    {.key = "data_path_id", .kind = field_kind::int8, .offset = data_path_id_offset},
    {.key = "publish_id", .kind = field_kind::int8, .offset = publish_id_offset},
    {.key = "m4_rsp_type", .kind = field_kind::word, .offset = m4_rsp_type_offset,
     .words = m4_responses, .requires_format = "Error: %s requires Accept/Reject/BadMic!\n"},
    {.key = "type", .kind = field_kind::word, .offset = cast_type_offset, .words = cast_types,
     .requires_format = "Error: %s requires ucast!\n",
     .invalid_format = "Error: %s requires ucast!\n"},
    {.key = "mc_id", .kind = field_kind::int8, .offset = mc_id_offset},
    {.key = "initiator_data_address", .kind = field_kind::mac,
     .offset = initiator_data_address_offset},
    {.key = "mcast_addr", .kind = field_kind::mac, .offset = mcast_addr_offset},
    {.key = "min_duration", .kind = field_kind::int8, .offset = min_duration_offset},
    {.key = "max_latency", .kind = field_kind::int16, .offset = max_latency_offset},
    {.key = "mrole_sched_ratio", .kind = field_kind::int8, .offset = mrole_sched_ratio_offset},
    {.key = "srv_info", .kind = field_kind::custom, .read = read_srv_info},
};

}  // namespace

extern constexpr vendor_keyword vendor_data_rsp = {
    .name = "data_rsp", .invalid_format = "Error: data_rsp info - invalid parameter: %s!\n",
    .subcmd = data_rsp_subcmd, .record_size = data_rsp_record_size, .keys = data_rsp_keys,
    .shared_keys = service_info_keys, .service_info = true,
    .srvc_info_offset = srvc_info_offset, .srvc_info_length_offset = srvc_info_length_offset};
