// parse_param in both modes, and the config_write command built from whatever it accepts.
// The first byte picks the mode; the rest is the parameter text.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "param_store.hpp"
#include "shell_oracle.hpp"

namespace {

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz_parse_param: %s\n", what);
        abort();
    }
}

bool terminated(const char* field, size_t size) { return memchr(field, '\0', size) != nullptr; }

std::string raw_record_text(const param_record& r) {
    return std::string("name:") + r.name + " pmk:" + r.pmk + " password:" + r.password + " hostname:" + r.hostname;
}

// Whatever form the record is in, every value it validated with fits the command and reaches
// fw_setenv as its plain value.
void check_command(const param_record& r, bool escaped) {
    char command[config_write_command_size];
    int rc = build_config_write_command(r, escaped, command, sizeof(command));
    check(rc == 0, "a validated record does not make a command");
    std::string argument;
    check(shell_double_quoted_argument(command, argument), "command would expand or break its quoting");
    check(argument == (escaped ? plain_record_text(r) : raw_record_text(r)), "shell would hand fw_setenv other bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    bool escape = (data[0] & 1) != 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);

    param_record dest;
    memset(&dest, 0x5A, sizeof(dest));
    param_record before = dest;
    int rc = parse_param(text.c_str(), &dest, escape);
    check(rc <= 0 && rc >= param_bad_name, "result code out of range");
    if (rc != 0) {
        check(memcmp(&dest, &before, sizeof(dest)) == 0, "destination written on error");
        return 0;
    }
    check(terminated(dest.name, sizeof(dest.name)) && terminated(dest.pmk, sizeof(dest.pmk)) &&
              terminated(dest.password, sizeof(dest.password)) &&
              terminated(dest.hostname, sizeof(dest.hostname)),
          "field without terminator");
    check(strlen(dest.name) <= name_max_length, "name too long");
    // The length rule is on the value as typed; an escaped copy may be up to twice as long.
    size_t password_length = escape ? unescaped(dest.password).size() : strlen(dest.password);
    check(password_length <= password_max_length, "password too long");

    // The stored text of an accepted record parses back to the same record.
    if (!escape) {
        char stored[param_text_size + 64];
        snprintf(stored, sizeof(stored), PARAM_TEXT_FORMAT, dest.name, dest.pmk, dest.password, dest.hostname);
        param_record again{};
        if (dest.hostname[0] != '\0' && dest.name[0] != '\0') {
            check(parse_param(stored, &again, false) == 0, "stored form does not parse back");
            check(memcmp(&again, &dest, sizeof(dest)) == 0, "stored form parses to another record");
        }
    }
    check_command(dest, escape);
    return 0;
}
