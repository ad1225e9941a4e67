// nanvideoctl: the host-side tool for nanvideod's TCP port: its AT commands, and the video
// stream saved to a file or checked against the test video source.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ctl_commands.hpp"
#include "ctl_options.hpp"
#include "exit_codes.hpp"

int main(int argc, char* argv[]) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    ctl_options options;
    std::string error;
    if (!parse_command_line(args, options, error)) {
        fprintf(stderr, "nanvideoctl: %s\nTry 'nanvideoctl --help' for more.\n", error.c_str());
        return exit_usage;
    }
    if (options.help) {
        fputs(usage_text(argv[0]).c_str(), stdout);
        return exit_ok;
    }
    // A closed standard output (record - | head) is a write error, not a silent death.
    signal(SIGPIPE, SIG_IGN);
    switch (options.command) {
        case ctl_command::record:
            return run_record(options);
        case ctl_command::check:
            return run_check(options);
        case ctl_command::status:
            return run_status(options);
        default:
            return run_at_command(options);
    }
}
