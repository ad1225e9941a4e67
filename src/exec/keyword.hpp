#pragma once
// Command execution: the two shell command runners, the lock that serialises every command on
// the Wi-Fi interface and the boot environment, the command batch and the keyword dispatcher.
//
// Every daemon caller runs its shell commands through active_command_runner() and pauses through
// exec_pause_us(), so unit tests record command lines and pauses instead of running and waiting.
#include <pthread.h>

#include <cstddef>
#include <cstdio>

#include "command_child.hpp"

// ---- shell command runners ----

// How long a command may run. Past it a command is killed with its whole process group and the
// run counts as failed; a command that writes the boot environment or the firmware (fw_setenv,
// /bin/usb.sh, reboot) is only reported and waited for, since cutting it could corrupt what it
// writes.
constexpr unsigned command_time_limit_ms = 60000;

// The reading half of captured mode, shared with the recording test runner so that scripted
// answers are cut exactly as real ones: appends the stream's text at the start of output, at most
// len - 1 characters, printing the truncation warning when it does not fit. Returns true when
// everything fitted.
bool read_command_output(FILE* stream, char* output, size_t len);
// Removes one final line feed, if there is one.
void drop_final_line_feed(char* output);

// ---- test seams ----

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

// The real runners: every child starts with default signal dispositions and an empty signal
// mask, in a process group of its own that the signal path kills while the command runs (unless
// it must finish: then the signal path waits for it, and once it stops, refuses to start one; the
// runner then returns -1 after a line). The daemon's has the 60 s limit and the daemon's lists.
class shell_command_runner : public command_runner {
public:
    explicit shell_command_runner(unsigned time_limit_ms = command_time_limit_ms,
                                  running_command_groups& cuttable = running_commands,
                                  running_command_groups& writes = running_writes);
    int capture(const char* cmd, char* output, size_t len) override;
    int status(const char* cmd) override;

private:
    running_command_groups& list_for(const char* cmd);

    unsigned time_limit_ms_;
    running_command_groups& cuttable_;
    running_command_groups& writes_;
};

shell_command_runner& daemon_shell_runner();

// The daemon's runner unless another one was installed.
command_runner& active_command_runner();

// Installs a runner for its lifetime and puts the previous one back afterwards (tests, and a
// tool that runs with another time limit).
class scoped_command_runner {
public:
    explicit scoped_command_runner(command_runner& runner);
    ~scoped_command_runner();
    scoped_command_runner(const scoped_command_runner&) = delete;
    scoped_command_runner& operator=(const scoped_command_runner&) = delete;

private:
    command_runner* previous_;
};

// Retry and spacing pauses of the command batch and the vendor transport.
void exec_pause_us(unsigned microseconds);  // real: sleeps the whole time, even across signals

class exec_pauser {
public:
    virtual ~exec_pauser() = default;
    virtual void pause_us(unsigned microseconds) = 0;
};

// Installs a pauser for its lifetime and puts the previous one back afterwards (tests only).
class scoped_exec_pauser {
public:
    explicit scoped_exec_pauser(exec_pauser& pauser);
    ~scoped_exec_pauser();
    scoped_exec_pauser(const scoped_exec_pauser&) = delete;
    scoped_exec_pauser& operator=(const scoped_exec_pauser&) = delete;

private:
    exec_pauser* previous_;
};

// ---- process-wide state of NAN control ----

// Held for a whole keyword operation and around every captured query of the interface or the
// boot environment. Not recursive. Lock order: param_mutex, iwset_mutex, vendor_send_mutex.
extern pthread_mutex_t iwset_mutex;

// Room for any value iw prints: a 32-bit wiphy index in decimal, a 64-bit wdev in hexadecimal
// with its 0x prefix. The interface is re-created at every start, so both keep growing.
constexpr size_t nan_phy_size = 11;   // "4294967295" and a NUL
constexpr size_t nan_wdev_size = 19;  // "0xffffffffffffffff" and a NUL
extern char nan_phy[nan_phy_size];    // written by NAN bring-up, read by the init caller
extern char nan_wdev[nan_wdev_size];  // read by start and add_func

// ---- command batch ----

constexpr int command_batch_slots = 3;
constexpr size_t command_text_size = 1024;  // one command: at most 1023 characters
constexpr int command_attempts = 3;
constexpr unsigned command_retry_pause_us = 500000;     // after every failed attempt
constexpr unsigned command_spacing_pause_us = 1000000;  // after each command of a longer batch

struct command_batch {
    char commands[command_batch_slots][command_text_size];
};

using keyword_handler = int (*)(const char* params, command_batch& batch, int* count);

// Adds one command; 0 (also when an empty command was skipped) or -1 when the batch is full.
int add_command(command_batch& batch, int* count, const char* command);

// Runs the collected commands in status mode, three attempts each, and stops at the first that
// keeps failing. Returns 0 or -1; always leaves the batch cleared and the count 0.
int execute_collected_commands(command_batch& batch, int* count);

// ---- keyword table and dispatch ----

struct keyword_row {
    const char* keyword;
    const char* prefix;       // plain shell rows: put before the keyword
    keyword_handler handler;  // nullptr: plain shell row
};

constexpr int keyword_table_rows = 15;

// The 15 rows in their fixed order. Rows that other rooms build (srvc_ext, data_req, data_rsp,
// data_end, followup, pasn_start, config_write) start with a handler that refuses with
// "Error: keyword <NAME> is not available!" on standard error and -1, so such a keyword can never
// reach the shell as a plain command.
class keyword_dispatch_table {
public:
    keyword_dispatch_table();

    const keyword_row* find(const char* keyword) const;  // exact, case-sensitive; nullptr if absent
    // Installs a handler on a row that has one; nullptr puts the row's own handler back.
    // Returns false (and changes nothing) for an unknown keyword or a plain shell row.
    bool set_handler(const char* keyword, keyword_handler handler);

private:
    keyword_row rows_[keyword_table_rows];
};

// The daemon's table.
keyword_dispatch_table& keyword_table();

// Runs one keyword operation under iwset_mutex: the row's handler, then the commands it
// collected. Returns 0, -1 (lock or unlock failure, unknown keyword, failed batch) or the
// handler's own non-zero result. params may be nullptr.
int execute_keyword(const char* keyword, const char* params);
int execute_keyword(keyword_dispatch_table& table, const char* keyword, const char* params);

// The rooms that build the refusing rows install their handler at start-up, before the threads
// that dispatch keywords run (main calls vendor_register_keywords(), params_register_keywords()).
// Takes iwset_mutex, so it must never be called from a handler. An unknown keyword or a plain
// shell row is refused with a line on standard error.
void set_keyword_handler(const char* keyword, keyword_handler handler);
