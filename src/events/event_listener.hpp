#pragma once
// The listener thread owns the `iw event -t -f` child and copies every line it prints into the
// event ring. The child's process id is published for the signal path, which must kill it
// before the process ends.
#include <pthread.h>

#include <atomic>
#include <cstdio>

#include "event_queue.hpp"

constexpr int iw_event_no_child = -1;

// iw_event_pid and its lock, plus a lock-free copy that a signal handler may read: the handler
// cannot take a lock that the thread it interrupted might hold.
class iw_event_child_state {
public:
    iw_event_child_state();
    ~iw_event_child_state();
    iw_event_child_state(const iw_event_child_state&) = delete;
    iw_event_child_state& operator=(const iw_event_child_state&) = delete;

    void set_pid(int pid);  // iw_event_no_child when none runs
    int pid();
    // Async-signal-safe: hands the running child's id to the caller once, or iw_event_no_child.
    int take_pid_for_signal();
    // The signal path has taken the running child: it kills it, reaps it and ends the process.
    bool taken_by_signal();

private:
    pthread_mutex_t iw_event_pid_mutex_;
    int iw_event_pid_ = iw_event_no_child;
    std::atomic<int> signal_pid_{iw_event_no_child};
    static_assert(std::atomic<int>::is_always_lock_free, "the signal path needs a lock-free pid");
};

// The daemon's child, the one the signal handler kills.
extern iw_event_child_state iw_event_child;

// The read rule: lines of at most 511 characters (a longer line arrives as several), cut at the
// first newline, each pushed and then printed. Returns at end of stream or on a read error, with
// the number of lines forwarded.
int forward_event_lines(FILE* stream, event_line_queue& ring);

constexpr unsigned iw_event_first_pause_ms = 1000;
constexpr unsigned iw_event_longest_pause_ms = 30000;

// When a new `iw event` starts after the last one ended: after first_pause_ms, doubled after
// every stream that ended without a line, up to longest_pause_ms.
struct listener_restart {
    unsigned first_pause_ms = iw_event_first_pause_ms;
    unsigned longest_pause_ms = iw_event_longest_pause_ms;
    int streams = 0;  // streams to run before the listener ends; 0: for ever, as the daemon does
};

// The whole listener: starts `iw event -t -f` (found on the search path) in a process group of
// its own, forwards its lines to ring until the stream closes, reaps the child, and starts the
// next after a pause ("... stream closed, restarting in N ms"). child is kept in step
// throughout. Once the signal path has taken the child it never returns.
void run_event_listener(event_line_queue& ring, iw_event_child_state& child,
                        const listener_restart& restart);

// Thread body: the daemon's ring and child.
void* nan_event_listener(void*);
