// Parameter text validation. The text is walked in place (items are spans of it), so the
// routine needs no copy of its own, no heap and no bound on the text's length.
#include <cstddef>
#include <cstring>

#include "param_record.hpp"

namespace {

constexpr char item_separator = ' ';
constexpr char key_separator = ':';

struct span {
    const char* text;
    size_t length;
};

// The daemon never changes its locale, and bytes above 127 must be neither letters nor digits
// whether char is signed (x86-64) or unsigned (ARM): classify by ASCII ranges only.
char ascii_lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool ascii_alnum(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool key_is(span key, const char* word) {
    if (key.length != strlen(word)) return false;
    for (size_t i = 0; i < key.length; ++i) {
        if (ascii_lower(key.text[i]) != word[i]) return false;
    }
    return true;
}

int copy_value(span value, char* field, size_t field_size, bool escape) {
    if (escape) return escape_copy(value.text, value.length, field, field_size);
    memset(field, 0, field_size);
    size_t n = value.length < field_size - 1 ? value.length : field_size - 1;
    memcpy(field, value.text, n);
    return param_ok;
}

// Every check looks at the value the user typed: in escaping mode the record holds a backslash
// pair for each quote and backslash, which the shell turns back into one character when the
// record is written, so measuring the escaped copy would accept a value that start-up later
// refuses, and refuse a valid one.
int check_name(span name) {
    if (name.length < name_min_length || name.length > name_max_length) return param_bad_name;
    for (size_t i = 0; i < name.length; ++i) {
        char c = name.text[i];
        if (!ascii_alnum(c) && c != '_' && c != '.' && c != '-') return param_bad_name;
    }
    return param_ok;
}

int check_pmk(span pmk) {
    if (pmk.length != 0 && pmk.length != pmk_length) return param_bad_pmk;
    return param_ok;
}

int check_password(span password) {
    if (password.length == 0) return param_ok;
    if (password.length < password_min_length || password.length > password_max_length) return param_bad_password;
    return param_ok;
}

int check_hostname(span hostname) {
    constexpr size_t suffix_length = sizeof(hostname_suffix) - 1;
    if (hostname.length < hostname_min_length || hostname.length > hostname_max_length) return param_bad_hostname;
    size_t label_length = hostname.length - suffix_length;
    if (memcmp(hostname.text + label_length, hostname_suffix, suffix_length) != 0) return param_bad_hostname;
    if (hostname.text[0] == '-' || hostname.text[label_length - 1] == '-') return param_bad_hostname;
    for (size_t i = 0; i < label_length; ++i) {
        if (!ascii_alnum(hostname.text[i]) && hostname.text[i] != '-') return param_bad_hostname;
    }
    return param_ok;
}

// Which of the four keys an item named; a bit each, so a text that names one twice is seen.
enum param_key : unsigned { key_name = 1, key_pmk = 2, key_password = 4, key_hostname = 8 };
constexpr unsigned all_keys = key_name | key_pmk | key_password | key_hostname;

struct field_rule {
    const char* key;
    param_key bit;
    size_t offset;
    size_t size;
    int (*check)(span);
};

const field_rule field_rules[] = {
    {"name", key_name, offsetof(param_record, name), param_name_size, check_name},
    {"pmk", key_pmk, offsetof(param_record, pmk), param_pmk_size, check_pmk},
    {"password", key_password, offsetof(param_record, password), param_password_size, check_password},
    {"hostname", key_hostname, offsetof(param_record, hostname), param_hostname_size, check_hostname},
};

// The value as the checks see it: what the user typed in escaping mode, the stored (possibly
// cut) copy otherwise. The pmk rule has always looked at the value in the text, in both modes.
span checked_value(const field_rule& rule, span typed, const char* stored, bool escape) {
    if (escape || rule.bit == key_pmk) return typed;
    return span{stored, strlen(stored)};
}

int store_item(span item, param_record& work, bool escape, unsigned* seen) {
    const char* colon = static_cast<const char*>(memchr(item.text, key_separator, item.length));
    if (colon == nullptr) return param_invalid_format;
    span key{item.text, static_cast<size_t>(colon - item.text)};
    span value{colon + 1, item.length - key.length - 1};

    for (const field_rule& rule : field_rules) {
        if (!key_is(key, rule.key)) continue;
        char* field = reinterpret_cast<char*>(&work) + rule.offset;
        int rc = copy_value(value, field, rule.size, escape);
        if (rc != param_ok) return rc;
        *seen |= rule.bit;
        return rule.check(checked_value(rule, value, field, escape));
    }
    return param_invalid_format;
}

}  // namespace

int escape_copy(const char* value, size_t value_length, char* field, size_t field_size) {
    memset(field, 0, field_size);
    size_t room = field_size - 1;  // the terminating NUL always stays inside the field
    size_t written = 0;
    for (size_t i = 0; i < value_length; ++i) {
        char c = value[i];
        bool escaped = c == '"' || c == '\\';
        size_t needed = escaped ? 2 : 1;
        if (written + needed > room) return param_overflow;
        if (escaped) field[written++] = '\\';
        field[written++] = c;
    }
    return param_ok;
}

int parse_param(const char* text, param_record* dest, bool escape) {
    if (text == nullptr || dest == nullptr) return param_invalid_format;

    param_record work{};
    size_t items = 0;
    unsigned seen = 0;
    const char* p = text;
    for (;;) {
        while (*p == item_separator) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && *p != item_separator) ++p;
        ++items;
        int rc = store_item(span{start, static_cast<size_t>(p - start)}, work, escape, &seen);
        if (rc != param_ok) return rc;
    }
    if (items != param_item_count) return param_missing_field;
    // A record written from an AT command must name each key once: with one repeated, the
    // missing field would be stored empty and the device could not start with it. A stored
    // record keeps being read as it always was, so no device that starts today stops starting.
    if (escape && seen != all_keys) return param_missing_field;

    *dest = work;
    return param_ok;
}
