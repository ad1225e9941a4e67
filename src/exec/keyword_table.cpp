
#include <cctype>
#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

namespace {

// Appends as much of text as still fits in dest (of size bytes, NUL-terminated); never overflows.
void append_bounded(char* dest, size_t size, const char* text) {
    size_t used = strnlen(dest, size);
    if (used + 1 >= size) return;
    snprintf(dest + used, size - used, "%s", text);
}

// The rows that turn a keyword into shell commands: create the NAN interface, start NAN, add a
// service function, reboot, and hand the board to its firmware update.
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

int init_handler(const nan_interface_state&, const char* params, command_batch& batch,
                 int* count, char* command) {
    snprintf(command, command_text_size, "iw phy%s interface add %s type __nan",
             params != nullptr ? params : "", nan_interface);
    add_command(batch, count, command);
    return 0;
}

int start_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                  int* count, char* command) {
    if (params == nullptr || params[0] == '\0') {
        log_out("Error: start keyword requires parameters!\n");
        return -1;
    }
    snprintf(command, command_text_size, "iw wdev %s nan start %s", nan.wdev, params);
    add_command(batch, count, command);
    char interface_up[command_text_size] = {};
    snprintf(interface_up, sizeof interface_up, "ifconfig %s up", nan_interface);
    add_command(batch, count, interface_up);
    return 0;
}

int add_func_handler(const nan_interface_state& nan, const char* params, command_batch& batch,
                     int* count, char* command) {
    char rebuilt[command_text_size] = {};
    rebuild_add_func_params(params, rebuilt, sizeof rebuilt);
    // "iw wdev %s nan add_func %s", cut at the command size like every other command.
    append_bounded(command, command_text_size, "iw wdev ");
    append_bounded(command, command_text_size, nan.wdev);
    append_bounded(command, command_text_size, " nan add_func ");
    append_bounded(command, command_text_size, rebuilt);
    add_command(batch, count, command);
    return 0;
}

// reset and updatefw: the row's own command, whatever the parameters.
int fixed_command_handler(const nan_interface_state&, const char* fixed_command,
                          command_batch& batch, int* count, char* command) {
    snprintf(command, command_text_size, "%s", fixed_command);
    add_command(batch, count, command);
    return 0;
}

constexpr char ls_prefix[] = "echo \"List directory: \" && ";
constexpr char mkdir_prefix[] = "echo \"Create directory: \" && ";
constexpr char cp_prefix[] = "echo \"Copy file: \" && ";

// A built-in row: its collector between the row's banner lines.
int collect_builtin_row(const keyword_row& row, const nan_interface_state& nan,
                        const char* params, command_batch& batch, int* count) {
    log_out("\n=== Executing %s custom logic ===\n", row.keyword);
    char command[command_text_size] = {};
    const char* input = row.fixed_command != nullptr ? row.fixed_command : params;
    if (row.builtin(nan, input, batch, count, command) != 0) {
        log_out("=== %s custom logic execution failed ===\n", row.keyword);
        return -1;
    }
    log_out("%s:%s\n", row.keyword, command);
    log_out("=== %s custom logic execution completed ===\n", row.keyword);
    return 0;
}

// A plain shell row runs its prefix and keyword, then one blank and the parameters if any.
void collect_plain_row(const keyword_row& row, const char* params, command_batch& batch,
                       int* count) {
    char command[command_text_size] = {};
    append_bounded(command, sizeof command, row.prefix);
    append_bounded(command, sizeof command, row.keyword);
    if (params != nullptr && params[0] != '\0') {
        append_bounded(command, sizeof command, " ");
        append_bounded(command, sizeof command, params);
    }
    add_command(batch, count, command);
}

}  // namespace

keyword_dispatch_table::keyword_dispatch_table(nan_interface_state& nan,
                                               const room_keyword_handlers& rooms,
                                               command_runner& runner, exec_pauser& pauser)
    : nan_(nan),
      runner_(runner),
      pauser_(pauser),
      rows_{
          {"init", "", nullptr, init_handler, nullptr},
          {"start", "", nullptr, start_handler, nullptr},
          {"add_func", "", nullptr, add_func_handler, nullptr},
          {"srvc_ext", "", &rooms.srvc_ext, nullptr, nullptr},
          {"data_req", "", &rooms.data_req, nullptr, nullptr},
          {"data_rsp", "", &rooms.data_rsp, nullptr, nullptr},
          {"data_end", "", &rooms.data_end, nullptr, nullptr},
          {"followup", "", &rooms.followup, nullptr, nullptr},
          {"pasn_start", "", &rooms.pasn_start, nullptr, nullptr},
          {"reset", "", nullptr, fixed_command_handler, reboot_command},
          {"updatefw", "", nullptr, fixed_command_handler, firmware_update_command},
          {"config_write", "", &rooms.config_write, nullptr, nullptr},
          {"ls", ls_prefix, nullptr, nullptr, nullptr},
          {"mkdir", mkdir_prefix, nullptr, nullptr, nullptr},
          {"cp", cp_prefix, nullptr, nullptr, nullptr},
      } {}

const keyword_row* keyword_dispatch_table::find(const char* keyword) const {
    if (keyword == nullptr) return nullptr;
    for (const keyword_row& row : rows_) {
        if (strcmp(row.keyword, keyword) == 0) return &row;
    }
    return nullptr;
}

int keyword_dispatch_table::execute(const char* keyword, const char* params) {
    command_batch batch{};
    int count = 0;

    mutex_hold hold(nan_.iwset_mutex);
    if (hold.lock_error() != 0) {
        log_out("Error: Failed to lock iwset_mutex!\n");
        return -1;
    }
    const keyword_row* row = find(keyword);
    if (row == nullptr) {
        log_out("Error: Unsupported keyword <%s>!\n", keyword != nullptr ? keyword : "");
        return -1;
    }
    int result = 0;
    if (row->builtin != nullptr)
        result = collect_builtin_row(*row, nan_, params, batch, &count);
    else if (row->handler != nullptr)
        result = row->handler->collect(params, batch, &count);
    else
        collect_plain_row(*row, params, batch, &count);
    if (result != 0) return result;
    return execute_collected_commands(runner_, pauser_, batch, &count);
}
