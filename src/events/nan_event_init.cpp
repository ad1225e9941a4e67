#include "log.hpp"
#include "named_thread.hpp"
#include "nan_event.hpp"

namespace {

void* listener_thread(void* events) {
    nan_events& shared = *static_cast<nan_events*>(events);
    run_event_listener(shared.ring, shared.commands, listener_restart{});
    return nullptr;
}

void* decision_thread(void* events) {
    nan_events& shared = *static_cast<nan_events*>(events);
    run_connection_decision(shared.ring, shared.decision);
}

int start_detached(void* (*body)(void*), void* argument, const char* name, const char* failed) {
    if (start_named_thread(body, argument, name) == 0) return 0;
    log_perror(failed);
    return -1;
}

}  // namespace

int nan_event_init(nan_events& events) {
    if (start_detached(listener_thread, &events, "nan-events",
                       "nan_event_listener create failed") != 0)
        return -1;
    if (start_detached(decision_thread, &events, "nan-decision",
                       "nan_connection_decision create failed") != 0)
        return -1;
    log_puts("NAN event processing module initialized successfully.");
    log_puts("Listener and decision threads are running in background.");
    return 0;
}
