#include "vendor_values.hpp"

#include <cstdio>
#include <cstring>

#include "le_bytes.hpp"

namespace {

constexpr int64_t int32_limit_max = INT32_MAX;
constexpr int64_t int32_limit_min = INT32_MIN;
constexpr uint64_t uint32_limit = UINT32_MAX;
constexpr int decimal_base = 10;
constexpr int hex_base = 16;
constexpr char mac_separator = ':';

// White space as the C locale knows it; the daemon never changes locale.
bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

int hex_digit_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + decimal_base;
    if (c >= 'A' && c <= 'F') return c - 'A' + decimal_base;
    return -1;
}

// Skips white space and a sign; tells whether the sign was a minus.
const char* skip_space_and_sign(const char* text, bool* negative) {
    while (is_space(*text)) ++text;
    *negative = false;
    if (*text == '+' || *text == '-') {
        *negative = *text == '-';
        ++text;
    }
    return text;
}

}  // namespace

int32_t parse_int_value(const char* text) {
    if (text == nullptr) return 0;
    bool negative = false;
    const char* p = skip_space_and_sign(text, &negative);
    int64_t magnitude = 0;
    const int64_t limit = negative ? -int32_limit_min : int32_limit_max;
    for (; is_digit(*p); ++p) {
        magnitude = magnitude * decimal_base + (*p - '0');
        if (magnitude >= limit) {
            magnitude = limit;  // saturated: the remaining digits cannot bring it back
            break;
        }
    }
    return static_cast<int32_t>(negative ? -magnitude : magnitude);
}

void store_int8(uint8_t* field, const char* text) {
    *field = static_cast<uint8_t>(static_cast<uint32_t>(parse_int_value(text)));
}

void store_int16(uint8_t* field, const char* text) {
    put_le16(field, static_cast<uint16_t>(static_cast<uint32_t>(parse_int_value(text))));
}

bool read_hex_number(const char* text, uint32_t* value) {
    bool negative = false;
    const char* p = skip_space_and_sign(text, &negative);
    // The prefix counts only when a digit follows it; otherwise its 0 is the number.
    if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && hex_digit_value(p[2]) >= 0) p += 2;
    if (hex_digit_value(*p) < 0) return false;
    uint64_t magnitude = 0;
    for (; hex_digit_value(*p) >= 0; ++p) {
        magnitude = magnitude * hex_base + static_cast<uint64_t>(hex_digit_value(*p));
        if (magnitude > uint32_limit) {
            *value = UINT32_MAX;
            return true;
        }
    }
    uint32_t low = static_cast<uint32_t>(magnitude);
    *value = negative ? 0U - low : low;
    return true;
}

int parse_mac_addr(uint8_t* mac, const char* text) {
    if (text == nullptr) return -1;
    const char* piece = text;
    for (size_t octet = 0; octet < mac_addr_octets; ++octet) {
        uint32_t value = 0;
        // The digits stop at the separator, so the piece needs no cutting.
        if (!read_hex_number(piece, &value) || value > octet_max) return -1;
        mac[octet] = static_cast<uint8_t>(value);
        const char* separator = strchr(piece, mac_separator);
        if (separator == nullptr) return octet + 1 == mac_addr_octets ? 0 : -1;
        piece = separator + 1;
    }
    return 0;
}

void format_hex_bytes(char* out, size_t size, const uint8_t* bytes, size_t count) {
    if (size == 0) return;
    out[0] = '\0';
    size_t used = 0;
    for (size_t i = 0; i < count && used + hex_dump_chars_per_byte < size; ++i) {
        snprintf(out + used, size - used, "%02x ", bytes[i]);
        used += hex_dump_chars_per_byte;
    }
}
