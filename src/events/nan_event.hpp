#pragma once
// The NAN event module: the `iw event` listener and its line ring, the parser of the driver's
// vendor events, the decision thread that accepts data-path requests, and the signal path that
// stops the `iw event` child and ends the process.
#include "connection_decision.hpp"
#include "event_listener.hpp"
#include "event_queue.hpp"
#include "vendor_event.hpp"

// Installs the signal handlers and starts the listener and decision threads (detached).
// Returns 0, or -1 after printing which step failed; a thread already started keeps running.
// Called once, first thing in NAN bring-up.
int nan_event_init();

// SIGINT, SIGTERM and SIGSEGV end the process with status 0 after killing and reaping the
// `iw event` child and killing every running command that may be cut (with their process
// groups). From the first stop signal on no boot-environment or firmware write starts; a stop
// (SIGINT, SIGTERM) tells the service manager it is stopping and waits for the running writes
// (a boot-environment write at most the bound), asking the manager for more time meanwhile. A
// crash (SIGSEGV) ends at once. The work runs once: a later stop signal, on whatever thread,
// returns and changes nothing. Async-signal-safe: it takes no lock and uses no stdio, so it is
// sound in whichever thread the signal lands, whatever that thread holds.
void sig_handler(int signo);

// Installs sig_handler for the three signals; 0, or -1 with errno set.
int install_signal_handlers();

// Called first in the daemon, before any other thread exists: installs the handlers, and leaves
// SIGINT and SIGTERM to a thread of their own, so a stop never lands on a thread that serves
// clients. 0, or -1 with errno set.
int start_signal_path();

// How long a stop waits for a running boot-environment write (fw_setenv) before the process
// ends all the same; set before the signal path can run.
constexpr unsigned default_boot_env_write_wait_ms = 30000;
void set_boot_env_write_wait_ms(unsigned milliseconds);

// Work the signal path does before the process ends, for rooms this one does not know (the
// vendor transport's record file). The hook must be async-signal-safe.
void set_signal_cleanup_hook(void (*hook)());

// Kills and reaps the `iw event` child, if one runs, without a word.
void stop_iw_event_child();

// The daemon ends after a failed start-up step: no write starts any more, the `iw event` child
// goes, and the running writes are waited for as a stop waits for them (the server took
// configuration writes from its first step). Returns when the caller may end the process; when
// a stop signal came first, never returns (its handler ends the process).
void end_startup_after_failure();
