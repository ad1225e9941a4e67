#pragma once
// The simulated board's state directory, as the stand-in programs and the test side share it.
// Every change happens under one file lock (STATE/.lock), so stand-ins run side by side (the
// daemon's shell commands, its `iw event` child, a test injecting events) without tearing a file.
#include <string>
#include <vector>

namespace wifisim {

constexpr const char* board_env_name = "NANVIDEO_BOARD";

// Files and directories below the state directory.
constexpr const char* lock_file = ".lock";
constexpr const char* call_log_file = "calls.log";
constexpr const char* failures_file = "failures";
constexpr const char* wifi_dir = "wifi";
constexpr const char* driver_file = "wifi/driver";
constexpr const char* events_file = "wifi/events";
constexpr const char* records_dir = "records";
constexpr const char* records_index_file = "records/index";
constexpr const char* real_tools_dir = "real";

std::string state_path(const std::string& state, const char* below);

// Exclusive flock on STATE/.lock for the lifetime of the object.
class state_lock {
public:
    explicit state_lock(const std::string& state);
    state_lock(const state_lock&) = delete;
    state_lock& operator=(const state_lock&) = delete;
    ~state_lock();
    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

bool read_whole_file(const std::string& path, std::string* out);
// Writes a sibling file and renames it over the path, so a reader sees the old or the new text.
bool write_file_replacing(const std::string& path, const std::string& data);
// One write with O_APPEND (created when missing).
bool append_to_file(const std::string& path, const std::string& data);

// Call log: one line per call, the argv elements separated by one blank, each element escaped
// so that any text survives: backslash, blank, tab and line feed become "\\", "\ ", "\t", "\n",
// and an empty element is written as "\0".
std::string escape_argument(const std::string& argument);
std::vector<std::string> split_escaped_line(const std::string& line);
std::string call_log_line(int argc, char* const argv[]);

// The text failure rules are matched against: the program's base name and its arguments,
// joined by single blanks ("iw phy0 interface add nan0 type __nan").
std::string command_text(int argc, char* const argv[]);

// One line of STATE/failures: "<remaining> <exit_status> <stall> <pattern>". remaining < 0
// means for ever; exit_status < 0 means death by signal -exit_status. stall 1: the call hangs
// (after it is logged) until the rule is released, then fails as told, or with exit_status 0 does
// its work. The pattern is an fnmatch pattern.
struct failure_rule {
    long remaining = 0;
    int exit_status = 1;
    bool stall = false;
    std::string pattern;
};
std::vector<failure_rule> parse_failure_rules(const std::string& text);
std::string format_failure_rules(const std::vector<failure_rule>& rules);

// The caller holds the state lock. The first rule with calls left whose pattern matches takes one call.
// Returns true and the rule when the call is to fail.
bool take_failure_locked(const std::string& state, const std::string& text, failure_rule* hit);
// The caller holds the state lock. True while a stalling rule with this pattern is in place.
bool stall_in_place_locked(const std::string& state, const std::string& pattern);

// Lower-case hexadecimal without separators, and back.
std::string to_hex(const std::vector<unsigned char>& bytes);
bool from_hex(const std::string& text, std::vector<unsigned char>* bytes);

// "aa:bb:cc:dd:ee:ff" (either case) into six bytes; false unless exactly six two-digit pieces.
bool parse_mac_text(const std::string& text, unsigned char mac[6]);
std::string format_mac(const unsigned char mac[6]);

}  // namespace wifisim
