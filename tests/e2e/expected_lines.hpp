#pragma once
// The daemon's output lines as the end-to-end suites expect them: what changes from run to run
// (thread identifiers, temporary file names) normalised, and the lines of bring-up's queries and
// of a command batch built from the commands.
#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace expected {

using lines = std::vector<std::string>;

const std::string batch_completed = "=== All commands execution completed ===";
// Start-up's line for a boot environment without a parameter record.
const std::string provision_line =
    "Provision the board once: fw_setenv vemuparam 'name:<letters, digits, _ . -> "
    "pmk:<32 characters or nothing> password:<8 to 63 characters or nothing> "
    "hostname:<letters, digits, ->.local', then check it with fw_printenv -n vemuparam";
constexpr const char* vendor_file_prefix = "/tmp/nan_vendor_data_";
constexpr size_t vendor_file_suffix_length = 6;

// "[139871234] Executing ..." -> "[TID] Executing ...": thread identifiers differ per run.
inline std::string without_thread_id(const std::string& line) {
    if (line.size() < 3 || line[0] != '[' || !isdigit(static_cast<unsigned char>(line[1])))
        return line;
    size_t close = line.find(']');
    for (size_t i = 1; i < close; ++i)
        if (!isdigit(static_cast<unsigned char>(line[i]))) return line;
    return "[TID]" + line.substr(close + 1);
}

// The six characters mkstemp chose -> XXXXXX, so the template itself is checked.
inline std::string without_file_suffix(std::string line) {
    size_t at = line.find(vendor_file_prefix);
    if (at == std::string::npos) return line;
    size_t suffix = at + strlen(vendor_file_prefix);
    if (line.size() < suffix + vendor_file_suffix_length) return line;
    for (size_t i = suffix; i < suffix + vendor_file_suffix_length; ++i)
        if (!isalnum(static_cast<unsigned char>(line[i]))) return line;
    line.replace(suffix, vendor_file_suffix_length, "XXXXXX");
    return line;
}

inline lines normalised(const lines& all) {
    lines out;
    for (const std::string& line : all) out.push_back(without_file_suffix(without_thread_id(line)));
    return out;
}

inline void append(lines& to, const lines& more) { to.insert(to.end(), more.begin(), more.end()); }

inline lines phy_found(const std::string& phy) {
    return {"Command executed successfully!", "Phy number output: [" + phy + "]",
            "Extracted phy number: " + phy};
}

inline lines wdev_found(const std::string& wdev) {
    return {"Command executed successfully!", "wdev index output: [" + wdev + "]",
            "Extracted wdev index: " + wdev};
}

// The batch lines for commands where the one at failing_index (0-based) fails three times.
inline lines batch(const lines& commands, int failing_index = -1) {
    lines out = {"", "=== Start executing collected commands ==="};
    const std::string total = std::to_string(commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        const std::string number = std::to_string(i + 1);
        const std::string head = "[TID] Executing command [" + number + "/" + total + "] (retry ";
        if (static_cast<int>(i) == failing_index) {
            for (int attempt = 1; attempt <= 3; ++attempt)
                out.push_back(head + std::to_string(attempt) + "): " + commands[i]);
            break;
        }
        out.push_back(head + "1): " + commands[i]);
        out.push_back("Command [" + number + "] executed successfully!");
    }
    out.push_back(batch_completed);
    out.push_back("");
    return out;
}

}  // namespace expected
