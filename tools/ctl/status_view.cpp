#include "status_view.hpp"

#include <cinttypes>
#include <cstdio>
#include <set>

namespace {

constexpr int status_client_slots = 4;
constexpr double ms_per_second = 1000.0;
constexpr int label_width = 26;

// The daemon-wide rows, in the order shown; keys the tool does not know come after them.
struct row {
    const char* key;
    const char* label;
};
const row daemon_rows[] = {
    {"spi_transfers", "SPI transfers"},
    {"spi_transfer_failures", "SPI transfers failed"},
    {"raw_queue_drops", "raw queue drops"},
    {"frames_stored", "frames stored"},
    {"frames_refused_sync", "frames refused: sync"},
    {"frames_refused_length", "frames refused: length"},
    {"frames_refused_crc", "frames refused: CRC"},
    {"sequence_gaps", "sequence gaps"},
    {"sequence_gap_frames", "frames missing at gaps"},
    {"ring_overwrites", "ring overwrites"},
    {"clients", "clients connected"},
    {"total_frames_sent", "frames sent, all clients"},
    {"total_bytes_sent", "bytes sent, all clients"},
    {"total_frames_skipped", "frames skipped, all"},
    {"total_timeouts", "send time-outs, all"},
    {"total_at_commands", "AT commands, all"},
    {"nan_peers_seen", "NAN peers seen"},
    {"nan_data_paths_answered", "NAN data paths answered"},
    {"nan_data_paths_refused", "NAN data paths refused"},
};
const char* const client_fields[] = {"connected",      "connection", "connected_s",
                                     "frames_sent",    "bytes_sent", "frames_skipped",
                                     "timeouts",       "at_commands"};
const char* const shown_apart[] = {"uptime_s", "bus_idle_s", "video_suspended"};

std::string client_key(int slot, const char* field) {
    return "client" + std::to_string(slot) + "_" + field;
}

uint64_t value_or_zero(const status_reading& r, const std::string& key) {
    return r.get(key).value_or(0);
}

std::string duration(uint64_t seconds) {
    char text[48];
    if (seconds >= 3600) {
        snprintf(text, sizeof text, "%" PRIu64 " h %02" PRIu64 " min %02" PRIu64 " s",
                 seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else if (seconds >= 60) {
        snprintf(text, sizeof text, "%" PRIu64 " min %02" PRIu64 " s", seconds / 60, seconds % 60);
    } else {
        snprintf(text, sizeof text, "%" PRIu64 " s", seconds);
    }
    return text;
}

std::string format_line(const std::string& label, const std::string& value) {
    char text[256];
    snprintf(text, sizeof text, "%-*s %s\n", label_width, label.c_str(), value.c_str());
    return text;
}

std::string one_decimal(double value) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", value);
    return text;
}

double elapsed_s(const status_reading& now, const status_reading& before) {
    return static_cast<double>(now.at_ms - before.at_ms) / ms_per_second;
}

// Frames per second between two readings of a counter; none when it went back (a restarted
// daemon) or no time passed.
std::optional<double> rate(const status_reading& now, const status_reading* before,
                           const std::string& key) {
    if (before == nullptr) return std::nullopt;
    const double seconds = elapsed_s(now, *before);
    const std::optional<uint64_t> a = before->get(key);
    const std::optional<uint64_t> b = now.get(key);
    if (seconds <= 0 || !a || !b || *b < *a) return std::nullopt;
    return static_cast<double>(*b - *a) / seconds;
}

// Frames out to the client in slot, when the same connection held it at both readings.
std::optional<double> client_rate(const status_reading& now, const status_reading* before,
                                  int slot) {
    if (before == nullptr) return std::nullopt;
    const std::string connected = client_key(slot, "connected");
    const std::string connection = client_key(slot, "connection");
    if (value_or_zero(now, connected) != 1 || value_or_zero(*before, connected) != 1 ||
        value_or_zero(now, connection) != value_or_zero(*before, connection))
        return std::nullopt;
    return rate(now, before, client_key(slot, "frames_sent"));
}

bool known_key(const std::string& key) {
    for (const row& r : daemon_rows)
        if (key == r.key) return true;
    for (const char* k : shown_apart)
        if (key == k) return true;
    for (int slot = 0; slot < status_client_slots; ++slot)
        for (const char* field : client_fields)
            if (key == client_key(slot, field)) return true;
    return false;
}

std::string client_table(const status_reading& now, const status_reading* before) {
    std::string text;
    char line[256];
    snprintf(line, sizeof line, "%-6s %10s %14s %12s %14s %8s %9s %8s %12s\n", "client",
             "connection", "connected", "frames sent", "bytes sent", "skipped", "time-outs",
             "commands", "frames/s out");
    text += line;
    for (int slot = 0; slot < status_client_slots; ++slot) {
        if (value_or_zero(now, client_key(slot, "connected")) != 1) {
            snprintf(line, sizeof line, "%-6d %10s\n", slot, "free");
            text += line;
            continue;
        }
        const std::optional<double> out = client_rate(now, before, slot);
        snprintf(line, sizeof line,
                 "%-6d %10" PRIu64 " %14s %12" PRIu64 " %14" PRIu64 " %8" PRIu64 " %9" PRIu64
                 " %8" PRIu64 " %12s\n",
                 slot, value_or_zero(now, client_key(slot, "connection")),
                 duration(value_or_zero(now, client_key(slot, "connected_s"))).c_str(),
                 value_or_zero(now, client_key(slot, "frames_sent")),
                 value_or_zero(now, client_key(slot, "bytes_sent")),
                 value_or_zero(now, client_key(slot, "frames_skipped")),
                 value_or_zero(now, client_key(slot, "timeouts")),
                 value_or_zero(now, client_key(slot, "at_commands")),
                 out ? one_decimal(*out).c_str() : "-");
        text += line;
    }
    return text;
}

}  // namespace

std::optional<uint64_t> status_reading::get(const std::string& key) const {
    for (const auto& [k, v] : values)
        if (k == key) return v;
    return std::nullopt;
}

bool parse_status(const std::string& text, status_reading& reading) {
    reading.values.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) end = text.size();
        const size_t equals = text.find('=', at);
        if (equals == std::string::npos || equals >= end || equals == at || equals + 1 == end)
            return false;
        for (size_t i = at; i < equals; ++i) {
            const char c = text[i];
            if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return false;
        }
        uint64_t value = 0;
        for (size_t i = equals + 1; i < end; ++i) {
            const char c = text[i];
            if (c < '0' || c > '9' || value > (UINT64_MAX - static_cast<uint64_t>(c - '0')) / 10)
                return false;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        reading.values.emplace_back(text.substr(at, equals - at), value);
        at = end + 2;
    }
    return !reading.values.empty();
}

