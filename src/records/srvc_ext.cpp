// srvc_ext: the extended settings of the published NAN service (402-byte record, subcommand
// 0x1900). NAN bring-up sends it once with the data-path security.
#include <cstdio>
#include <cstring>

#include "le_bytes.hpp"
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

constexpr vendor_keyword srvc_ext_keyword = {
    "srvc_ext", "Error: srvc ext info - invalid parameter: %s!\n", srvc_ext_subcmd,
    srvc_ext_record_size};

constexpr word_value disc_functions[] = {{"followup", 0}, {"gas", 1}};
constexpr word_value data_path_types[] = {{"ndp", 0}};

constexpr field_key srvc_ext_keys[] = {
    {.key = "period", .kind = field_kind::int8, .offset = period_offset,
     .requires_message = "Error: period requires an integer value!\n"},
    {.key = "event", .kind = field_kind::int8, .offset = event_offset,
     .requires_message = "Error: event requires an integer value!\n"},
    {.key = "proximity", .kind = field_kind::flag, .offset = proximity_offset},
    {.key = "data_path", .kind = field_kind::flag, .offset = data_path_offset},
    {.key = "awake_dw_int", .kind = field_kind::int8, .offset = awake_dw_int_offset,
     .requires_message = "Error: awake_dw_int requires an integer value!\n"},
    {.key = "further_srvc_disc", .kind = field_kind::flag, .offset = further_srvc_disc_offset},
    {.key = "further_srvc_disc_func", .kind = field_kind::word,
     .offset = further_srvc_disc_func_offset,
     .requires_message = "Error: further_srvc_disc_func requires followup/gas!\n",
     .invalid_format = "Error: Invalid further_srvc_disc_func value: %s\n",
     .invalid_result = vendor_result_syntax, .words = disc_functions},
    {.key = "data_path_type", .kind = field_kind::word, .offset = data_path_type_offset,
     .requires_message = "Error: data_path_type requires ndp!\n",
     .invalid_format = "Error: data_path_type requires ndp!\n",
     .invalid_result = vendor_result_syntax, .words = data_path_types},
    {.key = "qos", .kind = field_kind::flag, .offset = qos_offset},
    {.key = "gtk", .kind = field_kind::flag, .offset = gtk_offset},
    {.key = "csid", .kind = field_kind::int16, .offset = csid_offset,
     .requires_message = "Error: csid requires integer value!\n"},
    {.key = "npk_nik", .kind = field_kind::flag, .offset = npk_nik_offset},
};

// The PMK goes to the driver as its 32 characters of text, not decoded.
int read_sec_pmk(vendor_frame& frame, uint8_t* record) {
    const char* value = frame.next_token();
    if (value == nullptr || strlen(value) != pmk_length)
        return missing_value("Error: sec_pmk requires 32-character string!\n");
    record[security_present_offset] = 1;
    memcpy(record + pmk_offset, value, pmk_length);
    return 0;
}

int read_sec_password(vendor_frame& frame, uint8_t* record) {
    const char* value = frame.next_token();
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

int read_srv_id(vendor_frame& frame, uint8_t* record) {
    const char* value = frame.next_token();
    if (value == nullptr) return missing_value("Error: srv_id requires hex string!\n");
    if (parse_hex_list(value, record + srv_id_offset, srv_id_length) != 0) {
        log_err("Error: Invalid srv_id: %s\n", value);
        return vendor_result_rejected;
    }
    return 0;
}

// A bootstrapping method also marks bootstrapping and NPK/NIK as present.
int read_bstrap_method(vendor_frame& frame, uint8_t* record) {
    const char* value = frame.next_token();
    if (value == nullptr) return missing_value("Error: bstrap_method requires integer value!\n");
    record[bstrap_present_offset] = 1;
    record[npk_nik_offset] = 1;
    store_int16(record + bstrap_method_offset, value);
    return 0;
}

int read_service_text(vendor_frame& frame, const char* key, srvc_info_params& input) {
    if (strcmp(key, "srv_name") == 0) {
        return read_text_value(frame, input.service_name, srv_name_max,
                               "Error: Invalid srv_name (len: %ld > %d)\n");
    }
    if (strcmp(key, "srv_inst") == 0) {
        return read_text_value(frame, input.service_instance, srv_inst_max,
                               "Error: Invalid srv_inst (len: %ld > %d)\n");
    }
    if (strcmp(key, "srv_text") == 0) {
        return read_text_value(frame, input.text_info, srv_text_max,
                               "Error: Invalid srv_text (len: %ld > %d)\n");
    }
    return key_not_in_table;
}

int read_srvc_ext_key(vendor_frame& frame, const char* key, uint8_t* record,
                      srvc_info_params& input) {
    if (strcmp(key, "sec_pmk") == 0) return read_sec_pmk(frame, record);
    if (strcmp(key, "sec_password") == 0) return read_sec_password(frame, record);
    if (strcmp(key, "srv_id") == 0) return read_srv_id(frame, record);
    if (strcmp(key, "bstrap_method") == 0) return read_bstrap_method(frame, record);
    int result = read_service_text(frame, key, input);
    if (result != key_not_in_table) return result;
    return read_field_key(frame, key, srvc_ext_keys, record);
}

}  // namespace

int handle_srvc_ext(const char* params) {
    vendor_frame frame(srvc_ext_keyword, params);
    uint8_t record[srvc_ext_record_size] = {};
    srvc_info_params input;
    clear_srvc_info(input);
    for (const char* key = frame.next_token(); key != nullptr; key = frame.next_token()) {
        int result = read_srvc_ext_key(frame, key, record, input);
        if (result == key_not_in_table) return frame.invalid_parameter(key);
        if (result != 0) return result;
    }
    finish_service_info(input, record + srvc_info_offset, record + srvc_info_length_offset);
    return frame.send(record);
}
