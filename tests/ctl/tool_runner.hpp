#pragma once
// Runs a program (the tool) to its end and collects its exit status and both outputs.
#include <chrono>
#include <string>
#include <vector>

struct tool_result {
    int exit_status = -1;  // -1 when it did not exit normally (killed at the deadline)
    std::string out;
    std::string err;
};

// argv[0] is looked up in PATH when it holds no slash. A program still running after the
// deadline is killed.
tool_result run_tool(const std::vector<std::string>& argv,
                     std::chrono::milliseconds deadline = std::chrono::milliseconds(30000));
