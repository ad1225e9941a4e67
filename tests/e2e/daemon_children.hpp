#pragma once
// The daemon's children as /proc shows them, for the tests that look at the `iw event` child.
#include <dirent.h>
#include <sys/types.h>

#include <algorithm>
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
inline pid_t parent_of(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return -1;
    char state = 0;
    int ppid = -1;
    if (sscanf(stat.c_str() + close + 1, " %c %d", &state, &ppid) != 2) return -1;
    return ppid;
}

// The processes whose parent is `parent`, at the moment of the call.
inline std::vector<pid_t> children_of(pid_t parent) {
    std::vector<pid_t> children;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return children;
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        const auto pid = static_cast<pid_t>(std::stol(name));
        if (parent_of(pid) == parent) children.push_back(pid);
    }
    closedir(proc);
    return children;
}

// The daemon's `iw event -t -f` children.
inline std::vector<pid_t> iw_event_children(pid_t daemon) {
    std::vector<pid_t> found;
    for (pid_t child : children_of(daemon)) {
        if (read_file("/proc/" + std::to_string(child) + "/cmdline") == iw_event_cmdline)
            found.push_back(child);
    }
    return found;
}

// The names of the process's threads other than its first, sorted, as `ps -L` shows them.
inline std::vector<std::string> thread_names(pid_t pid) {
    std::vector<std::string> names;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid == "." || tid == ".." || tid == std::to_string(pid)) continue;
        std::string name = read_file(tasks + "/" + tid + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace daemon_children
