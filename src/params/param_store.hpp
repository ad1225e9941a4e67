#pragma once
// The parameter record's home in the boot environment (variable vemuparam, read with
// fw_printenv, written with fw_setenv through the config_write keyword) and the version file.
#include <cstddef>

#include "keyword.hpp"
#include "param_record.hpp"

constexpr char vemuparam_command[] = "fw_printenv -n vemuparam";
constexpr char zqversion_command[] = "cat /etc/zqversion";
constexpr size_t version_text_size = 1024;          // at most 1023 characters of version text
constexpr size_t config_write_command_size = 762;   // the longest valid command is 753 characters

// Every read below runs its command through the table's runner under its iwset_mutex.

// Reads the version text into buf (cleared first). 0, or -1 when the command fails or prints
// nothing.
int get_zqversion(keyword_dispatch_table& keywords, char* buf, size_t size);

// Reads the stored text and validates it into current_param (values as stored). Takes
// param_mutex: the TCP server is already serving AT commands when start-up calls this.
// 0, or -1 after printing why.
int init_param(param_state& params, keyword_dispatch_table& keywords);

// Reads the stored text and validates it into current_param without escaping; prints
// "Failed to get parameter!" or "Failed to parse parameter!" and returns -1 on failure.
// The caller holds param_mutex.
int reload_current_param(param_state& params, keyword_dispatch_table& keywords);

// Builds fw_setenv vemuparam "<record text>" from a record in escaped form (escaped true: as an
// AT "config" command stores it) or in plain form (as read from the boot environment). Inside
// the double quotes every value character is literal: quotes, backslashes, dollar signs and
// backquotes get their backslash (an escaped record brings its own for the first two), so
// fw_setenv receives exactly the plain values. Returns 0, -1 when the command would not fit
// whole in size bytes (it is never cut: a cut record would stop the daemon at its next start),
// or -2 when an escaped record holds a quote or backslash that is not escaped. On failure the
// command is left empty.
int build_config_write_command(const param_record& record, bool escaped, char* command, size_t size);
constexpr int config_command_too_long = -1;
constexpr int config_command_unescaped = -2;

// Handler of keyword "config_write": queues the fw_setenv command built from current_param, in
// whichever form it holds.
// Runs under iwset_mutex inside the dispatcher; its caller (the AT handler) holds param_mutex.
class config_write_keyword final : public keyword_handler {
public:
    explicit config_write_keyword(const param_state& params) : params_(params) {}
    int collect(const char* params, command_batch& batch, int* count) override;

private:
    const param_state& params_;
};
