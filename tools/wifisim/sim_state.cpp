// State directory plumbing shared by the stand-ins and the test side.
#include "sim_state.hpp"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wifisim {

namespace {

constexpr size_t read_chunk = 65536;
constexpr mode_t state_file_mode = 0644;

bool write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

const char* base_name(const char* path) {
    const char* slash = strrchr(path, '/');
    return slash != nullptr ? slash + 1 : path;
}

}  // namespace

std::string state_path(const std::string& state, const char* below) {
    return state + "/" + below;
}

state_lock::state_lock(const std::string& state) {
    const std::string path = state_path(state, lock_file);
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, state_file_mode);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
        if (errno == EINTR) continue;
        close(fd_);
        fd_ = -1;
        return;
    }
}

state_lock::~state_lock() {
    if (fd_ >= 0) close(fd_);  // closing drops the flock
}

bool read_whole_file(const std::string& path, std::string* out) {
    out->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[read_chunk];
    bool ok = true;
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) ok = false;
        if (n <= 0) break;
        out->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

bool write_file_replacing(const std::string& path, const std::string& data) {
    const std::string temporary = path + ".new";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, state_file_mode);
    if (fd < 0) return false;
    bool ok = write_all(fd, data.data(), data.size());
    if (close(fd) != 0) ok = false;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) ok = false;
    if (!ok) unlink(temporary.c_str());
    return ok;
}

bool append_to_file(const std::string& path, const std::string& data) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, state_file_mode);
    if (fd < 0) return false;
    bool ok = write_all(fd, data.data(), data.size());
    if (close(fd) != 0) ok = false;
    return ok;
}

std::string escape_argument(const std::string& argument) {
    if (argument.empty()) return "\\0";
    std::string out;
    for (char c : argument) {
        switch (c) {
            case '\\': out += "\\\\"; break;
            case ' ': out += "\\ "; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            default: out += c;
        }
    }
    return out;
}

std::vector<std::string> split_escaped_line(const std::string& line) {
    std::vector<std::string> elements;
    std::string current;
    bool have_element = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == ' ') {
            if (have_element) elements.push_back(current);
            current.clear();
            have_element = false;
            continue;
        }
        have_element = true;
        if (c != '\\' || i + 1 == line.size()) {
            current += c;
            continue;
        }
        char next = line[++i];
        switch (next) {
            case 't': current += '\t'; break;
            case 'n': current += '\n'; break;
            case '0': break;  // the empty element
            default: current += next;
        }
    }
    if (have_element) elements.push_back(current);
    return elements;
}

std::string call_log_line(int argc, char* const argv[]) {
    std::string line;
    for (int i = 0; i < argc; ++i) {
        if (i > 0) line += ' ';
        line += escape_argument(argv[i]);
    }
    return line + "\n";
}

std::string command_text(int argc, char* const argv[]) {
    std::string text = argc > 0 ? base_name(argv[0]) : "";
    for (int i = 1; i < argc; ++i) {
        text += ' ';
        text += argv[i];
    }
    return text;
}

std::vector<failure_rule> parse_failure_rules(const std::string& text) {
    std::vector<failure_rule> rules;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        start = end + 1;
        long remaining = 0;
        int exit_status = 0;
        int stall = 0;
        int consumed = 0;
        if (sscanf(line.c_str(), "%ld %d %d %n", &remaining, &exit_status, &stall, &consumed) < 3)
            continue;
        failure_rule rule;
        rule.remaining = remaining;
        rule.exit_status = exit_status;
        rule.stall = stall != 0;
        rule.pattern = line.substr(static_cast<size_t>(consumed));
        rules.push_back(rule);
    }
    return rules;
}

std::string format_failure_rules(const std::vector<failure_rule>& rules) {
    std::string text;
    for (const failure_rule& rule : rules) {
        text += std::to_string(rule.remaining) + " " + std::to_string(rule.exit_status) + " " +
                (rule.stall ? "1 " : "0 ") + rule.pattern + "\n";
    }
    return text;
}

bool take_failure_locked(const std::string& state, const std::string& text, failure_rule* hit) {
    std::string content;
    if (!read_whole_file(state_path(state, failures_file), &content)) return false;
    std::vector<failure_rule> rules = parse_failure_rules(content);
    for (failure_rule& rule : rules) {
        if (rule.remaining == 0) continue;
        if (fnmatch(rule.pattern.c_str(), text.c_str(), 0) != 0) continue;
        if (rule.remaining > 0) --rule.remaining;
        *hit = rule;
        write_file_replacing(state_path(state, failures_file), format_failure_rules(rules));
        return true;
    }
    return false;
}

bool stall_in_place_locked(const std::string& state, const std::string& pattern) {
    std::string content;
    if (!read_whole_file(state_path(state, failures_file), &content)) return false;
    for (const failure_rule& rule : parse_failure_rules(content))
        if (rule.stall && rule.pattern == pattern) return true;
    return false;
}

std::string to_hex(const std::vector<unsigned char>& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0f];
    }
    return text;
}

bool from_hex(const std::string& text, std::vector<unsigned char>* bytes) {
    bytes->clear();
    if (text.size() % 2 != 0) return false;
    for (size_t i = 0; i < text.size(); i += 2) {
        int high = hex_value(text[i]);
        int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0) return false;
        bytes->push_back(static_cast<unsigned char>(high * 16 + low));
    }
    return true;
}

bool parse_mac_text(const std::string& text, unsigned char mac[6]) {
    constexpr size_t mac_text_length = 17;
    if (text.size() != mac_text_length) return false;
    for (int i = 0; i < 6; ++i) {
        const size_t at = static_cast<size_t>(i) * 3;
        int high = hex_value(text[at]);
        int low = hex_value(text[at + 1]);
        if (high < 0 || low < 0) return false;
        if (i < 5 && text[at + 2] != ':') return false;
        mac[i] = static_cast<unsigned char>(high * 16 + low);
    }
    return true;
}

std::string format_mac(const unsigned char mac[6]) {
    char text[18];
    snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return text;
}

}  // namespace wifisim
