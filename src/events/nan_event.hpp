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
// groups). Async-signal-safe: it takes no lock and uses no stdio, so it is sound in
// whichever thread the signal lands, whatever that thread holds.
[[noreturn]] void sig_handler(int signo);

// Installs sig_handler for the three signals; 0, or -1 with errno set.
int install_signal_handlers();

// Work the signal path does before the process ends, for rooms this one does not know (the
// vendor transport's record file). The hook must be async-signal-safe.
void set_signal_cleanup_hook(void (*hook)());

// Kills and reaps the `iw event` child, if one runs, without a word: the daemon ends after a
// failed start-up step and must not leave the child behind.
void stop_iw_event_child();
