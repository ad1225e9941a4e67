#pragma once
// The listener thread owns the `iw event -t -f` child and copies every line it prints into the
// event ring. The child's process id is published for the stop, which must kill it before the
// process ends; the child dies with the daemon however the daemon ends.
#include <pthread.h>

#include <cstdio>

#include "command_child.hpp"
#include "event_queue.hpp"

constexpr int iw_event_no_child = -1;

// The running child's id, for the stop, which reaps the child it killed.
class iw_event_child_state {
public:
    iw_event_child_state() { pthread_mutex_init(&iw_event_pid_mutex_, nullptr); }
    ~iw_event_child_state() { pthread_mutex_destroy(&iw_event_pid_mutex_); }
    iw_event_child_state(const iw_event_child_state&) = delete;
    iw_event_child_state& operator=(const iw_event_child_state&) = delete;

    void set_pid(int pid);  // iw_event_no_child when none runs
    int pid();

private:
    pthread_mutex_t iw_event_pid_mutex_;
    int iw_event_pid_ = iw_event_no_child;
};

// The daemon's child, the one the stop kills.
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
// throughout. Once the daemon is stopping (no command starts any more) it never returns: the
// stop reaps the child it killed. Run it only on a thread that lives as long as the process:
// the child is killed when its forking thread ends.
void run_event_listener(event_line_queue& ring, iw_event_child_state& child,
                        running_command_groups& commands, const listener_restart& restart);

// Thread body: the daemon's ring and child; its argument is the daemon's nan_event_rooms.
void* nan_event_listener(void* rooms);
