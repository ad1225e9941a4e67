#pragma once
#include "daemon_instances.hpp"

// Takes the single-instance lock before anything touches the bus, the port or NAN. When another
// daemon holds it (or it cannot be taken), prints one line and ends the process with status 1.
void take_instance_lock();

// Installs the keyword handlers and the AT command handler that the rooms provide, before any
// thread that dispatches keywords or reads client commands runs.
void connect_rooms(daemon_instances& instances);

// Names every outside program that is not installed, then brings the daemon up in its fixed
// order. Returns 0 when every step succeeded; otherwise the failing step's line has been
// printed and the caller ends the process with status 0.
int run_startup(daemon_instances& instances);
