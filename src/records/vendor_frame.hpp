#pragma once
// The frame every vendor keyword handler shares: banner and "Original parameters" line, a cut
// work copy of the parameter text tokenised on blanks, the keyword's invalid-parameter message,
// and the sending line, hex dump, send and result line at the end.
#include <cstddef>
#include <cstdint>
#include <span>

#include "vendor_cmd.hpp"

constexpr size_t vendor_params_size = 1024;  // work copy: at most 1023 characters
constexpr char vendor_token_separators[] = " ";  // blanks only; tabs belong to the token

struct vendor_keyword {
    const char* name;            // in the banner, sending, send-failure and completion lines
    const char* invalid_format;  // the keyword's own invalid-parameter message, with the token
    int subcmd;
    size_t record_size;
};

class vendor_frame {
public:
    // Prints the banner and the original parameters ("none" when absent).
    vendor_frame(const vendor_keyword& keyword, const char* params);
    vendor_frame(const vendor_frame&) = delete;
    vendor_frame& operator=(const vendor_frame&) = delete;

    // The next token, or nullptr when they are used up.
    const char* next_token();
    // Prints the keyword's invalid-parameter message with the token; returns -1.
    int invalid_parameter(const char* token) const;
    // Prints the sending line and the record's bytes, sends it through the active transport and
    // prints the completion or send-failure line. Returns the transport's result.
    int send(const uint8_t* record) const;

private:
    const vendor_keyword& keyword_;
    char work_[vendor_params_size];
    char* save_ = nullptr;
    bool started_ = false;
};

// Prints a key's "requires" message on standard error; returns -1.
int missing_value(const char* message);

// Keys that fill one field of the record the same way in every keyword.
enum class field_kind { flag, int8, int16, mac, word };

struct word_value {
    const char* word;
    uint8_t value;
};

struct field_key {
    const char* key;
    field_kind kind;
    size_t offset;
    const char* requires_message = nullptr;  // the key is the last token
    const char* invalid_format = nullptr;    // mac, word: printed with the value text
    int invalid_result = vendor_result_rejected;
    std::span<const word_value> words = {};  // word: the accepted words, compared exactly
};

constexpr int key_not_in_table = 1;

// Reads one key of the table with its value into the record. Returns 0, -1 or 2 as the handlers
// do, or key_not_in_table when the key is not one of the table's.
int read_field_key(vendor_frame& frame, const char* key, std::span<const field_key> keys,
                   uint8_t* record);

// Reads the next token into a text field of max_length characters (the field holds one more for
// the terminator). A missing or longer value prints invalid_format with its length (0 when
// missing) and max_length, and gives 2.
int read_text_value(vendor_frame& frame, char* field, size_t max_length, const char* invalid_format);
