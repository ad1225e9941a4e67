// Clocks one full-size transfer after another and hands each received block to the frame
// processor through the raw queue. The system only ever transmits zeros.
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "mono_clock.hpp"
#include "spi_link.hpp"
#include "log.hpp"

namespace {

uint8_t tx_buffer[spi_transfer_size];  // zeros, never written
uint8_t rx_buffer[raw_slot_size];

spi_ioc_transfer make_transfer_descriptor() {
    spi_ioc_transfer transfer;
    memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = reinterpret_cast<uintptr_t>(tx_buffer);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(rx_buffer);
    transfer.len = spi_transfer_size;
    transfer.speed_hz = spi_config.speed;
    transfer.delay_usecs = spi_config.delay;
    transfer.bits_per_word = spi_config.bits_per_word;
    // Transfer types other than transmit-only and receive-only run full duplex, and the start-up
    // report names them so.
    if (spi_config.transfer_type == transfer_tx_only) transfer.rx_buf = 0;
    if (spi_config.transfer_type == transfer_rx_only) transfer.tx_buf = 0;
    return transfer;
}


}  // namespace

uint32_t transfer_backoff::after_failure() {
    if (pause_us_ == 0)
        pause_us_ = transfer_retry_first_pause_us;
    else if (pause_us_ < transfer_retry_max_pause_us / 2)
        pause_us_ *= 2;
    else
        pause_us_ = transfer_retry_max_pause_us;
    return pause_us_;
}

void* transfer_thread(void*) {
    spi_ioc_transfer transfer = make_transfer_descriptor();
    transfer_backoff backoff;
    log_repeat_limit failed_lines("transfer failed");
    for (;;) {
        int received = ioctl(spi_fd, SPI_IOC_MESSAGE(1), &transfer);
        if (received <= 0) {
            if (failed_lines.allow()) log_perror("SPI_IOC_MESSAGE");
            mono_sleep_us(backoff.after_failure());
            continue;
        }
        backoff.after_success();
        raw_queue.push(rx_buffer, static_cast<uint32_t>(received));
    }
    return nullptr;
}
