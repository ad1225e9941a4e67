#include "log_text.hpp"

size_t escape_for_log(const char* data, size_t length, char* out) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    for (size_t i = 0; i < length; ++i) {
        const unsigned char byte = static_cast<unsigned char>(data[i]);
        if (byte == '\\' || byte == '\r' || byte == '\n') {
            out[at++] = '\\';
            out[at++] = byte == '\\' ? '\\' : (byte == '\r' ? 'r' : 'n');
        } else if (byte >= 0x20 && byte < 0x7F) {
            out[at++] = static_cast<char>(byte);
        } else {
            out[at++] = '\\';
            out[at++] = 'x';
            out[at++] = hex[byte >> 4];
            out[at++] = hex[byte & 0x0F];
        }
    }
    out[at] = '\0';
    return at;
}
