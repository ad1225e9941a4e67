#pragma once
// The tool's commands. Each prints what the person asked for on standard output, its
// messages on standard error, and returns the exit status (exit_codes.hpp).
#include "ctl_options.hpp"

// version, config (both forms), reset, updatefw.
int run_at_command(const ctl_options& options);
int run_record(const ctl_options& options);
int run_check(const ctl_options& options);
// status, once or (--watch) every N seconds until Ctrl-C.
int run_status(const ctl_options& options);

// How record shows its progress on a terminal: bytes so far, frames per second counted in
// 4096-byte frames, and the time since the start.
std::string progress_line(uint64_t bytes, double elapsed_s);
