#include "tool_check.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "log.hpp"

namespace {

struct board_tool {
    const char* tool;       // a name looked up in PATH, or a path (holding a '/') as it is
    const char* needed_by;  // the start-up step or command that runs it
};

const board_tool board_tools[] = {
    {"iw", "NAN bring-up, NAN events and data-path responses"},
    {"fw_printenv", "parameter initialization"},
    {"fw_setenv", "AT+AB config (storing the parameters)"},
    {"ifconfig", "NAN bring-up (ifconfig nan0 up)"},
    {"reboot", "AT+AB reset"},
    {"/bin/sh", "every shell command (parameters, NAN bring-up, AT commands)"},
    {"/bin/usb.sh", "AT+AB updatefw"},
};

// A directory and a name joined, as long as PATH_MAX allows.
constexpr size_t candidate_size = 4096;

bool executable_file(const char* path) {
    struct stat st{};
    return stat(path, &st) == 0 && S_ISREG(st.st_mode) && access(path, X_OK) == 0;
}

bool in_search_path(const char* name, const char* search_path) {
    const size_t name_length = strlen(name);
    for (const char* entry = search_path;; ++entry) {
        const char* end = strchr(entry, ':');
        if (end == nullptr) end = entry + strlen(entry);
        const size_t dir_length = static_cast<size_t>(end - entry);
        char candidate[candidate_size];
        if (dir_length + 1 + name_length < sizeof(candidate)) {
            if (dir_length == 0) {
                memcpy(candidate, name, name_length + 1);
            } else {
                memcpy(candidate, entry, dir_length);
                candidate[dir_length] = '/';
                memcpy(candidate + dir_length + 1, name, name_length + 1);
            }
            if (executable_file(candidate)) return true;
        }
        if (*end == '\0') return false;
        entry = end;
    }
}

}  // namespace

bool tool_missing(const char* tool, const char* search_path) {
    if (strchr(tool, '/') != nullptr) return !executable_file(tool);
    return !in_search_path(tool, search_path);
}

int report_missing_tools() {
    const char* search_path = getenv("PATH");
    if (search_path == nullptr) search_path = default_search_path;
    int missing = 0;
    for (const board_tool& t : board_tools) {
        if (!tool_missing(t.tool, search_path)) continue;
        ++missing;
        const bool looked_up = strchr(t.tool, '/') == nullptr;
        log_err("Missing tool: %s not found%s, needed by %s\n", t.tool, looked_up ? " in PATH" : "",
                t.needed_by);
    }
    return missing;
}
