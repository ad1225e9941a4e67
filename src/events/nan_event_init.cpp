// Starts the event module: signal handlers first, so that a stop signal from here on kills the
// `iw event` child, then the two detached threads.
#include <pthread.h>

#include <cerrno>
#include <cstdio>

#include "nan_event.hpp"
#include "log.hpp"

namespace {

// pthread calls return their error instead of setting errno; the system error printer reads
// errno.
void print_thread_error(const char* what, int error_number) {
    errno = error_number;
    log_perror(what);
}

int start_detached(void* (*body)(void*), const char* name, const char* create_failed,
                   const char* detach_failed) {
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, body, nullptr);
    if (rc != 0) {
        print_thread_error(create_failed, rc);
        return -1;
    }
    pthread_setname_np(thread, name);
    rc = pthread_detach(thread);
    if (rc != 0) {
        print_thread_error(detach_failed, rc);
        return -1;
    }
    return 0;
}

}  // namespace

int nan_event_init() {
    // sigaction refuses only invalid signal numbers, and these three are valid.
    install_signal_handlers();
    if (start_detached(nan_event_listener, "nan-events", "nan_event_listener create failed",
                       "nan_event_listener detach error") != 0)
        return -1;
    if (start_detached(nan_connection_decision, "nan-decision",
                       "nan_connection_decision create failed",
                       "nan_connection_decision detach error") != 0)
        return -1;
    log_puts("NAN event processing module initialized successfully.");
    log_puts("Listener and decision threads are running in background.");
    return 0;
}
