// data_req: asks the driver to set up a NAN data path to a peer as initiator (410-byte record,
// subcommand 0x1901).
#include <algorithm>
#include <cstring>

#include "le_bytes.hpp"
#include "service_info_keys.hpp"
#include "log.hpp"

namespace {

constexpr size_t req_type_offset = 0;
constexpr size_t rsp_nan_mac_offset = 1;  // 6 bytes
constexpr size_t sec_offset = 7;
constexpr size_t cast_type_offset = 8;
constexpr size_t publish_id_offset = 9;
constexpr size_t mcast_addr_offset = 10;  // 6 bytes
constexpr size_t min_duration_offset = 16;
constexpr size_t max_latency_offset = 18;  // 16-bit
constexpr size_t mrole_sched_ratio_offset = 22;
constexpr size_t srvc_info_offset = 23;          // srvc_info_area_size bytes
constexpr size_t srvc_info_length_offset = 278;  // 16-bit
constexpr size_t sec_type_offset = 280;
constexpr size_t sec_key_offset = 281;  // 127 bytes
constexpr size_t sec_key_length_offset = 408;
static_assert(srvc_info_offset + srvc_info_area_size == srvc_info_length_offset);
static_assert(sec_key_length_offset + 2 == data_req_record_size);

constexpr uint8_t sec_type_pmk = 1;
constexpr uint8_t sec_type_passphrase = 2;
constexpr uint8_t sec_type_pairing = 3;
constexpr size_t pmk_length = 32;
constexpr size_t passphrase_max = 64;

constexpr word_value request_types[] = {{"ndp", 0}};
constexpr word_value cast_types[] = {{"ucast", 0}};

// The PMK and the passphrase share one key area; a later, shorter key leaves the tail of an
// earlier one in place and the key length says how much of the area counts.
void store_key(uint8_t* record, uint8_t type, const char* key, size_t length) {
    record[sec_type_offset] = type;
    memcpy(record + sec_key_offset, key, length);
    record[sec_key_length_offset] = static_cast<uint8_t>(length);
}

// Exactly 32 characters are a PMK whatever they are; otherwise only "pairing", which sets the
// security type alone.
int read_sec_pmk(const char* value, uint8_t* record) {
    if (value == nullptr)
        return missing_value("Error: sec_pmk requires 32-char string or 'pairing'!\n");
    if (strlen(value) == pmk_length) {
        store_key(record, sec_type_pmk, value, pmk_length);
        return 0;
    }
    if (strcmp(value, "pairing") == 0) {
        record[sec_type_offset] = sec_type_pairing;
        return 0;
    }
    log_err("Error: the length of sec_pmk is not 32 (value: %s)!\n", value);
    return vendor_result_syntax;
}

int read_sec_password(const char* value, uint8_t* record) {
    if (value == nullptr) return missing_value("Error: sec_password requires passphrase!\n");
    size_t length = strlen(value);
    if (length > passphrase_max) {
        log_err("Error: sec_password too long (len: %ld > %d)!\n",
                static_cast<long>(length), static_cast<int>(passphrase_max));
        return vendor_result_syntax;
    }
    store_key(record, sec_type_passphrase, value, length);
    return 0;
}

// A refused list does not stop data_req: the values read so far stay and the request still
// goes out. A list of more than 255 elements is refused too, keeping its first 255 values.
int read_srv_info(const char* value, uint8_t* record) {
    if (value == nullptr)
        return missing_value("Error: srv_info requires hex string (comma delimited)!\n");
    size_t count = announce_srv_info_count(value);
    size_t kept = std::min(count, srvc_info_area_size);
    put_le16(record + srvc_info_length_offset, static_cast<uint16_t>(kept));
    bool accepted = parse_hex_list(value, record + srvc_info_offset, kept) == 0;
    if (!accepted || kept != count) report_invalid_srv_info(value);
    return 0;
}

constexpr field_key data_req_keys[] = {
    {.key = "req_type", .kind = field_kind::word, .offset = req_type_offset,
     .words = request_types, .requires_format = "Error: %s requires ndp value!\n"},
    {.key = "rsp_nan_mac", .kind = field_kind::mac, .offset = rsp_nan_mac_offset},
    {.key = "sec", .kind = field_kind::flag, .offset = sec_offset},
    {.key = "type", .kind = field_kind::word, .offset = cast_type_offset, .words = cast_types,
     .requires_format = "Error: %s requires ucast!\n",
     .invalid_format = "Error: %s requires ucast!\n"},
    {.key = "publish_id", .kind = field_kind::int8, .offset = publish_id_offset},
    {.key = "mcast_addr", .kind = field_kind::mac, .offset = mcast_addr_offset},
    {.key = "min_duration", .kind = field_kind::int8, .offset = min_duration_offset},
    {.key = "max_latency", .kind = field_kind::int16, .offset = max_latency_offset},
    {.key = "mrole_sched_ratio", .kind = field_kind::int8, .offset = mrole_sched_ratio_offset},
    {.key = "sec_pmk", .kind = field_kind::custom, .read = read_sec_pmk},
    {.key = "sec_password", .kind = field_kind::custom, .read = read_sec_password},
    {.key = "srv_info", .kind = field_kind::custom, .read = read_srv_info},
};

}  // namespace

extern constexpr vendor_keyword vendor_data_req = {
    .name = "data_req", .invalid_format = "Error: data_req - invalid parameter: %s!\n",
    .subcmd = data_req_subcmd, .record_size = data_req_record_size, .keys = data_req_keys,
    .shared_keys = service_info_keys, .service_info = true,
    .srvc_info_offset = srvc_info_offset, .srvc_info_length_offset = srvc_info_length_offset};
