#pragma once
#include "daemon_instances.hpp"

// Takes the single-instance lock before anything touches the bus, the port or NAN. When another
// daemon holds it (or it cannot be taken), prints one line and ends the process with status 1.
void take_instance_lock();

// Names every outside program that is not installed, then brings the daemon up in its fixed
// order. Returns 0 when every step succeeded; otherwise the failing step's line has been
// printed and the caller ends the process with status 0.
int run_startup(daemon_instances& instances);
