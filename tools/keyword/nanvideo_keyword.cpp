// nanvideo-keyword: runs one keyword operation on the board through the daemon's own dispatcher,
// with the same lock, the same batch, the same retries and the same lines, for bring-up by hand
// and for the end-to-end tests.
#include <cstdio>
#include <cstring>

#include "keyword.hpp"

namespace {

// Exit statuses; the dispatcher's results are small integers, so they are folded into a few.
constexpr int exit_success = 0;         // result 0
constexpr int exit_failed = 1;          // result -1: lock, unknown keyword, failed command...
constexpr int exit_rejected_value = 2;  // a positive result: a value rejected on its content
constexpr int exit_other_failure = 3;   // any other negative result
constexpr int exit_usage = 64;          // bad command line

void print_usage(FILE* stream) {
    fprintf(stream,
            "Usage: nanvideo-keyword KEYWORD [PARAMETERS...]\n"
            "\n"
            "Runs one keyword operation as the daemon would: the PARAMETERS are joined with\n"
            "single blanks into the parameter text (cut at %zu characters); with no PARAMETERS\n"
            "the text is absent, while '' gives an empty one.\n"
            "\n"
            "Keywords: init PHY, start ARGS, add_func ARGS, srvc_ext, data_req, data_rsp,\n"
            "data_end, followup, pasn_start, reset, updatefw, config_write, ls, mkdir, cp.\n"
            "The init parameter text is the phy index (for example 0). start and add_func use\n"
            "the NAN wdev that the daemon's bring-up finds; this tool does not look it up, so\n"
            "their commands carry an empty wdev.\n"
            "\n"
            "Exit status: %d success; %d the operation failed (result -1: lock, unknown\n"
            "keyword, a command failing three times, a syntax error or a failed send);\n"
            "%d a value was rejected on its content (result 2); %d any other negative\n"
            "result; %d bad command line.\n",
            command_text_size - 1, exit_success, exit_failed, exit_rejected_value,
            exit_other_failure, exit_usage);
}

// LEAD: the single place where the rooms install their keyword handlers, as the daemon's main
// does at start-up. Until they are added here (and linked in CMakeLists.txt), srvc_ext,
// data_req, data_rsp, data_end, followup, pasn_start and config_write refuse with
// "Error: keyword <NAME> is not available!".
//     vendor_register_keywords();  // srvc_ext data_req data_rsp data_end followup pasn_start
//     params_register_keywords();  // config_write
// LEAD: once NAN bring-up exists, start and add_func may want the wdev looked up first
// (get_wdev fills nan_wdev); until then nan_wdev stays empty.
void register_room_keywords() {}

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

}  // namespace

int main(int argc, char** argv) {
    // Lines must come out in order with the shell commands' and the test harness's reads.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    if (argc < 2) {
        print_usage(stderr);
        return exit_usage;
    }
    if (strcmp(argv[1], "-h") == 0 || strcmp(argv[1], "--help") == 0) {
        print_usage(stdout);
        return exit_success;
    }

    register_room_keywords();

    char params[command_text_size] = {};
    const char* params_text = nullptr;
    if (argc > 2) {
        if (!join_arguments(argc, argv, 2, params, sizeof params)) {
            fprintf(stderr, "nanvideo-keyword: parameter text cut to %zu characters\n",
                    sizeof params - 1);
        }
        params_text = params;
    }
    return exit_status_for(execute_keyword(argv[1], params_text));
}
