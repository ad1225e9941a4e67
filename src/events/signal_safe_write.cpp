#include "signal_safe_write.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr size_t line_buffer_size = 256;
constexpr size_t digits_size = 12;  // "-2147483648" and a NUL

void write_all(int fd, const char* data, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, data, length);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        length -= static_cast<size_t>(n);
    }
}

const char* format_decimal(char (&out)[digits_size], int value) {
    char* p = out + digits_size - 1;
    *p = '\0';
    // Work in the negative range so INT_MIN needs no special case.
    int rest = value < 0 ? value : -value;
    do {
        *--p = static_cast<char>('0' - rest % 10);
        rest /= 10;
    } while (rest != 0);
    if (value < 0) *--p = '-';
    return p;
}

// Appends text to the line buffer, cutting what does not fit.
void append(char (&line)[line_buffer_size], size_t& used, const char* text) {
    while (*text != '\0' && used < line_buffer_size) line[used++] = *text++;
}

}  // namespace

void safe_write_text(int fd, const char* text) { write_all(fd, text, strlen(text)); }

void safe_write_number(int fd, const char* before, int number, const char* after) {
    char digits[digits_size];
    char line[line_buffer_size];
    size_t used = 0;
    append(line, used, before);
    append(line, used, format_decimal(digits, number));
    append(line, used, after);
    write_all(fd, line, used);
}

void safe_write_system_error(const char* what, int error_number) {
    char line[line_buffer_size];
    size_t used = 0;
    append(line, used, what);
    append(line, used, ": ");
    // strerrordesc_np reads a static table: no locale, no allocation.
    if (const char* text = strerrordesc_np(error_number)) {
        append(line, used, text);
        append(line, used, "\n");
        write_all(STDERR_FILENO, line, used);
        return;
    }
    write_all(STDERR_FILENO, line, used);
    safe_write_number(STDERR_FILENO, "Unknown error ", error_number, "\n");
}
