#pragma once
// The NAN event module: the `iw event` listener and its line ring, the parser of the driver's
// vendor events, the decision thread that accepts data-path requests, and the signal path that
// stops the `iw event` child and ends the process.
#include "connection_decision.hpp"
#include "event_listener.hpp"
#include "event_queue.hpp"
#include "vendor_event.hpp"

// Starts the listener and decision threads (detached). Returns 0, or -1 after printing which
// step failed; a thread already started keeps running. Called once, first thing in NAN bring-up;
// the decision thread counts what it decides in counts.
int nan_event_init(nan_counters& counts);

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
// then its own, and ends with status 0. 0, or -1 with errno set.
int start_signal_path();

// How long a stop waits for a running boot-environment write (fw_setenv) before the process
// ends all the same; set before the signal path can run.
constexpr unsigned default_boot_env_write_wait_ms = 30000;
void set_boot_env_write_wait_ms(unsigned milliseconds);
// How long a stop waits for a firmware update or a reboot at most (NANVIDEOD_STOP_WAIT_CAP_MS
// may shorten it).
constexpr unsigned default_stop_wait_cap_ms = 600000;

// Work the signal path does before the process ends, for rooms this one does not know (the
// vendor transport's record file). The crash path runs it too, so it must be async-signal-safe.
void set_signal_cleanup_hook(void (*hook)());

// Kills and reaps the `iw event` child, if one runs, without a word; the listener starts no
// other, and no command that may be cut starts any more.
void stop_iw_event_child();

// The daemon ends after a failed start-up step: no write starts any more, the `iw event` child
// goes, and the running writes are waited for as a stop waits for them (the server took
// configuration writes from its first step). Returns when the caller may end the process; when
// a stop signal came first, never returns (the stop ends the process).
void end_startup_after_failure();
