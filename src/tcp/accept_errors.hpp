#pragma once
// What an accept error means for the connections still waiting, and a descriptor held in
// reserve so that one of them can be refused even when no descriptor is free.
//
// The listening socket is edge-triggered: a waiting connection left behind by an error brings
// no new readiness, so the server either takes or refuses it at once or tries again at its next
// tick, never leaving the backlog to a readiness event that will not come.
#include "log.hpp"
#include "unique_fd.hpp"

enum class after_accept_error {
    next,          // that connection failed before it was taken: take the next one now
    refuse_spare,  // no descriptor free: refuse one with the spare descriptor's number
    later,         // out of memory or anything unforeseen: the server's next tick tries again
};

after_accept_error what_after_accept_error(int error);

// "accept failed: <reason>", each kind of error through a repeat limit of its own.
class accept_error_log {
public:
    void report(int error);

private:
    log_repeat_limit process_descriptors_{"accept failed: process descriptors"};
    log_repeat_limit system_descriptors_{"accept failed: system descriptors"};
    log_repeat_limit buffers_{"accept failed: buffers"};
    log_repeat_limit memory_{"accept failed: memory"};
    log_repeat_limit other_{"accept failed: other"};
};

// One descriptor (on /dev/null) kept open for when the process or the system runs out: closing
// it frees a number for accept to take, the connection is closed at once, and the spare is
// opened again. Linux looks for a free descriptor before it looks at the backlog, so running out
// is reported whether or not a connection waits; the spare's accept tells which. Server thread
// only.
class spare_descriptor {
public:
    enum class refusal { refused, none_waiting, failed };

    // Opens the spare when it is not open; false when that fails (tried again on next use).
    bool open();
    // Takes the next waiting connection of listen_fd through the spare's number and closes it.
    refusal refuse_one(int listen_fd);

private:
    unique_fd fd_;
};
