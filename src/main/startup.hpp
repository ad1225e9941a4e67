#pragma once

// Installs the keyword handlers and the AT command handler that the rooms provide, before any
// thread that dispatches keywords or reads client commands runs.
void connect_rooms();

// Names every outside program that is not installed, then brings the daemon up in its fixed
// order. Returns 0 when every step succeeded; otherwise the failing step's line has been
// printed and the caller ends the process with status 0.
int run_startup();
