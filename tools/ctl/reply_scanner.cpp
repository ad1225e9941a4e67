#include "reply_scanner.hpp"

#include <algorithm>
#include <cstring>

namespace {

constexpr char error_prefix[] = "ERROR: ";
constexpr size_t error_prefix_length = sizeof(error_prefix) - 1;
constexpr char ok_word[] = "OK";
constexpr size_t ok_word_length = sizeof(ok_word) - 1;
constexpr size_t line_end_length = 2;  // "\r\n"

// What a reply line may hold: printable ASCII and tab.
bool is_text(uint8_t byte) {
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t';
}

// The characters a stored name may hold.
bool is_name_char(uint8_t byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
           (byte >= '0' && byte <= '9') || byte == '_' || byte == '.' || byte == '-';
}

bool is_key_char(uint8_t byte) {
    return (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') || byte == '_';
}

}  // namespace

bool reply_scanner::feed(const uint8_t* data, size_t length) {
    if (done_) return true;
    const size_t old_size = seen_.size();
    seen_.insert(seen_.end(), data, data + length);

    // The carriage return of a line end may have come at the end of the previous read.
    bool found = false;
    size_t found_end = 0;
    for (size_t i = old_size > 0 ? old_size - 1 : 0; i + 1 < seen_.size(); ++i) {
        if (seen_[i] != '\r' || seen_[i + 1] != '\n') continue;
        at_reply candidate;
        if (reply_ending_at(i, candidate)) {
            reply_ = candidate;
            found = true;
            found_end = i + line_end_length;
            break;
        }
    }
    if (found) {
        rest_.assign(seen_.begin() + static_cast<ptrdiff_t>(found_end), seen_.end());
        seen_.clear();
        done_ = true;
        return true;
    }
    if (seen_.size() > reply_window)
        seen_.erase(seen_.begin(), seen_.end() - static_cast<ptrdiff_t>(reply_window));
    return false;
}

// The status is "key=digits" lines, the first key uptime_s; the video bytes before it may be
// text too, so the block starts at the last "uptime_s=" and every line from there must fit.
bool reply_scanner::status_before(size_t ok_line_start, at_reply& reply) const {
    static constexpr char first_key[] = "uptime_s=";
    if (ok_line_start < line_end_length || !bytes_equal(ok_line_start - line_end_length, "\r\n"))
        return false;
    const auto begin = seen_.begin();
    const auto end = begin + static_cast<ptrdiff_t>(ok_line_start - line_end_length);
    const auto found = std::find_end(begin, end, first_key, first_key + sizeof(first_key) - 1);
    if (found == end) return false;
    const std::string block(found, end);
    size_t at = 0;
    while (at <= block.size()) {
        size_t line_end = block.find("\r\n", at);
        if (line_end == std::string::npos) line_end = block.size();
        const size_t equals = block.find('=', at);
        if (equals == std::string::npos || equals >= line_end || equals == at) return false;
        for (size_t i = at; i < equals; ++i)
            if (!is_key_char(static_cast<uint8_t>(block[i]))) return false;
        if (equals + 1 == line_end) return false;
        for (size_t i = equals + 1; i < line_end; ++i)
            if (block[i] < '0' || block[i] > '9') return false;
        at = line_end + line_end_length;
    }
    reply.ok = true;
    reply.text = block;
    return true;
}

// A line ends at line_end (its carriage return). Is it the end of a reply of our form?
bool reply_scanner::reply_ending_at(size_t line_end, at_reply& reply) const {
    const size_t start = text_start(line_end);
    const std::string line(seen_.begin() + static_cast<ptrdiff_t>(start),
                           seen_.begin() + static_cast<ptrdiff_t>(line_end));
    const size_t error_at = line.find(error_prefix);
    if (error_at != std::string::npos && line.size() > error_at + error_prefix_length) {
        reply.ok = false;
        reply.error = line.substr(error_at);
        return true;
    }
    if (line.size() < ok_word_length ||
        line.compare(line.size() - ok_word_length, ok_word_length, ok_word) != 0)
        return false;
    if (form_ == reply_form::ok_only) {
        reply.ok = true;
        return true;
    }
    // Here the OK is a line of its own after the text line.
    if (line.size() != ok_word_length) return false;
    if (form_ == reply_form::status_lines) return status_before(start, reply);
    return data_line_before(start, reply);
}

bool reply_scanner::data_line_before(size_t ok_line_start, at_reply& reply) const {
    if (ok_line_start < line_end_length || !bytes_equal(ok_line_start - line_end_length, "\r\n"))
        return false;
    const size_t end = ok_line_start - line_end_length;
    size_t start = 0;
    if (form_ == reply_form::params_then_ok) {
        if (!params_start(end, start)) return false;
    } else {
        start = text_start(end);
        if (start == end) return false;
    }
    reply.ok = true;
    reply.text.assign(seen_.begin() + static_cast<ptrdiff_t>(start),
                      seen_.begin() + static_cast<ptrdiff_t>(end));
    return true;
}

// The parameter line is "name:%s pmk:%s password:%s hostname:%s". Values hold no blank, but
// pmk and password may hold any other byte, so the line is taken apart from its end, blank by
// blank; the name's characters then show where the line starts.
bool reply_scanner::params_start(size_t end, size_t& start) const {
    const char* const items[] = {"hostname:", "password:", "pmk:"};
    const size_t limit = end > reply_window ? end - reply_window : 0;
    size_t item_end = end;
    for (const char* key : items) {
        size_t blank = item_end;
        while (blank > limit && seen_[blank - 1] != ' ') --blank;
        if (blank == limit || !bytes_equal(blank, key)) return false;
        item_end = blank - 1;
    }
    size_t name_start = item_end;
    while (name_start > 0 && is_name_char(seen_[name_start - 1])) --name_start;
    constexpr char name_key[] = "name:";
    constexpr size_t name_key_length = sizeof(name_key) - 1;
    if (name_start == item_end || name_start < name_key_length ||
        !bytes_equal(name_start - name_key_length, name_key))
        return false;
    start = name_start - name_key_length;
    return true;
}

// Where the run of text bytes that ends at `end` begins; no reply line is longer than the
// window, so the walk stops there (a stream of nothing but text must not cost a walk per line).
size_t reply_scanner::text_start(size_t end) const {
    const size_t limit = end > reply_window ? end - reply_window : 0;
    size_t start = end;
    while (start > limit && is_text(seen_[start - 1])) --start;
    return start;
}

bool reply_scanner::bytes_equal(size_t at, const char* text) const {
    const size_t length = strlen(text);
    return at + length <= seen_.size() && memcmp(seen_.data() + at, text, length) == 0;
}

std::string common_ending(const std::vector<std::string>& lines) {
    if (lines.empty()) return {};
    std::string common = lines[0];
    for (const std::string& line : lines) {
        size_t same = 0;
        while (same < common.size() && same < line.size() &&
               common[common.size() - 1 - same] == line[line.size() - 1 - same])
            ++same;
        common.erase(0, common.size() - same);
    }
    return common;
}
