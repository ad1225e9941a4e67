#pragma once
// The NAN event module: the `iw event` listener and its line ring, the parser of the driver's
// vendor events and the decision thread that accepts data-path requests.
#include "command_child.hpp"
#include "connection_decision.hpp"
#include "daemon_counters.hpp"
#include "event_listener.hpp"
#include "event_queue.hpp"
#include "vendor_event.hpp"

// What the module's two threads share, for the life of the process.
struct nan_events {
    // running: where the `iw event` child is listed, for the stop to find and kill. The
    // decision runs its keyword through dispatcher and counts what it decides in counts; clock
    // dates the vendor data for the stale rule.
    nan_events(running_command_groups& running, keyword_dispatcher& dispatcher,
               nan_counters& counts, mono_clock_source& clock)
        : commands(running), collector(clock), decision(collector, allowed, dispatcher, counts) {}
    nan_events(const nan_events&) = delete;
    nan_events& operator=(const nan_events&) = delete;

    running_command_groups& commands;
    event_line_queue ring;
    vendor_event_collector collector;
    mac_allow_list allowed;  // empty: the daemon has no source for it, so every peer is let in
    connection_decision decision;
};

// Starts the listener and decision threads (detached) on events. Returns 0, or -1 after printing
// which step failed; a thread already started keeps running. Called once, first thing in NAN
// bring-up.
int nan_event_init(nan_events& events);
