// The fixed start-up order: SPI link, TCP server, parameters, NAN. The first step that fails
// prints one line and the daemon ends with status 0.
#include "startup.hpp"

#include <cstdio>

#include "spi_link.hpp"

namespace {

struct startup_step {
    int (*start)();
    const char* failure;
};

const startup_step startup_steps[] = {
    {spi_init, "SPI initialization failed."},
};

}  // namespace

int run_startup() {
    for (const startup_step& step : startup_steps) {
        if (step.start() != 0) {
            puts(step.failure);
            return -1;
        }
    }
    return 0;
}
