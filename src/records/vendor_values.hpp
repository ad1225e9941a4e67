#pragma once
// How the vendor keywords read their values: decimal integers that keep their low-order bits,
// hexadecimal numbers as the MAC and byte-list pieces write them, and MAC addresses.
//
// The readers are written out by hand rather than left to strtol/strtoul, whose results differ
// between a 64-bit host and the 32-bit board (long is 32-bit there); the rules below are the
// board's.
#include <cstddef>
#include <cstdint>

constexpr size_t mac_addr_octets = 6;
constexpr uint32_t octet_max = 0xff;

// Signed decimal: optional leading white space, an optional sign, then digits up to the first
// other character. Text without leading digits gives 0; values outside the 32-bit signed range
// saturate at its limits.
int32_t parse_int_value(const char* text);

// Fields keep the low-order bits of the value ("300" stores 44, "-1" stores 255).
void store_int8(uint8_t* field, const char* text);
void store_int16(uint8_t* field, const char* text);  // little-endian

// Hexadecimal: optional leading white space, an optional sign, an optional 0x or 0X prefix, then
// hexadecimal digits up to the first other character. Returns false when no digit was read.
// The value wraps as on the board: a negative number gives its 32-bit two's complement, a
// magnitude above 32 bits saturates at 0xffffffff.
bool read_hex_number(const char* text, uint32_t* value);

// Six octets separated by ':' (each 0 to 0xff, optional 0x prefix; characters after a piece's
// digits are ignored; a seventh piece and anything after it are ignored). Returns 0 when six
// octets were read, -1 otherwise; on failure some octets may already have been stored.
int parse_mac_addr(uint8_t* mac, const char* text);

// The bytes as a dump line shows them: each as two lower-case digits and a blank. Stops where
// out (size bytes, NUL included) is full, so a caller sizes it hex_dump_chars_per_byte per byte
// and one for the NUL.
constexpr size_t hex_dump_chars_per_byte = 3;
void format_hex_bytes(char* out, size_t size, const uint8_t* bytes, size_t count);
