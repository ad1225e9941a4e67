#pragma once
// What /bin/sh makes of a config_write command: the one argument between the double quotes,
// or a refusal when anything in it would expand or the quoting does not end exactly at the end.
// Written from the shell's double-quote rules, not from the daemon's escaper, so the two cannot
// share a mistake; the config_write shell test holds it to the real /bin/sh.
#include <cstring>
#include <string>

#include "param_record.hpp"

inline bool shell_double_quoted_argument(const char* command, std::string& argument) {
    static const char head[] = "fw_setenv vemuparam \"";
    if (strncmp(command, head, sizeof(head) - 1) != 0) return false;
    argument.clear();
    for (const char* p = command + sizeof(head) - 1; *p != '\0'; ++p) {
        if (*p == '\\') {
            char next = p[1];
            if (next == '$' || next == '`' || next == '"' || next == '\\') {
                argument += next;
                ++p;
            } else if (next == '\n') {
                ++p;  // line continuation: both go
            } else {
                argument += '\\';
            }
        } else if (*p == '"') {
            return p[1] == '\0';
        } else if (*p == '$' || *p == '`') {
            return false;
        } else {
            argument += *p;
        }
    }
    return false;
}

// A stored value with its \" and \\ pairs undone: what the client sent.
inline std::string unescaped(const char* value) {
    std::string plain;
    for (const char* p = value; *p != '\0'; ++p) {
        if (*p == '\\' && (p[1] == '\\' || p[1] == '"')) ++p;
        plain += *p;
    }
    return plain;
}

inline std::string plain_record_text(const param_record& r) {
    return "name:" + unescaped(r.name) + " pmk:" + unescaped(r.pmk) + " password:" + unescaped(r.password) +
           " hostname:" + unescaped(r.hostname);
}
