#pragma once
// Shared pieces of the event module's tests: a stepped monotonic clock, `iw event -t -f` text in
// both real forms, a recording keyword dispatcher and stand-in `iw` programs on the search path.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "common/temp_dir.hpp"
#include "mono_clock.hpp"
#include "nan_event.hpp"

namespace event_test {

// ---- clock ----

class stepped_clock : public mono_clock_source {
public:
    int64_t now_us() override { return now_us_; }
    void advance_s(int64_t seconds) { now_us_ += seconds * 1000000; }
    void advance_us(int64_t microseconds) { now_us_ += microseconds; }

private:
    int64_t now_us_ = 1000LL * 1000000;  // well past zero, like a clock since boot
};

// ---- payloads ----

using bytes = std::vector<uint8_t>;
using mac_bytes = std::vector<uint8_t>;  // six bytes

// A connection_request payload: data-path id at 2, peer at 4, responder at 10.
inline bytes request_payload(uint8_t ndp_id, const mac_bytes& peer, const mac_bytes& responder,
                             size_t size = 288) {
    bytes p(size < 16 ? 16 : size, 0);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(0x80 + i % 64);
    p[2] = ndp_id;
    for (size_t i = 0; i < 6; ++i) p[4 + i] = peer[i];
    for (size_t i = 0; i < 6; ++i) p[10 + i] = responder[i];
    p.resize(size);
    return p;
}

// A connection_success (confirm) or connection_termination payload: code at 1, peer at 5,
// responder (success only) at 11.
inline bytes peer_payload(uint8_t code, const mac_bytes& peer, const mac_bytes& responder,
                          size_t size) {
    bytes p(size, 0x33);
    if (p.size() > 1) p[1] = code;
    for (size_t i = 0; i < 6 && 5 + i < size; ++i) p[5 + i] = peer[i];
    for (size_t i = 0; i < 6 && 11 + i < size; ++i) p[11 + i] = responder[i];
    return p;
}

// ---- iw event text ----

constexpr size_t bytes_per_line = 16;

inline std::string header_prefix() { return "1712345678.123456: nan0 (phy #0): "; }

// As iw prints the data: "vendor event: " and each byte as two digits and a blank.
inline std::string data_text(const bytes& payload, size_t from, size_t count) {
    std::string text = "vendor event: ";
    char pair[4];
    for (size_t i = from; i < from + count && i < payload.size(); ++i) {
        snprintf(pair, sizeof(pair), "%02x ", payload[i]);
        text += pair;
    }
    return text;
}

inline std::vector<std::string> data_lines(const bytes& payload, size_t from = 0) {
    std::vector<std::string> lines;
    for (size_t i = from; i < payload.size(); i += bytes_per_line)
        lines.push_back(data_text(payload, i, bytes_per_line));
    return lines;
}

// Older iw: the header alone, then the data lines, then one empty line.
inline std::vector<std::string> older_event(int subcommand, const bytes& payload) {
    std::vector<std::string> lines{header_prefix() + "vendor event 00e04c:" +
                                   std::to_string(subcommand)};
    for (std::string& line : data_lines(payload)) lines.push_back(std::move(line));
    lines.emplace_back("");
    return lines;
}

// Newer iw: header and the first data line joined, the rest, then two empty lines.
inline std::vector<std::string> newer_event(int subcommand, const bytes& payload) {
    std::vector<std::string> lines{header_prefix() + "vendor event 00e04c:" +
                                   std::to_string(subcommand) +
                                   data_text(payload, 0, bytes_per_line)};
    for (std::string& line : data_lines(payload, bytes_per_line)) lines.push_back(std::move(line));
    lines.emplace_back("");
    lines.emplace_back("");
    return lines;
}

// ---- keyword dispatch ----

class recording_dispatcher : public keyword_dispatcher {
public:
    int execute(const char* keyword, const char* params) override {
        calls.emplace_back(keyword, params);
        return 0;
    }
    std::vector<std::pair<std::string, std::string>> calls;
};

// ---- stand-in programs ----

// Puts a directory first on the search path for its lifetime (or makes it the whole path).
class path_guard {
public:
    explicit path_guard(const std::string& dir, bool only = false) {
        const char* old = getenv("PATH");
        had_path_ = old != nullptr;
        if (had_path_) old_ = old;
        std::string path = only || !had_path_ ? dir : dir + ":" + old_;
        setenv("PATH", path.c_str(), 1);
    }
    ~path_guard() {
        if (had_path_)
            setenv("PATH", old_.c_str(), 1);
        else
            unsetenv("PATH");
    }
    path_guard(const path_guard&) = delete;
    path_guard& operator=(const path_guard&) = delete;

private:
    bool had_path_ = false;
    std::string old_;
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline std::string joined_lines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\n";
    return text;
}

}  // namespace event_test
