// The common frame of the vendor keyword handlers.
#include "vendor_frame.hpp"

#include <cstdio>
#include <cstring>

#include "vendor_values.hpp"
#include "log.hpp"

vendor_frame::vendor_frame(const vendor_keyword& keyword, const char* params) : keyword_(keyword) {
    log_out("\n=== Executing %s custom logic ===\n", keyword_.name);
    log_out("Original parameters: %s\n", params != nullptr ? params : "none");
    memset(work_, 0, sizeof work_);
    if (params != nullptr) strncpy(work_, params, sizeof work_ - 1);
}

const char* vendor_frame::next_token() {
    char* start = started_ ? nullptr : work_;
    started_ = true;
    return strtok_r(start, vendor_token_separators, &save_);
}

int vendor_frame::invalid_parameter(const char* token) const {
    log_err(keyword_.invalid_format, token);
    return vendor_result_syntax;
}

int vendor_frame::send(const uint8_t* record) const {
    log_out("Sending %s data (struct size: %zu bytes)\n", keyword_.name, keyword_.record_size);
    // The dump is one line, built whole: other threads print while a record is sent.
    char dump[largest_record_size * hex_dump_chars_per_byte + 1];
    format_hex_bytes(dump, sizeof dump, record, keyword_.record_size);
    log_out("\n%s\n", dump);
    int result = active_vendor_transport().send(keyword_.subcmd, record, keyword_.record_size);
    if (result != 0) {
        log_err("Error: Failed to send %s data via vendor command!\n", keyword_.name);
        return result;
    }
    log_out("=== %s custom logic execution completed successfully ===\n", keyword_.name);
    return vendor_result_sent;
}

int missing_value(const char* message) {
    log_err("%s", message);
    return vendor_result_syntax;
}

namespace {

const field_key* find_key(std::span<const field_key> keys, const char* key) {
    for (const field_key& entry : keys) {
        if (strcmp(entry.key, key) == 0) return &entry;
    }
    return nullptr;
}

int store_word(const field_key& entry, const char* value, uint8_t* record) {
    for (const word_value& choice : entry.words) {
        if (strcmp(choice.word, value) == 0) {
            record[entry.offset] = choice.value;
            return 0;
        }
    }
    log_err(entry.invalid_format, value);
    return entry.invalid_result;
}

int store_value(const field_key& entry, const char* value, uint8_t* record) {
    switch (entry.kind) {
    case field_kind::int8:
        store_int8(record + entry.offset, value);
        return 0;
    case field_kind::int16:
        store_int16(record + entry.offset, value);
        return 0;
    case field_kind::mac:
        if (parse_mac_addr(record + entry.offset, value) == 0) return 0;
        log_err(entry.invalid_format, value);
        return vendor_result_rejected;
    case field_kind::word:
        return store_word(entry, value, record);
    case field_kind::flag:
        break;
    }
    return 0;
}

}  // namespace

int read_field_key(vendor_frame& frame, const char* key, std::span<const field_key> keys,
                   uint8_t* record) {
    const field_key* entry = find_key(keys, key);
    if (entry == nullptr) return key_not_in_table;
    if (entry->kind == field_kind::flag) {
        record[entry->offset] = 1;
        return 0;
    }
    const char* value = frame.next_token();
    if (value == nullptr) return missing_value(entry->requires_message);
    return store_value(*entry, value, record);
}

int read_text_value(vendor_frame& frame, char* field, size_t max_length, const char* invalid_format) {
    const char* value = frame.next_token();
    size_t length = value != nullptr ? strlen(value) : 0;
    if (value == nullptr || length > max_length) {
        log_err(invalid_format, static_cast<long>(length), static_cast<int>(max_length));
        return vendor_result_rejected;
    }
    memset(field, 0, max_length + 1);
    memcpy(field, value, length);
    return 0;
}
