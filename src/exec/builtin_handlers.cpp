// Handlers of the rows that turn a keyword into shell commands: create the NAN interface, start
// NAN, add a service function, reboot, and hand the board to its firmware update.
#include "builtin_handlers.hpp"
#include "log.hpp"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace exec_internal {

namespace {

constexpr const char* nan_interface = "nan0";
constexpr const char* reboot_command = "reboot";
constexpr const char* firmware_update_command = "/bin/usb.sh -r usbh_msc";
constexpr const char* word_separators = " ";
constexpr const char* service_name_key = "name";
// The words of a whole command text, each followed by one blank, and the NUL.
constexpr size_t processed_line_size = command_text_size + 1;

void lower_case(char* word) {
    for (; *word != '\0'; ++word) {
        *word = static_cast<char>(tolower(static_cast<unsigned char>(*word)));
    }
}

// The driver matches service names in lower case: the word after "name" is lower-cased, and the
// words come back joined by single blanks, each followed by one.
void rebuild_add_func_params(const char* params, char* rebuilt, size_t size) {
    char words[command_text_size] = {};
    snprintf(words, sizeof words, "%s", params != nullptr ? params : "");

    // The line is built whole and printed once: other threads print at the same time.
    char line[processed_line_size] = {};
    bool next_is_name = false;
    char* position = nullptr;
    for (char* word = strtok_r(words, word_separators, &position); word != nullptr;
         word = strtok_r(nullptr, word_separators, &position)) {
        if (strcmp(word, service_name_key) == 0) {
            next_is_name = true;
        } else if (next_is_name) {
            lower_case(word);
            next_is_name = false;
        }
        append_bounded(line, sizeof line, word);
        append_bounded(line, sizeof line, " ");
        append_bounded(rebuilt, size, word);
        append_bounded(rebuilt, size, " ");
    }
    log_out("Processed parameters: %s\n", line);
}

}  // namespace

int init_handler(const nan_interface_state&, const char* params, command_batch& batch,
                 int* count) {
    log_out("\n=== Executing init custom logic ===\n");
    char command[command_text_size] = {};
    snprintf(command, sizeof command, "iw phy%s interface add %s type __nan",
             params != nullptr ? params : "", nan_interface);
    add_command(batch, count, command);
    log_out("init:%s\n", command);
    log_out("=== init custom logic execution completed ===\n");
    return 0;
}

int start_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                  int* count) {
    log_out("\n=== Executing start custom logic ===\n");
    if (params == nullptr || params[0] == '\0') {
        log_out("Error: start keyword requires parameters!\n");
        log_out("=== start custom logic execution failed ===\n");
        return -1;
    }
    char command[command_text_size] = {};
    snprintf(command, sizeof command, "iw wdev %s nan start %s", nan.wdev, params);
    add_command(batch, count, command);
    char interface_up[command_text_size] = {};
    snprintf(interface_up, sizeof interface_up, "ifconfig %s up", nan_interface);
    add_command(batch, count, interface_up);
    log_out("start:%s\n", command);
    log_out("=== start custom logic execution completed ===\n");
    return 0;
}

int add_func_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                     int* count) {
    log_out("\n=== Executing add_func custom logic ===\n");
    char rebuilt[command_text_size] = {};
    rebuild_add_func_params(params, rebuilt, sizeof rebuilt);
    char command[command_text_size] = {};
    // "iw wdev %s nan add_func %s", cut at the command size like every other command.
    append_bounded(command, sizeof command, "iw wdev ");
    append_bounded(command, sizeof command, nan.wdev);
    append_bounded(command, sizeof command, " nan add_func ");
    append_bounded(command, sizeof command, rebuilt);
    add_command(batch, count, command);
    log_out("add_func:%s\n", command);
    log_out("=== add_func custom logic execution completed ===\n");
    return 0;
}

int reset_handler(const nan_interface_state&, const char*, command_batch& batch, int* count) {
    log_out("\n=== Executing reset custom logic ===\n");
    add_command(batch, count, reboot_command);
    log_out("reset:%s\n", reboot_command);
    log_out("=== reset custom logic execution completed ===\n");
    return 0;
}

int updatefw_handler(const nan_interface_state&, const char*, command_batch& batch,
                     int* count) {
    log_out("\n=== Executing updatefw custom logic ===\n");
    add_command(batch, count, firmware_update_command);
    log_out("updatefw:%s\n", firmware_update_command);
    log_out("=== updatefw custom logic execution completed ===\n");
    return 0;
}

}  // namespace exec_internal
