// The command batch: a keyword handler collects up to three shell commands, which then run one
// after the other in status mode, each with three attempts.
#include <pthread.h>

#include <cstdio>
#include <cstring>

#include "keyword.hpp"
#include "log.hpp"
#include "mono_clock.hpp"

namespace {

unsigned long thread_id() { return static_cast<unsigned long>(pthread_self()); }

void clear_batch(command_batch& batch, int* count) {
    memset(&batch, 0, sizeof batch);
    *count = 0;
}

// Runs one command with its attempts; the last runner result (0 on success).
int run_with_attempts(command_runner& runner, exec_pauser& pauser, const char* command,
                      int number, int count) {
    int result = -1;
    for (int attempt = 1; attempt <= command_attempts; ++attempt) {
        log_out("[%lu] Executing command [%d/%d] (retry %d): %s\n", thread_id(), number, count,
               attempt, command);
        result = runner.status(command);
        if (result == 0) {
            log_out("Command [%d] executed successfully!\n", number);
            return 0;
        }
        pauser.pause_us(command_retry_pause_us);
    }
    log_err("[%lu] Error: Executing command failed (exit code: %d, retries: %d)!\n",
            thread_id(), result, command_attempts);
    return result;
}

}  // namespace

void sleeping_pauser::pause_us(unsigned microseconds) { mono_sleep_us(microseconds); }

int add_command(command_batch& batch, int* count, const char* command) {
    // Only the dispatcher sets the count (to 0); a negative one would index before the batch.
    if (*count < 0) return -1;
    if (*count >= command_batch_slots) {
        log_out("Error: Command buffer is full (max %d commands)!\n", command_batch_slots);
        return -1;
    }
    if (command == nullptr || command[0] == '\0') {
        log_out("Warning: Empty command skipped!\n");
        return 0;
    }
    snprintf(batch.commands[*count], command_text_size, "%s", command);
    ++*count;
    return 0;
}

int execute_collected_commands(command_runner& runner, exec_pauser& pauser, command_batch& batch,
                               int* count) {
    if (*count <= 0) {
        log_out("No commands to execute!\n");
        clear_batch(batch, count);
        return 0;
    }
    // The count only ever grows through add_command; never read past the slots all the same.
    int total = *count > command_batch_slots ? command_batch_slots : *count;

    log_out("\n=== Start executing collected commands ===\n");
    int result = 0;
    for (int index = 0; index < total; ++index) {
        if (run_with_attempts(runner, pauser, batch.commands[index], index + 1, total) != 0) {
            result = -1;
            break;
        }
        if (total > 1) pauser.pause_us(command_spacing_pause_us);
    }
    log_out("=== All commands execution completed ===\n\n");
    clear_batch(batch, count);
    return result;
}
