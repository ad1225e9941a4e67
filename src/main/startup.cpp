// The fixed start-up order: SPI link, TCP server, parameters, NAN. The first step that fails
// prints one line and the daemon ends with status 0.
#include "startup.hpp"

#include <cstdio>

#include "nan_bringup.hpp"
#include "nan_event.hpp"
#include "params.hpp"
#include "service_watch.hpp"
#include "spi_link.hpp"
#include "status_summary.hpp"
#include "tcp_server.hpp"
#include "tool_check.hpp"
#include "vendor_cmd.hpp"
#include "log.hpp"

namespace {

struct startup_step {
    int (*start)();
    const char* failure;
};

const startup_step startup_steps[] = {
    {spi_init, "SPI initialization failed."},
    {tcp_server_init, "TCP server initialization failed."},
    {init_param, "Parameter initialization failed."},
    {nan_bringup, "NAN initialization failed."},
};

}  // namespace

void connect_rooms() {
    vendor_register_keywords();
    params_register_keywords();
    tcp_set_at_command_handler(handle_at_command, at_asks_status);
    set_signal_cleanup_hook(refuse_record_files);
    set_status_summary_source(status_summary);
}

int run_startup() {
    // Before any step, so the cause comes first, whichever step or command it makes fail.
    report_missing_tools();
    for (const startup_step& step : startup_steps) {
        if (step.start() != 0) {
            log_puts(step.failure);
            return -1;
        }
    }
    return 0;
}
