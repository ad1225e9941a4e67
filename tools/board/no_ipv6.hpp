#pragma once
// A board whose kernel has no IPv6: from the call on, socket(AF_INET6, ...) fails with
// EAFNOSUPPORT in this process and everything it starts, as on a kernel built without IPv6 or
// booted with ipv6.disable=1. A seccomp filter does it, so it reaches static and dynamic
// programs alike, and a program run through a user-mode emulator too: the emulator makes the
// program's socket calls as its own. Returns 0, or -1 with errno set.
int refuse_ipv6_sockets();
