// srvc_ext: the extended settings of the published NAN service (402-byte record, subcommand
// 0x1900). NAN bring-up sends it once with the data-path security.
#include <cstddef>
#include <cstring>

#include "vendor_frame.hpp"
#include "log.hpp"

namespace {

constexpr size_t period_offset = 1;
constexpr size_t event_offset = 2;
constexpr size_t proximity_offset = 3;
constexpr size_t awake_dw_int_offset = 4;
constexpr size_t further_srvc_disc_offset = 5;
constexpr size_t further_srvc_disc_func_offset = 6;
constexpr size_t data_path_offset = 7;
constexpr size_t data_path_type_offset = 8;
constexpr size_t qos_offset = 9;
constexpr size_t security_present_offset = 10;
constexpr size_t passphrase_offset = 11;  // passphrase_max bytes
constexpr size_t passphrase_length_offset = 76;
constexpr size_t pmk_offset = 77;  // pmk_length bytes, the text itself
constexpr size_t gtk_offset = 125;
constexpr size_t srv_id_offset = 132;  // srv_id_length bytes
constexpr size_t srvc_info_offset = 138;         // srvc_info_area_size bytes
constexpr size_t srvc_info_length_offset = 394;  // 16-bit
constexpr size_t csid_offset = 396;              // 16-bit
constexpr size_t bstrap_present_offset = 398;
constexpr size_t npk_nik_offset = 399;
constexpr size_t bstrap_method_offset = 400;  // 16-bit
static_assert(srvc_info_offset + srvc_info_area_size < srvc_info_length_offset);
static_assert(bstrap_method_offset + 2 == srvc_ext_record_size);

constexpr size_t passphrase_max = 64;
constexpr size_t pmk_length = 32;
constexpr size_t srv_id_length = 6;

constexpr word_value disc_functions[] = {{"followup", 0}, {"gas", 1}};
constexpr word_value data_path_types[] = {{"ndp", 0}};

// The PMK goes to the driver as its 32 characters of text, not decoded.
int read_sec_pmk(const char* value, uint8_t* record) {
    if (value == nullptr || strlen(value) != pmk_length)
        return missing_value("Error: sec_pmk requires 32-character string!\n");
    record[security_present_offset] = 1;
    memcpy(record + pmk_offset, value, pmk_length);
    return 0;
}

int read_sec_password(const char* value, uint8_t* record) {
    size_t length = value != nullptr ? strlen(value) : 0;
    if (value == nullptr || length > passphrase_max) {
        log_err("Error: sec_password invalid (len > %d)!\n", static_cast<int>(passphrase_max));
        return vendor_result_syntax;
    }
    record[security_present_offset] = 1;
    memset(record + passphrase_offset, 0, passphrase_max);
    memcpy(record + passphrase_offset, value, length);
    record[passphrase_length_offset] = static_cast<uint8_t>(length);
    return 0;
}

int read_srv_id(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: srv_id requires hex string!\n");
    if (parse_hex_list(value, record + srv_id_offset, srv_id_length) != 0) {
        log_err("Error: Invalid srv_id: %s\n", value);
        return vendor_result_rejected;
    }
    return 0;
}

// A bootstrapping method also marks bootstrapping and NPK/NIK as present.
int read_bstrap_method(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: bstrap_method requires integer value!\n");
    record[bstrap_present_offset] = 1;
    record[npk_nik_offset] = 1;
    store_int16(record + bstrap_method_offset, value);
    return 0;
}

constexpr field_key srvc_ext_keys[] = {
    {.key = "period", .kind = field_kind::int8, .offset = period_offset},
    {.key = "event", .kind = field_kind::int8, .offset = event_offset},
    {.key = "proximity", .kind = field_kind::flag, .offset = proximity_offset},
    {.key = "data_path", .kind = field_kind::flag, .offset = data_path_offset},
    {.key = "awake_dw_int", .kind = field_kind::int8, .offset = awake_dw_int_offset},
    {.key = "further_srvc_disc", .kind = field_kind::flag, .offset = further_srvc_disc_offset},
    {.key = "further_srvc_disc_func", .kind = field_kind::word,
     .offset = further_srvc_disc_func_offset, .words = disc_functions,
     .requires_format = "Error: %s requires followup/gas!\n"},
    {.key = "data_path_type", .kind = field_kind::word, .offset = data_path_type_offset,
     .words = data_path_types, .requires_format = "Error: %s requires ndp!\n",
     .invalid_format = "Error: %s requires ndp!\n"},
    {.key = "qos", .kind = field_kind::flag, .offset = qos_offset},
    {.key = "gtk", .kind = field_kind::flag, .offset = gtk_offset},
    {.key = "csid", .kind = field_kind::int16, .offset = csid_offset,
     .requires_format = "Error: %s requires integer value!\n"},
    {.key = "npk_nik", .kind = field_kind::flag, .offset = npk_nik_offset},
    {.key = "sec_pmk", .kind = field_kind::custom, .read = read_sec_pmk},
    {.key = "sec_password", .kind = field_kind::custom, .read = read_sec_password},
    {.key = "srv_id", .kind = field_kind::custom, .read = read_srv_id},
    {.key = "bstrap_method", .kind = field_kind::custom, .read = read_bstrap_method},
    {.key = "srv_name", .kind = field_kind::text,
     .offset = offsetof(srvc_info_params, service_name), .max_length = srv_name_max},
    {.key = "srv_inst", .kind = field_kind::text,
     .offset = offsetof(srvc_info_params, service_instance), .max_length = srv_inst_max},
    {.key = "srv_text", .kind = field_kind::text,
     .offset = offsetof(srvc_info_params, text_info), .max_length = srv_text_max},
};

}  // namespace

extern constexpr vendor_keyword vendor_srvc_ext = {
    .name = "srvc_ext", .invalid_format = "Error: srvc ext info - invalid parameter: %s!\n",
    .subcmd = srvc_ext_subcmd, .record_size = srvc_ext_record_size, .keys = srvc_ext_keys,
    .service_info = true, .srvc_info_offset = srvc_info_offset,
    .srvc_info_length_offset = srvc_info_length_offset};
