#pragma once
// The SPI settings from the command line, written back with what the device accepted, the
// intake the two SPI threads share, and the device set-up that starts them.
#include <cstdint>

#include "daemon_counters.hpp"
#include "frame_format.hpp"
#include "frame_processor.hpp"
#include "raw_queue.hpp"
#include "video_ring.hpp"

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

// Everything the transfer thread and the processor thread use, made once by the daemon: the
// settings, the open device, the transfer's buffers, the queue between the threads and the
// processor that fills the ring.
struct spi_intake {
    spi_intake(frame_ring& video_ring, daemon_counters& daemon_counts)
        : ring(video_ring), counts(daemon_counts),
          processor(video_ring, daemon_counts.frames, daemon_counts.stream.clients) {}
    spi_intake(const spi_intake&) = delete;
    spi_intake& operator=(const spi_intake&) = delete;

    spi_settings settings;
    int fd = -1;
    uint8_t tx_buffer[spi_transfer_size] = {};  // zeros, never written
    uint8_t rx_buffer[raw_slot_size] = {};
    raw_frame_queue queue;
    frame_ring& ring;
    daemon_counters& counts;
    frame_processor processor;
};

// Opens and configures the device for intake.settings.role and starts both SPI threads.
// Returns 0, or -1 after printing why.
int spi_init(spi_intake& intake);
