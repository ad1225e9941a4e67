#pragma once
// The NAN event module: the `iw event` listener and its line ring, the parser of the driver's
// vendor events, the decision thread that accepts data-path requests, and the signal path that
// stops the `iw event` child and ends the process.
#include "command_child.hpp"
#include "connection_decision.hpp"
#include "event_listener.hpp"
#include "event_queue.hpp"
#include "keyword.hpp"
#include "vendor_event.hpp"

// Work the signal path does before the process ends, for rooms this one does not know (the
// vendor transport's record file). The crash path runs it too, so it must be async-signal-safe.
class signal_cleanup_work {
public:
    virtual ~signal_cleanup_work() = default;
    virtual void run_async_signal_safe() = 0;
};

// What the event threads use of the daemon's instances; lives as long as the process.
struct nan_event_rooms {
    nan_counters& counts;              // what the decision thread decides
    running_command_groups& commands;  // the cuttable ones: the `iw event` child is listed there
    keyword_dispatch_table& keywords;  // where the decision sends its keyword
};

// Starts the listener and decision threads (detached). Returns 0, or -1 after printing which
// step failed; a thread already started keeps running. Called once, first thing in NAN bring-up.
int nan_event_init(nan_event_rooms& rooms);

// Called first in the daemon, before any other thread exists. SIGINT and SIGTERM are blocked
// in every thread and taken by a stop thread of their own, so a stop never lands on a thread
// that serves clients; the stop runs there as ordinary code. It kills and reaps the `iw event`
// child and kills every running command that may be cut (with their process groups) before it
// waits for anything; from then on no boot-environment or firmware write starts. It tells the
// service manager it is stopping, waits for the running writes (a boot-environment write at
// most its bound, the others at most the cap), asking the manager for more time meanwhile,
// writes out every queued line and ends the process with status 0. A later stop signal changes
// nothing.
// SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT keep a handler that kills the same children,
// waits within the bound for a running boot-environment write, writes out the queued lines,
// then its own, and ends with status 0. commands are the daemon's running command lists; cleanup
// is done by both paths before the waits. 0, or -1 with errno set.
int start_signal_path(running_command_lists& commands, signal_cleanup_work& cleanup);

// How long a stop waits for a running boot-environment write (fw_setenv) before the process
// ends all the same; set before the signal path can run.
constexpr unsigned default_boot_env_write_wait_ms = 30000;
void set_boot_env_write_wait_ms(unsigned milliseconds);
// How long a stop waits for a firmware update or a reboot at most (NANVIDEOD_STOP_WAIT_CAP_MS
// may shorten it).
constexpr unsigned default_stop_wait_cap_ms = 600000;


// Kills and reaps the `iw event` child, if one runs, without a word; the listener starts no
// other, and no command that may be cut starts any more.
void stop_iw_event_child();

// The daemon ends after a failed start-up step: no write starts any more, the `iw event` child
// goes, and the running writes are waited for as a stop waits for them (the server took
// configuration writes from its first step). Returns when the caller may end the process; when
// a stop signal came first, never returns (the stop ends the process).
void end_startup_after_failure();
