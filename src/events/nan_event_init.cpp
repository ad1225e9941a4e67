// Starts the event module's two detached threads.
#include <cerrno>

#include "log.hpp"
#include "named_thread.hpp"
#include "nan_event.hpp"

namespace {

int start_detached(void* (*body)(void*), void* argument, const char* name, const char* failed) {
    if (start_named_thread(body, argument, name) == 0) return 0;
    log_perror(failed);
    return -1;
}

}  // namespace

int nan_event_init(nan_event_rooms& rooms) {
    if (start_detached(nan_event_listener, &rooms, "nan-events",
                       "nan_event_listener create failed") != 0)
        return -1;
    if (start_detached(nan_connection_decision, &rooms, "nan-decision",
                       "nan_connection_decision create failed") != 0)
        return -1;
    log_puts("NAN event processing module initialized successfully.");
    log_puts("Listener and decision threads are running in background.");
    return 0;
}
