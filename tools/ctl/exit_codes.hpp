#pragma once
// nanvideoctl's exit statuses: scripts tell the daemon's refusal from an unreachable board.
constexpr int exit_ok = 0;
constexpr int exit_refused = 1;      // an "ERROR: ..." reply; check: wrong bytes or no frame
constexpr int exit_usage = 2;        // bad command line
constexpr int exit_unreachable = 3;  // name not resolved, connection refused or timed out
constexpr int exit_no_answer = 4;    // no reply or no video in time, connection closed early
constexpr int exit_file_error = 5;   // record: the output file cannot be written
