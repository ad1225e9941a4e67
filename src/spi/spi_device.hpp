#pragma once
// The SPI settings from the command line, written back with what the device accepted, and the
// device set-up that starts the SPI link.
#include <cstdint>

// spidev mode bits the command line can set.
constexpr uint32_t spi_mode_cpha = 0x01;
constexpr uint32_t spi_mode_cpol = 0x02;

enum : uint8_t {
    transfer_full_duplex = 0,
    transfer_tx_only = 1,
    transfer_rx_only = 2,
};

struct spi_settings {
    const char* role = "SLAVE";
    const char* master_device = "/dev/spidev1.0";
    const char* slave_device = "/dev/spidev0.0";
    uint32_t speed = 50000000;  // Hz
    uint8_t bits_per_word = 8;
    uint16_t delay = 0;  // microseconds
    uint32_t mode = 0;
    uint8_t transfer_type = transfer_full_duplex;
    int32_t verbose = 0;  // accepted for compatibility; nothing reads it
};

extern spi_settings spi_config;
extern int spi_fd;

// Opens and configures the device for spi_config.role and starts both SPI threads.
// Returns 0, or -1 after printing why.
int spi_init();
