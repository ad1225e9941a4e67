#include "vendor_frame.hpp"

#include <cstring>

#include "vendor_values.hpp"
#include "log.hpp"

namespace {

// Prints the sending line and the record's bytes, sends it through transport and prints the
// completion or send-failure line. Returns the transport's result.
int send_record(const vendor_keyword& keyword, const uint8_t* record,
                vendor_transport& transport) {
    log_out("Sending %s data (struct size: %zu bytes)\n", keyword.name, keyword.record_size);
    // The dump is one line, built whole: other threads print while a record is sent.
    char dump[largest_record_size * hex_dump_chars_per_byte + 1];
    format_hex_bytes(dump, sizeof dump, record, keyword.record_size);
    log_out("\n%s\n", dump);
    int result = transport.send(keyword.subcmd, record, keyword.record_size);
    if (result != 0) {
        log_err("Error: Failed to send %s data via vendor command!\n", keyword.name);
        return result;
    }
    log_out("=== %s custom logic execution completed successfully ===\n", keyword.name);
    return vendor_result_sent;
}

const field_key* find_key(std::span<const field_key> keys, const char* key) {
    for (const field_key& entry : keys) {
        if (strcmp(entry.key, key) == 0) return &entry;
    }
    return nullptr;
}

const field_key* find_key(const vendor_keyword& keyword, const char* key) {
    const field_key* entry = find_key(keyword.keys, key);
    return entry != nullptr ? entry : find_key(keyword.shared_keys, key);
}

const char* missing_value_format(const field_key& entry) {
    if (entry.requires_format != nullptr) return entry.requires_format;
    return entry.kind == field_kind::mac ? "Error: %s requires MAC address!\n"
                                         : "Error: %s requires an integer value!\n";
}

const char* bad_value_format(const field_key& entry) {
    if (entry.invalid_format != nullptr) return entry.invalid_format;
    return entry.kind == field_kind::mac ? "Error: Invalid %s: %s\n"
                                         : "Error: Invalid %s value: %s\n";
}

int store_word(const field_key& entry, const char* value, uint8_t* record) {
    for (const word_value& choice : entry.words) {
        if (strcmp(choice.word, value) == 0) {
            record[entry.offset] = choice.value;
            return 0;
        }
    }
    log_err(bad_value_format(entry), entry.key, value);
    return entry.invalid_result;
}

// A missing or longer value prints its length (0 when missing) and the limit; the field holds
// one more character for the terminator.
int store_text(const field_key& entry, const char* value, srvc_info_params& service) {
    size_t length = value != nullptr ? strlen(value) : 0;
    if (value == nullptr || length > entry.max_length) {
        log_err("Error: Invalid %s (len: %ld > %d)\n", entry.key, static_cast<long>(length),
                static_cast<int>(entry.max_length));
        return vendor_result_rejected;
    }
    char* field = reinterpret_cast<char*>(&service) + entry.offset;
    memset(field, 0, entry.max_length + 1);
    memcpy(field, value, length);
    return 0;
}

// A key whose value is an integer, MAC address or word: the value must be there.
int store_value(const field_key& entry, const char* value, uint8_t* record,
                srvc_info_params& service) {
    if (value == nullptr) {
        log_err(missing_value_format(entry), entry.key);
        return vendor_result_syntax;
    }
    switch (entry.kind) {
    case field_kind::int8:
        store_int8(record + entry.offset, value);
        return 0;
    case field_kind::int16:
        store_int16(record + entry.offset, value);
        return 0;
    case field_kind::mac:
        if (parse_mac_addr(record + entry.offset, value) == 0) return 0;
        log_err(bad_value_format(entry), entry.key, value);
        return vendor_result_rejected;
    case field_kind::word:
        return store_word(entry, value, record);
    case field_kind::port:
        service.port = static_cast<uint16_t>(static_cast<uint32_t>(parse_int_value(value)));
        return 0;
    case field_kind::flag:
    case field_kind::text:
    case field_kind::custom:
        break;
    }
    return 0;
}

// Takes the key's value, if it has one, as the next token after save.
int read_key(const field_key& entry, char** save, uint8_t* record, srvc_info_params& service) {
    if (entry.kind == field_kind::flag) {
        record[entry.offset] = 1;
        return 0;
    }
    const char* value = strtok_r(nullptr, vendor_token_separators, save);
    if (entry.kind == field_kind::text) return store_text(entry, value, service);
    if (entry.kind == field_kind::custom) return entry.read(value, record);
    return store_value(entry, value, record, service);
}

}  // namespace

int run_vendor_keyword(const vendor_keyword& keyword, const char* params,
                       vendor_transport& transport) {
    log_out("\n=== Executing %s custom logic ===\n", keyword.name);
    log_out("Original parameters: %s\n", params != nullptr ? params : "none");
    char work[vendor_params_size] = {};
    if (params != nullptr) strncpy(work, params, sizeof work - 1);
    uint8_t record[largest_record_size] = {};
    srvc_info_params service;
    clear_srvc_info(service);
    char* save = nullptr;
    for (const char* key = strtok_r(work, vendor_token_separators, &save); key != nullptr;
         key = strtok_r(nullptr, vendor_token_separators, &save)) {
        const field_key* entry = find_key(keyword, key);
        if (entry == nullptr) {
            log_err(keyword.invalid_format, key);
            return vendor_result_syntax;
        }
        int result = read_key(*entry, &save, record, service);
        if (result != 0) return result;
    }
    if (keyword.service_info) {
        finish_service_info(service, record + keyword.srvc_info_offset,
                            record + keyword.srvc_info_length_offset);
    }
    return send_record(keyword, record, transport);
}

int missing_value(const char* message) {
    log_err("%s", message);
    return vendor_result_syntax;
}
