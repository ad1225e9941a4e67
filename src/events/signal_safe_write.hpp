#pragma once
// Output for places where stdio is off limits: the crash handler, and a forked child of a
// threaded process before exec. Only write(2) and hand-formatted digits.

void safe_write_text(int fd, const char* text);
// Writes before, the number in decimal, then after, in one write where it fits.
void safe_write_number(int fd, const char* before, int number, const char* after);
// The system error printer's form ("what: error text\n") without stdio or locale.
void safe_write_system_error(const char* what, int error_number);
