#include "log_text.hpp"

#include <cstdio>

namespace {

bool printable(unsigned char byte) { return byte >= 0x20 && byte < 0x7F; }

bool named_escape(unsigned char byte) { return byte == '\\' || byte == '\r' || byte == '\n'; }

size_t shown_width(unsigned char byte) {
    if (named_escape(byte)) return 2;
    return printable(byte) ? 1 : 4;
}

// Escapes whole bytes while the text stays within room; *taken counts the bytes escaped.
size_t escape_within(const char* data, size_t length, char* out, size_t room, size_t* taken) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    size_t i = 0;
    for (; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (at + shown_width(byte) > room) break;
        if (named_escape(byte)) {
            out[at++] = '\\';
            out[at++] = byte == '\\' ? '\\' : (byte == '\r' ? 'r' : 'n');
        } else if (printable(byte)) {
            out[at++] = static_cast<char>(byte);
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = hex[byte >> 4];
            out[at++] = hex[byte & 0x0F];
        }
    }
    out[at] = '\0';
    *taken = i;
    return at;
}

}  // namespace

size_t client_text_for_log(const char* data, size_t length, char* out, size_t room) {
    size_t whole = 0;
    const size_t fits = escape_within(data, length, out, room, &whole);
    if (whole == length) return fits;
    // The tail's length with both counts as long as they can be.
    const int tail = snprintf(nullptr, 0, " ... (%zu bytes, %zu shown)", length, length);
    if (tail < 0 || static_cast<size_t>(tail) >= room) return 0;
    size_t shown = 0;
    const size_t at = escape_within(data, length, out, room - static_cast<size_t>(tail), &shown);
    const int n = snprintf(out + at, room + 1 - at, " ... (%zu bytes, %zu shown)", length, shown);
    return n < 0 ? at : at + static_cast<size_t>(n);
}
