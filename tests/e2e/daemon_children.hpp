#pragma once
// The daemon's children as /proc shows them, for the tests that look at the `iw event` child.
#include <dirent.h>
#include <sys/types.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace daemon_children {

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// `iw event -t -f` as /proc/PID/cmdline holds it.
inline const std::string iw_event_cmdline("iw\0event\0-t\0-f", 15);

// The parent process id from /proc/PID/stat (the field after the parenthesised name).
inline pid_t parent_of(const std::string& pid) {
    const std::string stat = read_file("/proc/" + pid + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    char state = 0;
    int ppid = -1;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return -1;
    return ppid;
}

// The daemon's `iw event -t -f` children.
inline std::vector<pid_t> iw_event_children(pid_t daemon) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (parent_of(name) != daemon) continue;
        if (read_file("/proc/" + name + "/cmdline") == iw_event_cmdline)
            children.push_back(static_cast<pid_t>(std::stol(name)));
    }
    closedir(proc);
    return children;
}

}  // namespace daemon_children
