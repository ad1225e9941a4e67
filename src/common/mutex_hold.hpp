#pragma once
// Scoped hold of a process-lifetime pthread mutex: unlocked on every way out of the scope.
#include <pthread.h>

class mutex_hold {
public:
    explicit mutex_hold(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~mutex_hold() { pthread_mutex_unlock(&mutex_); }
    mutex_hold(const mutex_hold&) = delete;
    mutex_hold& operator=(const mutex_hold&) = delete;

private:
    pthread_mutex_t& mutex_;
};
