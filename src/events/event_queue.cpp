#include "event_queue.hpp"
#include "mutex_hold.hpp"

#include <cstring>
#include <ctime>

namespace {

constexpr long nanoseconds_per_second = 1000000000;

timespec monotonic_deadline(long wait_ns) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += wait_ns;
    if (deadline.tv_nsec >= nanoseconds_per_second) {
        deadline.tv_nsec -= nanoseconds_per_second;
        deadline.tv_sec += 1;
    }
    return deadline;
}

void copy_line(char* out, const char* line) {
    strncpy(out, line, event_line_size - 1);
    out[event_line_size - 1] = '\0';
}

}  // namespace

event_line_queue::event_line_queue() {
    pthread_mutex_init(&event_queue_mutex_, nullptr);
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&event_queue_cond_, &attr);
    pthread_cond_init(&room_cond_, &attr);
    pthread_condattr_destroy(&attr);
}

event_line_queue::~event_line_queue() {
    pthread_cond_destroy(&room_cond_);
    pthread_cond_destroy(&event_queue_cond_);
    pthread_mutex_destroy(&event_queue_mutex_);
}

void event_line_queue::push(const char* line) {
    mutex_hold hold(event_queue_mutex_);
    while (count_ == event_queue_slots) pthread_cond_wait(&room_cond_, hold.native());
    copy_line(slots_[tail_], line);
    tail_ = (tail_ + 1) % event_queue_slots;
    ++count_;
    pthread_cond_signal(&event_queue_cond_);
}

int event_line_queue::pop(char* out) {
    mutex_hold hold(event_queue_mutex_);
    const timespec deadline = monotonic_deadline(event_pop_wait_ns);
    while (count_ == 0) {
        int rc = pthread_cond_timedwait(&event_queue_cond_, hold.native(), &deadline);
        if (rc != 0 && count_ == 0) return rc;
    }
    copy_line(out, slots_[head_]);
    head_ = (head_ + 1) % event_queue_slots;
    --count_;
    pthread_cond_signal(&room_cond_);
    return 0;
}

int event_line_queue::count() {
    mutex_hold hold(event_queue_mutex_);
    return count_;
}
