#pragma once
// The four device parameters, their one-line text form and the validator that turns a text
// into a record. The same text travels in the boot environment and in the AT "config" command.
#include <pthread.h>

#include <cstddef>

constexpr size_t param_name_size = 261;
constexpr size_t param_pmk_size = 69;
constexpr size_t param_password_size = 136;
constexpr size_t param_hostname_size = 266;

struct param_record {
    char name[param_name_size];
    char pmk[param_pmk_size];
    char password[param_password_size];
    char hostname[param_hostname_size];
};

// Every buffer that holds a parameter text is as large as the record itself.
constexpr size_t param_text_size = 732;
static_assert(sizeof(param_record) == param_text_size, "param_record must stay 732 bytes");

// The stored form; parsing accepts the items in any order and keys in any case.
#define PARAM_TEXT_FORMAT "name:%s pmk:%s password:%s hostname:%s"

constexpr size_t param_item_count = 4;
constexpr size_t name_min_length = 1;
constexpr size_t name_max_length = 255;
constexpr size_t pmk_length = 32;
constexpr size_t password_min_length = 8;
constexpr size_t password_max_length = 63;
constexpr size_t hostname_min_length = 7;
constexpr size_t hostname_max_length = 256;
constexpr char hostname_suffix[] = ".local";

// parse_param results; the AT handler turns each into its error reply.
constexpr int param_ok = 0;
constexpr int param_invalid_format = -1;
constexpr int param_missing_field = -2;
constexpr int param_bad_pmk = -3;
constexpr int param_bad_password = -4;
constexpr int param_bad_hostname = -5;
constexpr int param_overflow = -6;
constexpr int param_bad_name = -7;

// The device's record as the daemon holds it. Guarded by param_mutex wherever the TCP server is
// already running (AT commands, and start-up's init_param, which runs after the server has
// started). Lock order: param_mutex, iwset_mutex, vendor_send_mutex.
struct param_state {
    pthread_mutex_t param_mutex = PTHREAD_MUTEX_INITIALIZER;
    param_record current_param{};
    // True while current_param holds the escaped form that an AT config left in it.
    bool current_param_escaped = false;
};

// Copies the record under param_mutex as plain values, with the escapes of an AT config
// removed, for readers outside the TCP server thread (NAN bring-up).
void copy_current_param_plain(param_state& params, param_record* out);

// Validates text into *dest. escape false keeps values as they are (cut to the field) and
// checks what is stored; this is how start-up reads the boot environment. escape true (an AT
// command) stores each '"' as \" and each '\' as \\ so the record can sit between double
// quotes in a shell command, checks the values as typed, refuses a value that does not fit (-6)
// and a text that does not name each of the four keys exactly once (-2). Every text accepted with
// escape true is thus, once the shell has undone the escapes, accepted again with escape false.
// *dest is written, whole, only when the result is 0.
int parse_param(const char* text, param_record* dest, bool escape);

// The escaping copy of one value into a field of field_size bytes: 0, or -6 when the escaped
// value and its terminating NUL do not fit. The field is cleared first.
int escape_copy(const char* value, size_t value_length, char* field, size_t field_size);
