#pragma once
// The one parameter loop every vendor keyword handler shares: banner and "Original parameters"
// line, a cut work copy of the parameter text tokenised on blanks, each key looked up in the
// keyword's table and its value stored where the table says, the keyword's invalid-parameter
// message for an unknown key, and the sending line, hex dump, send and result line at the end.
#include <cstddef>
#include <cstdint>
#include <span>

#include "srvc_info.hpp"
#include "vendor_cmd.hpp"

constexpr size_t vendor_params_size = 1024;  // work copy: at most 1023 characters
constexpr char vendor_token_separators[] = " ";  // blanks only; tabs belong to the token

// How a key reads its value, and where it goes.
enum class field_kind {
    flag,    // no value: sets the record's byte at offset to 1
    int8,    // decimal into the record's byte at offset (low 8 bits)
    int16,   // decimal into the record's 16-bit field at offset (low 16 bits)
    mac,     // MAC address into the record's six bytes at offset
    word,    // one of words into the record's byte at offset
    text,    // a text of at most max_length characters into the service description, at offset
    port,    // decimal into the service description's port (low 16 bits)
    custom,  // read(): a key whose value fills more than one field or is checked its own way
};

struct word_value {
    const char* word;
    uint8_t value;
};

// Reads a custom key's value (nullptr when the key is the last token) into the record.
// Returns 0, vendor_result_syntax or vendor_result_rejected.
using key_reader = int (*)(const char* value, uint8_t* record);

// The messages are formats whose first argument is the key; nullptr takes the kind's usual one.
struct field_key {
    const char* key;
    field_kind kind;
    size_t offset = 0;                       // text: offsetof a srvc_info_params field
    std::span<const word_value> words = {};  // word: the accepted words, compared exactly
    size_t max_length = 0;                   // text
    key_reader read = nullptr;               // custom
    const char* requires_format = nullptr;   // int8, int16, mac, word, port: the key is last
    const char* invalid_format = nullptr;    // mac, word: then the value
    int invalid_result = vendor_result_syntax;  // word: a value not among words
};

struct vendor_keyword {
    const char* name;            // in the banner, sending, send-failure and completion lines
    const char* invalid_format;  // the keyword's own invalid-parameter message, with the token
    int subcmd;
    size_t record_size;
    std::span<const field_key> keys;
    std::span<const field_key> shared_keys = {};  // looked up after keys
    // Records with a service-info area get the generic service info built from the text and
    // port keys after the last token.
    bool service_info = false;
    size_t srvc_info_offset = 0;         // srvc_info_area_size bytes
    size_t srvc_info_length_offset = 0;  // 16-bit
};

// Prints a custom key's "requires" message on standard error; returns vendor_result_syntax.
int missing_value(const char* message);
