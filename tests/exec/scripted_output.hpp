#pragma once
// What a test runner gives back for a captured command.
#include <cstring>
#include <string>

#include "keyword.hpp"
#include "log.hpp"

// Cuts a scripted answer exactly as the real runner cuts a command's output: at most len - 1
// characters, with the truncation warning when it does not fit, and one final line feed removed.
inline void store_scripted_output(const std::string& text, char* output, size_t len) {
    const size_t taken = text.size() < len - 1 ? text.size() : len - 1;
    memcpy(output, text.data(), taken);
    output[taken] = '\0';
    if (taken < text.size()) log_out("Warning: Command output exceeds buffer limit, truncated!\n");
    drop_final_line_feed(output);
}
