// Clocks one full-size transfer after another and hands each received block to the frame
// processor through the raw queue. The system only ever transmits zeros.
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "mono_clock.hpp"
#include "daemon_counters.hpp"
#include "raw_queue.hpp"
#include "spi_device.hpp"
#include "spidev_bufsiz.hpp"
#include "transfer_thread.hpp"
#include "log.hpp"

namespace {

// The SPI core moves words of up to 8 bits in one byte, up to 16 in two and wider ones in four,
// and refuses (EINVAL) a transfer that is no whole number of words.
constexpr unsigned byte_word_max_bits = 8;
constexpr unsigned two_byte_word_max_bits = 16;
constexpr unsigned wide_word_bytes = 4;

static_assert(spi_transfer_size % 2 == 0, "a transfer is whole 16-bit words");

unsigned word_bytes(unsigned bits_per_word) {
    if (bits_per_word <= byte_word_max_bits) return 1;
    if (bits_per_word <= two_byte_word_max_bits) return 2;
    return wide_word_bytes;
}

spi_ioc_transfer make_transfer_descriptor(spi_intake& intake) {
    const spi_settings& spi_config = intake.settings;
    spi_ioc_transfer transfer;
    memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = reinterpret_cast<uintptr_t>(intake.tx_buffer);
    transfer.rx_buf = reinterpret_cast<uintptr_t>(intake.rx_buffer);
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

void transfer_failure_report::failed(int error) {
    const bool configuration = error == EMSGSIZE || error == EINVAL;
    if (configuration && error == explained_error_) return;
    explained_error_ = configuration ? error : 0;
    if (configuration) {
        explain(error);
    } else if (limit_.allow()) {
        errno = error;
        log_perror("SPI_IOC_MESSAGE");
    }
}

void transfer_failure_report::explain(int error) const {
    char cause[spidev_bufsiz_cause_max];
    if (error == EMSGSIZE) {
        snprintf(cause, sizeof cause,
                 "SPI_IOC_MESSAGE: %s: spidev bufsiz is below the %zu bytes a transfer needs",
                 strerror(error), spidev_bufsiz_needed);
        log_spidev_bufsiz_fixes(cause);
        return;
    }
    const unsigned bits = settings_.bits_per_word;
    if (spi_transfer_size % word_bytes(bits) != 0) {
        log_err("SPI_IOC_MESSAGE: %s: a %zu-byte transfer is no whole number of %u-bit words "
                "(%u bytes each): the SPI core takes it with %u bits per word or fewer\n",
                strerror(error), spi_transfer_size, bits, word_bytes(bits), two_byte_word_max_bits);
        return;
    }
    log_err("SPI_IOC_MESSAGE: %s: the SPI controller refuses %zu-byte transfers at %u Hz, %u bits "
            "per word, mode 0x%x\n",
            strerror(error), spi_transfer_size, settings_.speed, bits, settings_.mode);
}

uint32_t transfer_backoff::after_failure() {
    if (pause_us_ == 0)
        pause_us_ = transfer_retry_first_pause_us;
    else if (pause_us_ < transfer_retry_max_pause_us / 2)
        pause_us_ *= 2;
    else
        pause_us_ = transfer_retry_max_pause_us;
    return pause_us_;
}

void* transfer_thread(void* argument) {
    spi_intake& intake = *static_cast<spi_intake*>(argument);
    intake_counters& counts = intake.counts.intake;
    spi_ioc_transfer transfer = make_transfer_descriptor(intake);
    transfer_backoff backoff;
    transfer_failure_report report(intake.settings);
    for (;;) {
        int received = ioctl(intake.fd, SPI_IOC_MESSAGE(1), &transfer);
        if (received <= 0) {
            counts.transfer_failures.add();
            report.failed(errno);
            mono_sleep_us(backoff.after_failure());
            continue;
        }
        backoff.after_success();
        report.succeeded();
        counts.transfers.add();
        counts.last_transfer_us.store(mono_now_us(), std::memory_order_relaxed);
        intake.queue.push(intake.rx_buffer, static_cast<uint32_t>(received),
                          counts.raw_queue_drops);
    }
    return nullptr;
}
