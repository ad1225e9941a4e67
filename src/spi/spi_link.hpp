#pragma once
// The SPI link: device set-up, the transfer thread and its raw queue, the frame processor and the
// video ring that the TCP server streams from.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "log.hpp"

// ---- settings from the command line, written back with what the device accepted ----

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

// ---- frame format ----

constexpr size_t frame_header_size = 12;
constexpr size_t frame_crc_size = 2;
constexpr uint32_t frame_max_payload = 4096;
constexpr size_t frame_max_size = frame_header_size + frame_max_payload + frame_crc_size;  // 4110
constexpr uint16_t frame_sync_word = 0xAA55;
constexpr size_t frame_sync_offset = 0;
constexpr size_t frame_length_offset = 4;
constexpr size_t frame_sequence_offset = 9;
constexpr uint16_t crc16_frame_init = 0xFFFF;

// CRC-16/MCRF4XX: polynomial 0x1021 reflected (0x8408), no final XOR.
uint16_t crc16_frame(uint16_t crc, const uint8_t* data, size_t length);

// ---- raw queue: transfer_thread -> processor_thread ----

constexpr size_t spi_transfer_size = frame_max_size;  // one transfer carries one whole frame
constexpr size_t raw_slot_size = 4112;
constexpr int raw_queue_slots = 32;

struct raw_slot {
    uint8_t data[raw_slot_size];
    uint32_t length;
};

class raw_frame_queue {
public:
    raw_frame_queue();
    ~raw_frame_queue();
    raw_frame_queue(const raw_frame_queue&) = delete;
    raw_frame_queue& operator=(const raw_frame_queue&) = delete;

    // Producer: queues a copy of the block, or drops it (with the running total) when full.
    void push(const uint8_t* data, uint32_t length);
    // Consumer: waits for the oldest block. The slot stays untouched by the producer until
    // the next pop, because the full rule keeps one slot free behind read_index.
    const raw_slot& pop();

    uint32_t dropped() const { return dropped_count_; }

private:
    raw_slot slots_[raw_queue_slots];
    int read_index_ = 0;
    int write_index_ = 0;
    uint32_t dropped_count_ = 0;
    log_repeat_limit full_lines_{"queue full"};  // the producer's
    pthread_mutex_t mutex_;
    pthread_cond_t cond_;
};

extern raw_frame_queue raw_queue;

// ---- transfer thread ----

// A controller that keeps failing must not spin a core or flood the log: after a failed
// transfer the next one waits, twice as long after each further failure up to the ceiling; a
// good transfer ends the waiting.
constexpr uint32_t transfer_retry_first_pause_us = 10000;
constexpr uint32_t transfer_retry_max_pause_us = 1000000;

class transfer_backoff {
public:
    // One more failure: the pause to take before the next transfer.
    uint32_t after_failure();
    void after_success() { pause_us_ = 0; }

private:
    uint32_t pause_us_ = 0;
};

// ---- video ring: processor_thread -> streaming tick ----

constexpr uint16_t video_ring_slots = 766;

class frame_ring {
public:
    frame_ring();
    ~frame_ring();
    frame_ring(const frame_ring&) = delete;
    frame_ring& operator=(const frame_ring&) = delete;

    // Writer: stores a whole frame (header, payload, CRC) and returns the new write index.
    uint16_t store(const uint8_t* frame, size_t size);

    // Reader: copies the payload of the frame at the read position into out (at least
    // frame_max_payload bytes) while the writer is held off, so a send never sees a frame
    // change under it. Returns false when the ring is empty.
    bool copy_next_payload(uint8_t* out, uint32_t* payload_length);
    // Reader: the frame at the read position has been consumed.
    void advance_read();
    // Reader: every stored frame is passed over at once, so the next one read is the next one
    // written. Returns how many frames that passed over.
    uint16_t skip_to_write();

    uint16_t write_index();
    uint16_t read_index();
    // Test access to a stored slot.
    const uint8_t* slot(uint16_t index) const { return slots_[index]; }

private:
    uint8_t slots_[video_ring_slots][frame_max_size];
    uint16_t write_index_ = 0;
    uint16_t read_index_ = 0;
    pthread_mutex_t mutex_;
};

extern frame_ring video_ring;

// ---- frame processor ----

class frame_processor {
public:
    explicit frame_processor(frame_ring& ring) : ring_(ring) {}
    // Checks one received block and stores it when it is a good frame, printing what the
    // checks found.
    void process(const uint8_t* block, uint32_t received);

private:
    frame_ring& ring_;
    uint8_t expected_sequence_ = 0;
    unsigned frames_count_ = 0;
    log_repeat_limit bad_sync_lines_{"invalid frame (sync)"};
    log_repeat_limit bad_length_lines_{"invalid frame (length)"};
    log_repeat_limit bad_crc_lines_{"CRC mismatch"};
    log_repeat_limit sequence_lines_{"sequence mismatch"};
};

void* transfer_thread(void*);
void* processor_thread(void*);
