// nanvideo-keyword: runs one keyword operation on the board through the daemon's own dispatcher,
// with the same batch, the same retries and the same lines, for bring-up by hand and for the
// end-to-end tests. Its iwset_mutex is its own process's, so it does not serialise with a
// daemon that runs at the same time.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "command_child.hpp"
#include "keyword.hpp"
#include "nan_bringup.hpp"
#include "param_store.hpp"
#include "vendor_cmd.hpp"

namespace {

// Exit statuses; the dispatcher's results are small integers, so they are folded into a few.
constexpr int exit_success = 0;         // result 0
constexpr int exit_failed = 1;          // result -1: lock, unknown keyword, failed command...
constexpr int exit_rejected_value = 2;  // a positive result: a value rejected on its content
constexpr int exit_other_failure = 3;   // any other negative result
constexpr int exit_usage = 64;          // bad command line

constexpr const char* time_limit_option = "--time-limit";
constexpr int stop_signals[] = {SIGINT, SIGTERM};

void print_usage(FILE* stream) {
    fprintf(stream,
            "Usage: nanvideo-keyword KEYWORD [PARAMETERS...]\n"
            "       nanvideo-keyword %s MS KEYWORD [PARAMETERS...]\n"
            "\n"
            "Runs one keyword operation as the daemon would: the PARAMETERS are joined with\n"
            "single blanks into the parameter text (cut at %zu characters); with no PARAMETERS\n"
            "the text is absent, while '' gives an empty one. The operation's lock is this\n"
            "process's own: it does not wait for a running daemon's keyword operations.\n"
            "\n"
            "Keywords: init [PHY], start ARGS, add_func ARGS, srvc_ext, data_req, data_rsp,\n"
            "data_end, followup, pasn_start, reset, updatefw, config_write, ls, mkdir, cp.\n"
            "init without PARAMETERS finds the phy index as the daemon's bring-up does (iw dev)\n"
            "and uses it; with PARAMETERS they are the phy index (for example 0). start and\n"
            "add_func first find the NAN interface's wdev the same way, so their commands carry\n"
            "it; nan0 must exist for them (run init first), and so it must for the six vendor\n"
            "keywords, which send their record to nan0. config_write first loads the stored\n"
            "parameters (fw_printenv vemuparam) as the daemon's start-up does and writes those.\n"
            "When a lookup or the load fails the operation is not run.\n"
            "\n"
            "A command that runs longer than its limit (%u ms, or MS) is killed and counts as\n"
            "failed; fw_setenv, /bin/usb.sh and reboot are waited for instead. SIGINT and\n"
            "SIGTERM remove a vendor record file in flight and kill the running iw command.\n"
            "\n"
            "Exit status: %d success; %d the operation failed (result -1: lock, unknown\n"
            "keyword, a command failing three times, a syntax error or a failed send), or a\n"
            "lookup or load before it failed; %d a value was rejected on its content (result\n"
            "2); %d any other negative result; %d bad command line.\n",
            time_limit_option, command_text_size - 1, command_time_limit_ms, exit_success,
            exit_failed, exit_rejected_value, exit_other_failure, exit_usage);
}

// The keyword table as the daemon builds it, with this process's runner (and its time limit).
struct keyword_tool {
    explicit keyword_tool(unsigned time_limit_ms)
        : runner(time_limit_ms, commands.cuttable, commands.writes),
          records(runner, pauser),
          vendor(records),
          config_write(params),
          keywords(nan, {vendor.srvc_ext, vendor.data_req, vendor.data_rsp, vendor.data_end,
                         vendor.followup, vendor.pasn_start, config_write},
                   runner, pauser) {}

