#pragma once
// What /proc shows of the daemon while it runs: resident memory, descriptors, threads and child
// processes, and which processes are still inside the board's network namespace.
#include <sys/types.h>

#include <string>
#include <vector>

struct child_process {
    pid_t pid = 0;
    std::string name;  // comm
    char state = '?';  // R S D Z ...
};

struct daemon_sample {
    long rss_kb = -1;  // VmRSS; -1 when unreadable
    int descriptors = -1;
    int threads = -1;
    std::vector<child_process> children;
};

daemon_sample sample_daemon(pid_t pid);

// The inode of the process's network namespace; 0 when unreadable.
unsigned long network_namespace(pid_t pid);
// Every live process (not a zombie) whose network namespace has this inode.
std::vector<child_process> processes_in_namespace(unsigned long namespace_inode);

// "iw(1234,S) sh(1240,Z)", or "none".
std::string describe(const std::vector<child_process>& processes);
