#pragma once
// Command execution: the two shell command runners, the lock that serialises every command on
// the Wi-Fi interface and the boot environment, the command batch and the keyword dispatcher.
//
// Whoever runs commands or pauses is handed the runner and the pauser by constructor, so unit
// tests record command lines and pauses instead of running and waiting.
#include <pthread.h>

#include <cstddef>

#include "command_child.hpp"

// How long a command may run. Past it a command is killed with its whole process group and the
// run counts as failed; a command that writes the boot environment or the firmware (fw_setenv,
// /bin/usb.sh, reboot) is only reported and waited for, since cutting it could corrupt what it
// writes.
constexpr unsigned command_time_limit_ms = 60000;

// Removes one final line feed, if there is one.
void drop_final_line_feed(char* output);

class command_runner {
public:
    virtual ~command_runner() = default;
    // Captured mode: runs the command under the system shell and stores at most len - 1
    // characters of its standard output (and a NUL) in output; one final line feed is removed.
    // Output that does not fit is cut with a warning and still gives 0. The command's exit status
    // is not looked at. Returns 0, or -1 when the command could not be run, its end not be
    // waited for, or it was killed at the time limit.
    virtual int capture(const char* cmd, char* output, size_t len) = 0;
    // Status mode: runs "/bin/sh -c cmd" with standard output and standard error on /dev/null.
    // Returns the shell's exit status (0 to 255), or -1 for an empty command (no child is made),
    // a failed fork or wait, a shell killed by a signal, or a command killed at the time limit.
    virtual int status(const char* cmd) = 0;
};

// The real runners: every child starts with default signal dispositions and an empty signal mask.
class shell_command_runner : public command_runner {
public:
    shell_command_runner(unsigned time_limit_ms, running_command_groups& cuttable,
                         running_command_groups& writes);
    int capture(const char* cmd, char* output, size_t len) override;
    int status(const char* cmd) override;

private:
    running_command_groups& list_for(const char* cmd);

    unsigned time_limit_ms_;
    running_command_groups& cuttable_;
    running_command_groups& writes_;
};

// Retry and spacing pauses of the command batch and the vendor transport.
class exec_pauser {
public:
    virtual ~exec_pauser() = default;
    virtual void pause_us(unsigned microseconds) = 0;
};

// The daemon's: sleeps the whole time, even across signals.
class sleeping_pauser final : public exec_pauser {
public:
    void pause_us(unsigned microseconds) override;
};

// Room for any value iw prints: a 32-bit wiphy index in decimal, a 64-bit wdev in hexadecimal
// with its 0x prefix. The interface is re-created at every start, so both keep growing.
constexpr size_t nan_phy_size = 11;   // "4294967295" and a NUL
constexpr size_t nan_wdev_size = 19;  // "0xffffffffffffffff" and a NUL

struct nan_interface_state {
    // Held for a whole keyword operation and around every captured query of the interface or
    // the boot environment. Not recursive. Lock order: param_mutex, iwset_mutex,
    // vendor_send_mutex.
    pthread_mutex_t iwset_mutex = PTHREAD_MUTEX_INITIALIZER;
    char phy[nan_phy_size] = {};    // written by NAN bring-up, read by the init caller
    char wdev[nan_wdev_size] = {};  // read by start and add_func
};

constexpr int command_batch_slots = 3;
constexpr size_t command_text_size = 1024;  // one command: at most 1023 characters
constexpr int command_attempts = 3;
constexpr unsigned command_retry_pause_us = 500000;     // after every failed attempt
constexpr unsigned command_spacing_pause_us = 1000000;  // after each command of a longer batch

struct command_batch {
    char commands[command_batch_slots][command_text_size];
};

// Adds one command; 0 (also when an empty command was skipped) or -1 when the batch is full.
int add_command(command_batch& batch, int* count, const char* command);

// Runs the collected commands in status mode through runner, three attempts each with pauses
// between, and stops at the first that keeps failing. Returns 0 or -1; always leaves the batch
// cleared and the count 0.
int execute_collected_commands(command_runner& runner, exec_pauser& pauser, command_batch& batch,
                               int* count);

// What a keyword row does with its parameters (params may be nullptr): collects the commands to
// run into the batch, or does its work itself. 0 lets the dispatcher run the batch; anything else
// is the operation's result.
class keyword_handler {
public:
    virtual ~keyword_handler() = default;
    virtual int collect(const char* params, command_batch& batch, int* count) = 0;
};

// The rows this room builds itself. A collector puts its row's commands into the batch and the
// one the row reports into command (command_text_size bytes); start and add_func use the NAN
// interface's wdev. input is the row's parameters (may be nullptr), or its fixed command.
using builtin_collector = int (*)(const nan_interface_state& nan, const char* input,
                                  command_batch& batch, int* count, char* command);

struct keyword_row {
    const char* keyword;
    const char* prefix;         // plain shell rows: put before the keyword
    keyword_handler* handler;   // a row another room builds
    builtin_collector builtin;  // a row this room builds, run between its banner lines
    const char* fixed_command;  // a built-in row's input whatever its parameters, or nullptr
};

constexpr int keyword_table_rows = 15;

// The rows other rooms build: the vendor records and the boot-environment write.
struct room_keyword_handlers {
    keyword_handler& srvc_ext;
    keyword_handler& data_req;
    keyword_handler& data_rsp;
    keyword_handler& data_end;
    keyword_handler& followup;
    keyword_handler& pasn_start;
    keyword_handler& config_write;
};

// The 15 rows in their fixed order, complete from construction, and the one door to NAN
// control: a keyword operation runs whole under the interface's iwset_mutex, so operations from
// the bring-up, the AT commands and the data-path decision never interleave.
class keyword_dispatch_table {
public:
    keyword_dispatch_table(nan_interface_state& nan, const room_keyword_handlers& rooms,
                           command_runner& runner, exec_pauser& pauser);
    keyword_dispatch_table(const keyword_dispatch_table&) = delete;
    keyword_dispatch_table& operator=(const keyword_dispatch_table&) = delete;

    const keyword_row* find(const char* keyword) const;  // exact, case-sensitive; nullptr if absent

    // Runs one keyword operation under iwset_mutex: the row's handler, then the commands it
    // collected. Returns 0, -1 (lock or unlock failure, unknown keyword, failed batch) or the
    // handler's own non-zero result. params may be nullptr. Never from a handler.
    int execute(const char* keyword, const char* params);

    // What the interface queries outside a keyword operation share with it.
    nan_interface_state& nan() { return nan_; }
    command_runner& runner() { return runner_; }

private:
    nan_interface_state& nan_;
    command_runner& runner_;
    exec_pauser& pauser_;
    keyword_row rows_[keyword_table_rows];
};
