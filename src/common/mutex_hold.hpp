#pragma once
// Scoped hold of a process-lifetime pthread mutex: unlocked on every way out of the scope.
#include <pthread.h>

class mutex_hold {
public:
    explicit mutex_hold(pthread_mutex_t& mutex)
        : mutex_(mutex), error_(pthread_mutex_lock(&mutex_)) {}
    ~mutex_hold() {
        if (error_ == 0) pthread_mutex_unlock(&mutex_);
    }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

    // What pthread_mutex_lock returned: 0 when the mutex is held.
    int lock_error() const { return error_; }

    // For a condition wait, which gives the mutex up and takes it back inside the hold.
    pthread_mutex_t* native() { return &mutex_; }

private:
    pthread_mutex_t& mutex_;
    int error_;
};
