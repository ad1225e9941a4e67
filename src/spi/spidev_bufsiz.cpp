// The spidev driver's bufsiz, checked before the device is used: a kernel booted without the
// board's setting refuses every transfer, and start-up says so instead of streaming nothing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "log.hpp"
#include "spidev_bufsiz.hpp"
#include "unique_fd.hpp"

namespace {

constexpr size_t parameter_text_max = 32;  // a decimal unsigned value and its newline

// The parameter's value; false when there is none to read or it is no number.
bool read_parameter(const char* path, unsigned long* value) {
    unique_fd fd(open(path, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return false;
    char text[parameter_text_max];
    ssize_t length;
    do {
        length = read(fd.get(), text, sizeof text - 1);
    } while (length < 0 && errno == EINTR);
    if (length <= 0) return false;
    text[length] = '\0';
    char* end = nullptr;
    errno = 0;
    *value = strtoul(text, &end, 10);
    return end != text && (*end == '\n' || *end == '\0') && errno == 0;
}

}  // namespace

void log_spidev_bufsiz_fixes(const char* cause) {
    log_err("%s: set spidev.bufsiz=%u on the kernel command line, or options spidev bufsiz=%u for "
            "the spidev module\n",
            cause, spidev_bufsiz_fix, spidev_bufsiz_fix);
}

bool spidev_bufsiz_fits(const char* parameter_path) {
    unsigned long bufsiz = 0;
    if (!read_parameter(parameter_path, &bufsiz) || bufsiz >= spidev_bufsiz_needed) return true;
    char cause[spidev_bufsiz_cause_max];
    snprintf(cause, sizeof cause, "spidev bufsiz is %lu bytes, below the %zu a transfer needs",
             bufsiz, spidev_bufsiz_needed);
    log_spidev_bufsiz_fixes(cause);
    return false;
}
