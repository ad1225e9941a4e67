#pragma once
// Starts a thread that carries a name (top -H and ps -L show it). pthread calls return
// their error instead of setting errno; this puts it in errno, so the caller reports it with the
// system error printer where the failure happens.
#include <pthread.h>

#include <cerrno>

// Returns 0 once the thread runs, -1 with errno set otherwise. The thread is detached unless
// joinable is given: then it is left for the owner to join, and its id is stored there.
inline int start_named_thread(void* (*body)(void*), void* argument, const char* name,
                              pthread_t* joinable = nullptr) {
    pthread_t thread;
    int error = pthread_create(&thread, nullptr, body, argument);
    if (error == 0) {
        pthread_setname_np(thread, name);
        if (joinable != nullptr) {
            *joinable = thread;
        } else {
            error = pthread_detach(thread);
        }
    }
    if (error == 0) return 0;
    errno = error;
    return -1;
}

// A thread body that runs the member function run of the object it is given.
template <class T, void (T::*run)()>
void* run_member(void* self) {
    (static_cast<T*>(self)->*run)();
    return nullptr;
}
