#pragma once
// Output for places where stdio is off limits: a signal handler, and a forked child of a
// threaded process before exec. Only write(2) and hand-formatted digits.
#include <cstddef>

void safe_write_text(int fd, const char* text);
// Writes before, the number in decimal, then after, in one write where it fits.
void safe_write_number(int fd, const char* before, int number, const char* after);
// The system error printer's form ("what: error text\n") without stdio or locale.
void safe_write_system_error(const char* what, int error_number);

// A line built piece by piece in a fixed buffer (what does not fit is cut), for the same places.
class safe_line {
public:
    safe_line& text(const char* text);
    safe_line& number(long long value);
    // The line so far, NUL-terminated.
    const char* c_str();
    // The line and a '\n' in one write.
    void write_to(int fd);

private:
    static constexpr size_t capacity = 256;
    char text_[capacity + 1] = {};
    size_t used_ = 0;
};