std::string status_table(const status_reading& now, const status_reading* before) {
    std::string text;
    text += format_line("up", duration(value_or_zero(now, "uptime_s")));
    text += format_line("video", value_or_zero(now, "video_suspended") != 0
                                     ? "suspended (a client read the configuration)"
                                     : "streaming");
    text += format_line("bus idle", duration(value_or_zero(now, "bus_idle_s")));
    if (const std::optional<double> in = rate(now, before, "frames_stored"))
        text += format_line("frames/s in", one_decimal(*in));
    for (const row& r : daemon_rows) {
        if (const std::optional<uint64_t> v = now.get(r.key))
            text += format_line(r.label, std::to_string(*v));
    }
    for (const auto& [key, value] : now.values) {
        if (!known_key(key)) text += format_line(key, std::to_string(value));
    }
    text += "\n" + client_table(now, before);
    return text;
}

std::string status_json(const status_reading& now, const status_reading* before) {
    std::string text = "{";
    const char* separator = "";
    for (const auto& [key, value] : now.values) {
        text += std::string(separator) + "\"" + key + "\":" + std::to_string(value);
        separator = ",";
    }
    if (const std::optional<double> in = rate(now, before, "frames_stored"))
        text += ",\"frames_per_s_in\":" + one_decimal(*in);
    for (int slot = 0; slot < status_client_slots; ++slot) {
        if (const std::optional<double> out = client_rate(now, before, slot))
            text += ",\"" + client_key(slot, "frames_per_s_out") + "\":" + one_decimal(*out);
    }
    return text + "}\n";
}
