// Opens the SPI device for the configured role, checks that the driver's buffer holds a transfer,
// programs mode, word size and clock, reads each back (the driver may round), reports what is in
// force and starts the two SPI threads.
#include <fcntl.h>
#include <linux/spi/spi.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "frame_processor.hpp"
#include "spi_device.hpp"
#include "spidev_bufsiz.hpp"
#include "transfer_thread.hpp"
#include "unique_fd.hpp"
#include "log.hpp"
#include "named_thread.hpp"

namespace {

constexpr unsigned settle_pause_us = 1000;
constexpr uint32_t hz_per_khz = 1000;

struct setting_request {
    unsigned long request;
    void* value;
    const char* failure;
};

const char* transfer_type_name(uint8_t type) {
    switch (type) {
        case transfer_tx_only:
            return "TX_ONLY";
        case transfer_rx_only:
            return "RX_ONLY";
        default:
            return "FULL DUPLEX";
    }
}

bool is_master(const spi_settings& settings) { return strcmp(settings.role, "MASTER") == 0; }

// A missing node is a board set-up matter: the kernel makes /dev/spidevB.C only for a device
// tree node on bus B, chip select C, that spidev binds to.
void log_missing_device_hint(const spi_settings& settings, const char* device) {
    log_err("%s does not exist: check that the device tree has a spidev-compatible node on the "
            "SPI bus and chip select for the %s role, or name another device with %s\n",
            device, is_master(settings) ? "master" : "slave", is_master(settings) ? "-M" : "-S");
}

const char* device_for_role(const spi_settings& spi_config) {
    if (strcmp(spi_config.role, "MASTER") == 0) {
        log_out("SPI Master with device %s\n", spi_config.master_device);
        return spi_config.master_device;
    }
    if (strcmp(spi_config.role, "SLAVE") == 0) {
        log_out("SPI Slave with device %s\n", spi_config.slave_device);
        return spi_config.slave_device;
    }
    log_puts("Role must be MASTER or SLAVE, invalid SPI Role.");
    return nullptr;
}

// Mode bits only the device tree sets (the command line has options for the clock's phase and
// polarity only). The whole mode word replaces them, as the driver is handed it.
struct device_tree_bit {
    uint32_t bit;
    const char* name;
    const char* property;
};
const device_tree_bit device_tree_bits[] = {
    {SPI_CS_HIGH, "SPI_CS_HIGH", "spi-cs-high"},
    {SPI_LSB_FIRST, "SPI_LSB_FIRST", "spi-lsb-first"},
    {SPI_3WIRE, "SPI_3WIRE", "spi-3wire"},
};

// Names each bit the device tree set that the mode about to be written clears, with the mode
// that would keep them all. The driver keeps a written mode until the next boot, so the device
// tree's bits are seen by the first start after boot only.
bool report_cleared_device_tree_bits(int fd, const spi_settings& spi_config) {
    uint32_t in_force = 0;
    if (ioctl(fd, SPI_IOC_RD_MODE32, &in_force) == -1) {
        log_perror("Can't get spi mode");
        return false;
    }
    uint32_t cleared = 0;
    for (const device_tree_bit& b : device_tree_bits)
        if ((in_force & b.bit) != 0 && (spi_config.mode & b.bit) == 0) cleared |= b.bit;
    for (const device_tree_bit& b : device_tree_bits) {
        if ((cleared & b.bit) == 0) continue;
        log_err("Warning: spi mode 0x%x clears %s, which the device tree set (%s); mode 0x%x "
                "keeps it\n",
                spi_config.mode, b.name, b.property, spi_config.mode | cleared);
    }
    return true;
}

bool configure(int fd, spi_settings& spi_config) {
    if (!report_cleared_device_tree_bits(fd, spi_config)) return false;
    const setting_request requests[] = {
        {SPI_IOC_WR_MODE32, &spi_config.mode, "Can't set spi mode"},
        {SPI_IOC_RD_MODE32, &spi_config.mode, "Can't get spi mode"},
        {SPI_IOC_WR_BITS_PER_WORD, &spi_config.bits_per_word, "Can't set bits per word"},
        {SPI_IOC_RD_BITS_PER_WORD, &spi_config.bits_per_word, "Can't get bits per word"},
        {SPI_IOC_WR_MAX_SPEED_HZ, &spi_config.speed, "Can't set max speed hz"},
        {SPI_IOC_RD_MAX_SPEED_HZ, &spi_config.speed, "Can't get max speed hz"},
    };
    for (const setting_request& r : requests) {
        if (ioctl(fd, r.request, r.value) == -1) {
            log_perror(r.failure);
            return false;
        }
    }
    return true;
}

void report_settings(const spi_settings& spi_config) {
    log_out("spi mode: 0x%x\n", spi_config.mode);
    log_out("bits per word: %d\n", spi_config.bits_per_word);
    log_out("max speed of Master: %u Hz (%u KHz)\n", spi_config.speed, spi_config.speed / hz_per_khz);
    log_out("transfer_type: %s\n", transfer_type_name(spi_config.transfer_type));
}

// A detach failure (which a thread just created cannot meet) reports as a failed start too.
bool start_thread(void* (*body)(void*), spi_intake& intake, const char* name,
                  const char* create_failure) {
    if (start_named_thread(body, &intake, name) == 0) return true;
    log_perror(create_failure);
    return false;
}

}  // namespace

int spi_init(spi_intake& intake) {
    const char* device = device_for_role(intake.settings);
    if (device == nullptr) return -1;

    unique_fd fd(open(device, O_RDWR | O_CLOEXEC));
    if (!fd.valid()) {
        const int open_error = errno;
        log_perror("Can't open device");
        if (open_error == ENOENT) log_missing_device_hint(intake.settings, device);
        return -1;
    }
    if (!spidev_bufsiz_fits(spidev_bufsiz_parameter)) return -1;
    if (!configure(fd.get(), intake.settings)) return -1;
    report_settings(intake.settings);

    // The threads read intake.fd, so it is published before they start; on a thread failure the
    // device is closed again (a thread already started is not stopped: start-up ends the process).
    intake.fd = fd.get();
    if (!start_thread(transfer_thread, intake, "spi-transfer", "SPI transfer_thread create failed") ||
        !start_thread(processor_thread, intake, "spi-frames", "SPI processor_thread create failed")) {
        intake.fd = -1;
        return -1;
    }
    fd.release();

    usleep(settle_pause_us);
    log_puts("SPI initialization successful.");
    return 0;
}
