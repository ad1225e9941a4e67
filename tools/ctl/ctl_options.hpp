#pragma once
// The command line of nanvideoctl, parsed without global state so tests can parse many.
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t default_daemon_port = 554;
constexpr double default_timeout_s = 5;
constexpr double default_check_seconds = 10;
constexpr uint32_t largest_payload = 4096;
// A payload shorter than its marker cannot be found in a stream.
constexpr uint32_t smallest_checkable_length = 8;

enum class ctl_command { version, config_show, config_set, reset, updatefw, record, check, status };

struct ctl_options {
    bool help = false;
    std::string host;
    uint16_t port = default_daemon_port;
    double timeout_s = default_timeout_s;
    ctl_command command = ctl_command::version;
    std::string config_text;  // config_set
    std::string record_path;  // record; "-" is standard output
    double seconds = 0;       // record, check: 0 means no limit (record) or the default (check)
    uint64_t bytes = 0;       // record: 0 means no limit
    uint64_t frames = 0;      // check: 0 means no limit
    uint64_t seed = 0;        // check
    bool derived_length = false;
    uint32_t length = largest_payload;
    bool json = false;   // status: one JSON object instead of the table
    double watch_s = 0;  // status: read again every this many seconds; 0 reads once
};

// Fills options from the arguments after the program name. Returns false with a one-line
// message in error when they do not make a valid command.
bool parse_command_line(const std::vector<std::string>& args, ctl_options& options,
                        std::string& error);

// The help text, with the program name filled in.
std::string usage_text(const char* program);
