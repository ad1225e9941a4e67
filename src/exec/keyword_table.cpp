#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "builtin_handlers.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

namespace {

using namespace exec_internal;

constexpr char ls_prefix[] = "echo \"List directory: \" && ";
constexpr char mkdir_prefix[] = "echo \"Create directory: \" && ";
constexpr char cp_prefix[] = "echo \"Copy file: \" && ";

int row_index(const keyword_row* rows, const char* keyword) {
    if (keyword == nullptr) return -1;
    for (int index = 0; index < keyword_table_rows; ++index) {
        if (strcmp(rows[index].keyword, keyword) == 0) return index;
    }
    return -1;
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
      init_(init_handler, nan),
      start_(start_handler, nan),
      add_func_(add_func_handler, nan),
      reset_(reset_handler, nan),
      updatefw_(updatefw_handler, nan),
      rows_{
          {"init", "", &init_},
          {"start", "", &start_},
          {"add_func", "", &add_func_},
          {"srvc_ext", "", &rooms.srvc_ext},
          {"data_req", "", &rooms.data_req},
          {"data_rsp", "", &rooms.data_rsp},
          {"data_end", "", &rooms.data_end},
          {"followup", "", &rooms.followup},
          {"pasn_start", "", &rooms.pasn_start},
          {"reset", "", &reset_},
          {"updatefw", "", &updatefw_},
          {"config_write", "", &rooms.config_write},
          {"ls", ls_prefix, nullptr},
          {"mkdir", mkdir_prefix, nullptr},
          {"cp", cp_prefix, nullptr},
      } {}

const keyword_row* keyword_dispatch_table::find(const char* keyword) const {
    int index = row_index(rows_, keyword);
    return index < 0 ? nullptr : &rows_[index];
}

int keyword_dispatch_table::execute(const char* keyword, const char* params) {
    command_batch batch;
    memset(&batch, 0, sizeof batch);
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
    if (row->handler == nullptr) {
        collect_plain_row(*row, params, batch, &count);
    } else {
        int result = row->handler->collect(params, batch, &count);
        if (result != 0) return result;
    }
    return execute_collected_commands(runner_, pauser_, batch, &count);
}
