// The text info of a generic service info: items separated by '|', alternately one byte and
// one text, so the user can write length-prefixed strings such as 0x05|hello|3|abc.
#include <cctype>
#include <cstring>

#include "srvc_info.hpp"
#include "vendor_values.hpp"
#include "log.hpp"

namespace {

// The tokeniser also splits at blanks, which a value cannot hold anyway.
constexpr const char* text_info_separators = "| ";

// "0x" followed by a hexadecimal number, or else the decimal value; its low 8 bits.
uint8_t byte_item_value(const char* item) {
    uint32_t hex = 0;
    if (item[0] == '0' && item[1] == 'x' && isxdigit(static_cast<unsigned char>(item[2])) != 0 &&
        read_hex_number(item + 2, &hex))
        return static_cast<uint8_t>(hex);
    return static_cast<uint8_t>(static_cast<uint32_t>(parse_int_value(item)));
}

}  // namespace

size_t convert_text_info(char* text, uint8_t* out) {
    char* save = nullptr;
    char* item = strtok_r(text, text_info_separators, &save);
    size_t length = 0;
    while (item != nullptr) {
        out[length++] = byte_item_value(item);
        item = strtok_r(nullptr, text_info_separators, &save);
        if (item == nullptr) break;
        size_t text_length = strlen(item);
        if (length + text_length > text_info_out_size) {
            log_out("cvert text info err! str is too long, len(%ld) > out_buf_len(%d)\n",
                   static_cast<long>(length + text_length), static_cast<int>(text_info_out_size));
            break;
        }
        memcpy(out + length, item, text_length);
        length += text_length;
        item = strtok_r(nullptr, text_info_separators, &save);
        if (item == nullptr) break;
        if (length >= text_info_out_size) {
            log_out("cvert text info err! str is too long, len(%d) > out_buf_len(%d)\n",
                   static_cast<int>(length + 1), static_cast<int>(text_info_out_size));
            break;
        }
    }
    return length;
}
