// The keyword table and the dispatcher, the one door to NAN control: a keyword operation runs
// whole under iwset_mutex, so operations from the bring-up, the AT commands and the data-path
// decision never interleave.
#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "builtin_handlers.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

pthread_mutex_t iwset_mutex = PTHREAD_MUTEX_INITIALIZER;
char nan_phy[nan_phy_size];
char nan_wdev[nan_wdev_size];

namespace {

using namespace exec_internal;

// Rows whose handlers other rooms build refuse until their room installs the real one: a missing
// registration must show as a clear error, never as a shell command named after the keyword.
int refuse(const char* keyword) {
    log_err("Error: keyword <%s> is not available!\n", keyword);
    return -1;
}

int refuse_srvc_ext(const char*, command_batch&, int*) { return refuse("srvc_ext"); }
int refuse_data_req(const char*, command_batch&, int*) { return refuse("data_req"); }
int refuse_data_rsp(const char*, command_batch&, int*) { return refuse("data_rsp"); }
int refuse_data_end(const char*, command_batch&, int*) { return refuse("data_end"); }
int refuse_followup(const char*, command_batch&, int*) { return refuse("followup"); }
int refuse_pasn_start(const char*, command_batch&, int*) { return refuse("pasn_start"); }
int refuse_config_write(const char*, command_batch&, int*) { return refuse("config_write"); }

constexpr keyword_row default_rows[keyword_table_rows] = {
    {"init", "", init_handler},
    {"start", "", start_handler},
    {"add_func", "", add_func_handler},
    {"srvc_ext", "", refuse_srvc_ext},
    {"data_req", "", refuse_data_req},
    {"data_rsp", "", refuse_data_rsp},
    {"data_end", "", refuse_data_end},
    {"followup", "", refuse_followup},
    {"pasn_start", "", refuse_pasn_start},
    {"reset", "", reset_handler},
    {"updatefw", "", updatefw_handler},
    {"config_write", "", refuse_config_write},
    {"ls", "echo \"List directory: \" && ", nullptr},
    {"mkdir", "echo \"Create directory: \" && ", nullptr},
    {"cp", "echo \"Copy file: \" && ", nullptr},
};

int row_index(const keyword_row* rows, const char* keyword) {
    if (keyword == nullptr) return -1;
    for (int index = 0; index < keyword_table_rows; ++index) {
        if (strcmp(rows[index].keyword, keyword) == 0) return index;
    }
    return -1;
}

// A plain shell row runs its prefix and keyword, then one blank and the parameters if any.
int run_plain_row(const keyword_row& row, const char* params, command_batch& batch, int* count) {
    char command[command_text_size] = {};
    append_bounded(command, sizeof command, row.prefix);
    append_bounded(command, sizeof command, row.keyword);
    if (params != nullptr && params[0] != '\0') {
        append_bounded(command, sizeof command, " ");
        append_bounded(command, sizeof command, params);
    }
    add_command(batch, count, command);
    return execute_collected_commands(batch, count);
}

int run_handler_row(keyword_handler handler, const char* params, command_batch& batch,
                    int* count) {
    int result = handler(params, batch, count);
    if (result != 0) return result;
    return execute_collected_commands(batch, count);
}

}  // namespace

keyword_dispatch_table::keyword_dispatch_table() {
    for (int index = 0; index < keyword_table_rows; ++index) rows_[index] = default_rows[index];
}

const keyword_row* keyword_dispatch_table::find(const char* keyword) const {
    int index = row_index(rows_, keyword);
    return index < 0 ? nullptr : &rows_[index];
}

bool keyword_dispatch_table::set_handler(const char* keyword, keyword_handler handler) {
    int index = row_index(rows_, keyword);
    if (index < 0 || default_rows[index].handler == nullptr) return false;
    rows_[index].handler = handler != nullptr ? handler : default_rows[index].handler;
    return true;
}

keyword_dispatch_table& keyword_table() {
    static keyword_dispatch_table table;
    return table;
}

int execute_keyword(keyword_dispatch_table& table, const char* keyword, const char* params) {
    command_batch batch;
    memset(&batch, 0, sizeof batch);
    int count = 0;

    mutex_hold hold(iwset_mutex);
    if (hold.lock_error() != 0) {
        log_out("Error: Failed to lock iwset_mutex!\n");
        return -1;
    }
    const keyword_row* row = table.find(keyword);
    if (row == nullptr) {
        log_out("Error: Unsupported keyword <%s>!\n", keyword != nullptr ? keyword : "");
        return -1;
    }
    return row->handler != nullptr ? run_handler_row(row->handler, params, batch, &count)
                                   : run_plain_row(*row, params, batch, &count);
}

int execute_keyword(const char* keyword, const char* params) {
    return execute_keyword(keyword_table(), keyword, params);
}

void set_keyword_handler(const char* keyword, keyword_handler handler) {
    bool installed = false;
    {
        mutex_hold hold(iwset_mutex);
        if (hold.lock_error() != 0) {
            log_err("Error: Failed to lock iwset_mutex!\n");
            return;
        }
        installed = keyword_table().set_handler(keyword, handler);
    }
    if (!installed) {
        log_err("Error: Cannot install a handler for keyword <%s>!\n",
                keyword != nullptr ? keyword : "");
    }
}
