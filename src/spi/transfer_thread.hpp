#pragma once
// The transfer thread: one SPI transfer after another into the raw queue, with a pause after
// failures and a line that explains them.
#include <cstdint>

#include "log.hpp"
#include "spi_device.hpp"

// A controller that keeps failing must not spin a core or flood the log: after a failed
// transfer the next one waits, twice as long after each further failure up to the ceiling; a
// good transfer ends the waiting.
constexpr uint32_t transfer_retry_first_pause_us = 10000;
constexpr uint32_t transfer_retry_max_pause_us = 1000000;

// What a failed transfer prints. EMSGSIZE and EINVAL are the driver refusing the configuration:
// retrying cannot mend that, so the cause is explained in one line until a transfer succeeds or
// fails otherwise. Other failures print their line each time, within the repeat limit.
class transfer_failure_report {
public:
    explicit transfer_failure_report(const spi_settings& settings) : settings_(settings) {}
    void failed(int error);
    void succeeded() { explained_error_ = 0; }

private:
    void explain(int error) const;

    const spi_settings& settings_;
    int explained_error_ = 0;  // the configuration error last explained; 0: none
    log_repeat_limit limit_{"transfer failed"};
};

class transfer_backoff {
public:
    // One more failure: the pause to take before the next transfer.
    uint32_t after_failure();
    void after_success() { pause_us_ = 0; }

private:
    uint32_t pause_us_ = 0;
};

// Thread entry; its argument is the spi_intake.
void* transfer_thread(void* intake);
