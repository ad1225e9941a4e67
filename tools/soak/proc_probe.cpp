#include "proc_probe.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace {

std::string proc_path(pid_t pid, const char* below) {
    return "/proc/" + std::to_string(pid) + "/" + below;
}

// Entries of a directory other than . and ..; -1 when it cannot be read.
int count_entries(const std::string& path) {
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent* entry = readdir(dir)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) ++count;
    }
    closedir(dir);
    return count;
}

long status_field_kb(pid_t pid, const std::string& field) {
    std::ifstream status(proc_path(pid, "status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

// pid, comm, state and parent from /proc/PID/stat; false when the process is gone.
bool read_stat(pid_t pid, child_process* process, pid_t* parent) {
    std::ifstream file(proc_path(pid, "stat"));
    std::string text;
    if (!std::getline(file, text)) return false;
    // comm may hold blanks and parentheses: it ends at the last ')'.
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close + 4 > text.size())
        return false;
    process->pid = pid;
    process->name = text.substr(open + 1, close - open - 1);
    process->state = text[close + 2];
    *parent = static_cast<pid_t>(strtol(text.c_str() + close + 4, nullptr, 10));
    return true;
}

template <typename F>
void for_each_process(F visit) {
    DIR* dir = opendir("/proc");
    if (dir == nullptr) return;
    while (const dirent* entry = readdir(dir)) {
        char* end = nullptr;
        const long pid = strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0') visit(static_cast<pid_t>(pid));
    }
    closedir(dir);
}

}  // namespace

daemon_sample sample_daemon(pid_t pid) {
    daemon_sample sample;
    sample.rss_kb = status_field_kb(pid, "VmRSS");
    sample.descriptors = count_entries(proc_path(pid, "fd"));
    sample.threads = count_entries(proc_path(pid, "task"));
    for_each_process([&](pid_t candidate) {
        child_process process;
        pid_t parent = 0;
        if (read_stat(candidate, &process, &parent) && parent == pid)
            sample.children.push_back(process);
    });
    return sample;
}

unsigned long network_namespace(pid_t pid) {
    struct stat st {};
    if (stat(proc_path(pid, "ns/net").c_str(), &st) != 0) return 0;
    return static_cast<unsigned long>(st.st_ino);
}

std::vector<child_process> processes_in_namespace(unsigned long namespace_inode) {
    std::vector<child_process> found;
    for_each_process([&](pid_t candidate) {
        child_process process;
        pid_t parent = 0;
        if (network_namespace(candidate) != namespace_inode) return;
        if (read_stat(candidate, &process, &parent) && process.state != 'Z')
            found.push_back(process);
    });
    return found;
}

std::string describe(const std::vector<child_process>& processes) {
    if (processes.empty()) return "none";
    std::ostringstream text;
    for (size_t i = 0; i < processes.size(); ++i) {
        if (i > 0) text << ' ';
        text << processes[i].name << '(' << processes[i].pid << ',' << processes[i].state << ')';
    }
    return text.str();
}
