// followup: a NAN follow-up message to a peer, plain or bootstrapping (16-byte record,
// subcommand 0x1906).
#include <cstring>

#include "vendor_frame.hpp"
#include "log.hpp"

namespace {

constexpr size_t message_type_offset = 0;
constexpr size_t remote_id_offset = 1;
constexpr size_t local_id_offset = 2;
constexpr size_t remote_mac_offset = 3;  // 6 bytes
constexpr size_t bstrap_byte_offset = 9;  // bits 0-3 type, bits 4-7 status
constexpr size_t bstrap_method_offset = 12;  // 16-bit
constexpr size_t sec_key_type_offset = 14;

constexpr uint8_t message_type_bstrap = 2;
constexpr uint8_t message_type_request = 3;
constexpr uint8_t message_type_response = 4;
constexpr uint8_t bstrap_type_req = 1;
constexpr uint8_t bstrap_type_rsp = 2;
constexpr int32_t bstrap_status_max = 2;
constexpr uint8_t nibble_mask = 0x0f;
constexpr unsigned status_shift = 4;

constexpr word_value message_types[] = {{"bstrap", message_type_bstrap},
                                        {"request", message_type_request},
                                        {"response", message_type_response}};

// Each bootstrapping key changes only its own nibble, so their order does not matter.
int read_bstrap_type(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: bstrap_type requires rsp/req!\n");
    uint8_t type = 0;
    if (strcmp(value, "rsp") == 0) {
        type = bstrap_type_rsp;
    } else if (strcmp(value, "req") == 0) {
        type = bstrap_type_req;
    } else {
        log_err("Error: followup: bstrap_type with invalid value: %s!\n", value);
        return vendor_result_rejected;
    }
    uint8_t& byte = record[bstrap_byte_offset];
    byte = static_cast<uint8_t>((byte & ~nibble_mask) | type);
    return 0;
}

int read_bstrap_status(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: bstrap_status requires an integer value!\n");
    int32_t status = parse_int_value(value);
    if (status > bstrap_status_max) {
        log_err("Error: followup: bstrap_status with invalid value: %d!\n", status);
        return vendor_result_rejected;
    }
    uint8_t& byte = record[bstrap_byte_offset];
    uint8_t high = static_cast<uint8_t>((static_cast<uint32_t>(status) & nibble_mask) << status_shift);
    byte = static_cast<uint8_t>((byte & nibble_mask) | high);
    return 0;
}

// A bootstrapping method makes the message a bootstrapping one; the later of type and
// bstrap_method decides the message type.
int read_bstrap_method(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: bstrap_method requires an integer value!\n");
    record[message_type_offset] = message_type_bstrap;
    store_int16(record + bstrap_method_offset, value);
    return 0;
}

constexpr field_key followup_keys[] = {
    {.key = "rmt_id", .kind = field_kind::int8, .offset = remote_id_offset},
    {.key = "local_id", .kind = field_kind::int8, .offset = local_id_offset},
    {.key = "rmt_mac", .kind = field_kind::mac, .offset = remote_mac_offset,
     .invalid_format = "Error: Invalid %s MAC address: %s\n"},
    {.key = "type", .kind = field_kind::word, .offset = message_type_offset,
     .words = message_types, .requires_format = "Error: %s requires bstrap/request/response!\n",
     .invalid_format = "Error: followup: %s with invalid value: %s!\n",
     .invalid_result = vendor_result_rejected},
    {.key = "sec_key_type", .kind = field_kind::int8, .offset = sec_key_type_offset},
    {.key = "bstrap_type", .kind = field_kind::custom, .read = read_bstrap_type},
    {.key = "bstrap_status", .kind = field_kind::custom, .read = read_bstrap_status},
    {.key = "bstrap_method", .kind = field_kind::custom, .read = read_bstrap_method},
};

}  // namespace

extern constexpr vendor_keyword vendor_followup = {
    .name = "followup", .invalid_format = "Error: followup: invalid param: %s!\n",
    .subcmd = followup_subcmd, .record_size = followup_record_size, .keys = followup_keys};
