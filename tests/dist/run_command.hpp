#pragma once
// A shell command line run to its end, with what it printed (standard error with standard output).
#include <cstdio>
#include <string>

struct run_result {
    int status = -1;  // as pclose gives it; -1 when the shell could not start
    std::string output;
};

inline run_result run(const std::string& command) {
    run_result result;
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return result;
    char buffer[4096];
    size_t count;
    while ((count = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.output.append(buffer, count);
    result.status = pclose(pipe);
    return result;
}
