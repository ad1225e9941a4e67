#pragma once
// The ring of raw `iw event` lines between the listener (the only writer) and the decision thread
// (the only reader). A full ring never drops a line: one data-path request is about 20 lines, so
// a second request arriving while the decision thread sends an acceptance would lose its header.
// The listener waits for room instead and leaves the lines in the `iw` pipe, which holds
// thousands.
#include <pthread.h>

#include <cstddef>

constexpr int event_queue_slots = 20;
constexpr size_t event_line_size = 512;  // one line: at most 511 characters and a NUL
constexpr long event_pop_wait_ns = 500000000;  // the reader wakes at least every 0.5 s

class event_line_queue {
public:
    // The condition variable runs on the monotonic clock, so a wall-clock step neither stalls
    // the reader nor makes it spin.
    event_line_queue();
    ~event_line_queue();
    event_line_queue(const event_line_queue&) = delete;
    event_line_queue& operator=(const event_line_queue&) = delete;

    // Stores at most 511 characters of the line and wakes one waiter; waits while the ring is
    // full.
    void push(const char* line);
    // Waits at most 0.5 s for a line and copies the oldest into out (event_line_size bytes).
    // Returns 0 with a line, ETIMEDOUT when none came, or the wait's own error code.
    int pop(char* out);
    int count();

private:
    char slots_[event_queue_slots][event_line_size] = {};
    int head_ = 0;  // oldest line, next to be taken
    int tail_ = 0;  // next slot to be written
    int count_ = 0;
    pthread_mutex_t event_queue_mutex_;
    pthread_cond_t event_queue_cond_;
    pthread_cond_t room_cond_;  // signalled when the reader takes a line
};
