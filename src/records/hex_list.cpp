#include <cstring>

#include "srvc_info.hpp"
#include "vendor_values.hpp"
#include "log.hpp"

namespace {
constexpr char list_separator = ',';
}

int parse_hex_list(const char* text, uint8_t* dest, size_t count) {
    if (count == 0) return 0;
    if (text == nullptr) return -1;
    size_t stored = 0;
    const char* piece = text;
    for (size_t element = 0; element < count; ++element) {
        uint32_t value = 0;
        // The digits stop at the separator, so the piece needs no cutting.
        if (read_hex_number(piece, &value)) {
            log_out("%d: pattern[%d] = %x\n", static_cast<int>(element), static_cast<int>(stored),
                   value);
            if (value <= octet_max) dest[stored++] = static_cast<uint8_t>(value);
        }
        const char* separator = strchr(piece, list_separator);
        if (separator == nullptr) break;
        piece = separator + 1;
    }
    return stored == count ? 0 : -1;
}

size_t srv_info_element_count(const char* text) {
    size_t separators = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p == list_separator) ++separators;
    }
    return separators == 0 ? 0 : separators + 1;
}