    running_command_lists commands;
    shell_command_runner runner;
    sleeping_pauser pauser;
    nan_interface_state nan;
    vendor_record_sender records;
    vendor_keywords vendor;
    param_state params;
    config_write_keyword config_write;
    keyword_dispatch_table keywords;
};

// The tool's, for the stop handler; set before the handler is installed.
keyword_tool* running_tool = nullptr;

// What the daemon has in place before it dispatches these keywords: bring-up finds the phy for
// init and the NAN interface's wdev for start and add_func (which read it); start-up loads the
// stored parameters that config_write writes back (never an empty record over the stored one).
// Returns false, after the step's own failure lines, when that could not be done.
bool prepare_keyword(keyword_tool& tool, const char* keyword, const char** params_text) {
    if (strcmp(keyword, "init") == 0 && *params_text == nullptr) {
        if (get_phy(tool.keywords) != 0) return false;
        *params_text = tool.nan.phy;
        return true;
    }
    if (strcmp(keyword, "start") == 0 || strcmp(keyword, "add_func") == 0)
        return get_wdev(tool.keywords) == 0;
    if (strcmp(keyword, "config_write") == 0) return init_param(tool.params, tool.keywords) == 0;
    return true;
}

int exit_status_for(int result) {
    if (result == 0) return exit_success;
    if (result == -1) return exit_failed;
    if (result > 0) return exit_rejected_value;
    return exit_other_failure;
}

// Joins argv[first..] with single blanks; false when the text had to be cut.
bool join_arguments(int argc, char** argv, int first, char* text, size_t size) {
    size_t used = 0;
    text[0] = '\0';
    for (int index = first; index < argc; ++index) {
        const char* separator = index > first ? " " : "";
        int written = snprintf(text + used, size - used, "%s%s", separator, argv[index]);
        if (written < 0 || static_cast<size_t>(written) >= size - used) return false;
        used += static_cast<size_t>(written);
    }
    return true;
}

// Stopped in the middle of a vendor send, the tool must not leave the record file behind, nor an
// iw that would act after it has gone; then it ends by the signal, as it would have without the
// handler. A running boot-environment or firmware write is left to finish.
void stop_handler(int signo) {
    running_tool->commands.cuttable.stop_all();
    running_tool->records.refuse_record_files();
    signal(signo, SIG_DFL);
    raise(signo);  // delivered when the handler returns
}

void install_stop_handler() {
    struct sigaction action {};
    action.sa_handler = stop_handler;
    sigemptyset(&action.sa_mask);
    for (int signo : stop_signals) sigaddset(&action.sa_mask, signo);
    for (int signo : stop_signals) sigaction(signo, &action, nullptr);
}

// "--time-limit MS" before the keyword; false for a limit that is not a positive number.
bool read_time_limit(const char* text, unsigned* limit_ms) {
    char* end = nullptr;
    unsigned long value = strtoul(text, &end, 10);
    if (end == text || *end != '\0' || value == 0 || value > command_time_limit_ms * 1000UL)
        return false;
    *limit_ms = static_cast<unsigned>(value);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Lines must come out in order with the shell commands' and the test harness's reads.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    int first = 1;  // the keyword's argument
    unsigned time_limit_ms = command_time_limit_ms;
    if (argc > 1 && strcmp(argv[1], time_limit_option) == 0) {
        if (argc < 3 || !read_time_limit(argv[2], &time_limit_ms)) {
            print_usage(stderr);
            return exit_usage;
        }
        first = 3;
    }
    if (argc <= first) {
        print_usage(stderr);
        return exit_usage;
    }
    if (strcmp(argv[first], "-h") == 0 || strcmp(argv[first], "--help") == 0) {
        print_usage(stdout);
        return exit_success;
    }

    keyword_tool tool(time_limit_ms);
    running_tool = &tool;
    install_stop_handler();

    const char* keyword = argv[first];
    char params[command_text_size] = {};
    const char* params_text = nullptr;
    if (argc > first + 1) {
        if (!join_arguments(argc, argv, first + 1, params, sizeof params)) {
            fprintf(stderr, "nanvideo-keyword: parameter text cut to %zu characters\n",
                    sizeof params - 1);
        }
        params_text = params;
    }
    if (!prepare_keyword(tool, keyword, &params_text)) return exit_failed;
    return exit_status_for(tool.keywords.execute(keyword, params_text));
}
