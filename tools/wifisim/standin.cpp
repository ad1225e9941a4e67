// Every stand-in logs its call and may be told to fail before it does anything else, so a test
// sees each command the daemon ran, in order, including the ones made to fail.
#include "standin.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "sim_state.hpp"

namespace wifisim {

namespace {

constexpr int exit_no_board = 1;
constexpr long stall_poll_ns = 10000000;

[[noreturn]] void fail_as_told(const failure_rule& rule, const char* failure_message) {
    fprintf(stderr, "%s\n", failure_message);
    fflush(stderr);
    if (rule.exit_status < 0) {
        const int sig = -rule.exit_status;
        signal(sig, SIG_DFL);
        raise(sig);
        _exit(128 + sig);  // a signal that cannot end the process
    }
    exit(rule.exit_status);
}

// A hung tool: nothing happens until the rule is released (or the process is killed).
void stall_until_released(const std::string& state, const failure_rule& rule) {
    for (;;) {
        {
            state_lock lock(state);
            if (!lock.held() || !stall_in_place_locked(state, rule.pattern)) return;
        }
        timespec step{0, stall_poll_ns};
        nanosleep(&step, nullptr);
    }
}

}  // namespace

std::string standin_start(int argc, char* argv[], const char* failure_message) {
    const char* board = getenv(board_env_name);
    if (board == nullptr || board[0] == '\0') {
        fprintf(stderr, "%s: %s is not set (the simulated board's state directory)\n",
                argc > 0 ? argv[0] : "stand-in", board_env_name);
        exit(exit_no_board);
    }
    const std::string state = board;
    failure_rule rule;
    bool failing = false;
    {
        state_lock lock(state);
        if (!lock.held()) {
            fprintf(stderr, "%s: cannot lock the board state in %s\n", argv[0], board);
            exit(exit_no_board);
        }
        append_to_file(state_path(state, call_log_file), call_log_line(argc, argv));
        failing = take_failure_locked(state, command_text(argc, argv), &rule);
    }
    if (!failing) return state;
    if (rule.stall) {
        stall_until_released(state, rule);
        if (rule.exit_status == 0) return state;
    }
    fail_as_told(rule, failure_message);
}

}  // namespace wifisim
