#pragma once
// The daemon's status as the tool shows it: the "key=value" lines of a reply, read into numbers,
// and shown as a table for people or one JSON object for scripts. With an earlier reading the
// rates between the two are shown too: frames per second off the bus, and out to each client
// that kept its connection.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct status_reading {
    std::vector<std::pair<std::string, uint64_t>> values;  // in the daemon's order
    int64_t at_ms = 0;                                     // when it was read (monotonic)

    std::optional<uint64_t> get(const std::string& key) const;
};

// The reply's lines ("\r\n" between them); false when one is not "key=number".
bool parse_status(const std::string& text, status_reading& reading);

// before: an earlier reading of the same daemon, or null.
std::string status_table(const status_reading& now, const status_reading* before);
std::string status_json(const status_reading& now, const status_reading* before);
