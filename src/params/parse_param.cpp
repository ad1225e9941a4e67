// Parameter text validation. The text is walked in place (items are spans of it), so the
// routine needs no copy of its own, no heap and no bound on the text's length.
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

void plain_copy(span value, char* field, size_t field_size) {
    memset(field, 0, field_size);
    size_t n = value.length < field_size - 1 ? value.length : field_size - 1;
    memcpy(field, value.text, n);
}

int copy_value(span value, char* field, size_t field_size, bool escape) {
    if (escape) return escape_copy(value.text, value.length, field, field_size);
    plain_copy(value, field, field_size);
    return param_ok;
}

int check_name(const char* name) {
    size_t length = strlen(name);
    if (length < name_min_length || length > name_max_length) return param_bad_name;
    for (size_t i = 0; i < length; ++i) {
        char c = name[i];
        if (!ascii_alnum(c) && c != '_' && c != '.' && c != '-') return param_bad_name;
    }
    return param_ok;
}

// The pmk rule looks at the value as the client wrote it, not at the escaped or cut copy.
int check_pmk(const char* stored, span value) {
    if (stored[0] != '\0' && value.length != pmk_length) return param_bad_pmk;
    return param_ok;
}

int check_password(const char* stored) {
    size_t length = strlen(stored);
    if (length == 0) return param_ok;
    if (length < password_min_length || length > password_max_length) return param_bad_password;
    return param_ok;
}

int check_hostname(const char* hostname) {
    constexpr size_t suffix_length = sizeof(hostname_suffix) - 1;
    size_t length = strlen(hostname);
    if (length < hostname_min_length || length > hostname_max_length) return param_bad_hostname;
    size_t label_length = length - suffix_length;
    if (strcmp(hostname + label_length, hostname_suffix) != 0) return param_bad_hostname;
    if (hostname[0] == '-' || hostname[label_length - 1] == '-') return param_bad_hostname;
    for (size_t i = 0; i < label_length; ++i) {
        if (!ascii_alnum(hostname[i]) && hostname[i] != '-') return param_bad_hostname;
    }
    return param_ok;
}

int store_item(span item, param_record& work, bool escape) {
    const char* colon = static_cast<const char*>(memchr(item.text, key_separator, item.length));
    if (colon == nullptr) return param_invalid_format;
    span key{item.text, static_cast<size_t>(colon - item.text)};
    span value{colon + 1, item.length - key.length - 1};

    int rc;
    if (key_is(key, "name")) {
        rc = copy_value(value, work.name, sizeof(work.name), escape);
        return rc != param_ok ? rc : check_name(work.name);
    }
    if (key_is(key, "pmk")) {
        rc = copy_value(value, work.pmk, sizeof(work.pmk), escape);
        return rc != param_ok ? rc : check_pmk(work.pmk, value);
    }
    if (key_is(key, "password")) {
        rc = copy_value(value, work.password, sizeof(work.password), escape);
        return rc != param_ok ? rc : check_password(work.password);
    }
    if (key_is(key, "hostname")) {
        rc = copy_value(value, work.hostname, sizeof(work.hostname), escape);
        return rc != param_ok ? rc : check_hostname(work.hostname);
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
    const char* p = text;
    for (;;) {
        while (*p == item_separator) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && *p != item_separator) ++p;
        ++items;
        int rc = store_item(span{start, static_cast<size_t>(p - start)}, work, escape);
        if (rc != param_ok) return rc;
    }
    if (items != param_item_count) return param_missing_field;

    *dest = work;
    return param_ok;
}
