#pragma once
// The SPI link: device set-up, the transfer thread and its raw queue, the frame processor and the
// video ring that the TCP server streams from.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "daemon_counters.hpp"
#include "log.hpp"
#include "unique_fd.hpp"

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
    // Returns false when it dropped the block.
    bool push(const uint8_t* data, uint32_t length);
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

// ---- the spidev driver's bounce buffer ----

// spidev copies every transfer through a buffer of `bufsiz` bytes per direction, a module
// parameter fixed at boot (4096 unless the kernel is told otherwise), and counts a transfer's
// length rounded up to the kernel's DMA alignment: a longer transfer is refused with EMSGSIZE,
// every time. The alignment is 64 bytes on many ARMv7 SoCs and 128 on a 64-bit kernel under the
// board's 32-bit userland (arm64's ARCH_DMA_MINALIGN); the need is counted with the larger one,
// so a bufsiz that passes holds a transfer on either.
constexpr size_t spidev_dma_alignment = 128;
constexpr size_t spidev_bufsiz_needed =
    (spi_transfer_size + spidev_dma_alignment - 1) / spidev_dma_alignment * spidev_dma_alignment;
constexpr const char* spidev_bufsiz_parameter = "/sys/module/spidev/parameters/bufsiz";
// What the fixes set: the next power of two above the need.
constexpr unsigned spidev_bufsiz_fix = 8192;
static_assert(spidev_bufsiz_fix >= spidev_bufsiz_needed);

// True when the driver's bufsiz, read from parameter_path, holds a transfer, or when there is
// no such value to read (no sysfs, or no spidev parameters: the transfers will tell). Otherwise
// prints one line naming the value, the need and the fixes, and returns false.
bool spidev_bufsiz_fits(const char* parameter_path);
// Prints one line: the cause (at most spidev_bufsiz_cause_max bytes), then both fixes.
constexpr size_t spidev_bufsiz_cause_max = 160;
void log_spidev_bufsiz_fixes(const char* cause);

// ---- transfer thread ----

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

// ---- video ring: processor_thread -> streaming tick ----

constexpr uint16_t video_ring_slots = 766;

class frame_ring {
public:
    frame_ring();
    ~frame_ring();
    frame_ring(const frame_ring&) = delete;
    frame_ring& operator=(const frame_ring&) = delete;

    // Writer: stores a whole frame (header, payload, CRC) and returns the new write index. The
    // reader's wake-up descriptor becomes readable. A store that brings the writer round to the
    // read position leaves the ring looking empty: every frame in it is then lost to the
    // reader, and *lapped says how many (else 0).
    uint16_t store(const uint8_t* frame, size_t size, uint16_t* lapped = nullptr);

    // Reader: an eventfd that becomes readable when a frame is stored, made on the first call
    // (the daemon's reader asks once start-up has settled the standard descriptors); -1 if none
    // could be made: the reader then finds frames on its own schedule. And its reset.
    int open_wake();
    void clear_wake();

    // Reader: copies the payload of the frame at the read position into out (at least
    // frame_max_payload bytes) while the writer is held off, so a send never sees a frame
    // change under it. Returns false when the ring is empty.
    bool copy_next_payload(uint8_t* out, uint32_t* payload_length);
    // Reader: copies the payloads of up to max frames from the read position on into out and
    // their lengths into lengths, one hold of the writer; an empty payload comes alone, as the
    // first. Returns how many (0: the ring is empty).
    int copy_payloads(uint8_t (*out)[frame_max_payload], uint32_t* lengths, int max);
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
    unique_fd wake_;  // made once, under mutex_, and kept as long as the ring
};

extern frame_ring video_ring;

// ---- frame processor ----

class frame_processor {
public:
    // Counts what it finds in counts; laps of the ring count only while clients_connected is
    // above 0 (with nobody connected nobody reads).
    explicit frame_processor(frame_ring& ring, frame_counters& counts = counters.frames,
                             const std::atomic<int32_t>& clients_connected = counters.stream.clients)
        : ring_(ring), counts_(counts), clients_connected_(clients_connected) {}
    // Checks one received block and stores it when it is a good frame, printing what the
    // checks found.
    void process(const uint8_t* block, uint32_t received);

private:
    bool refuse(const uint8_t* block, uint32_t received);
    void check_sequence(uint8_t sequence);

    frame_ring& ring_;
    frame_counters& counts_;
    const std::atomic<int32_t>& clients_connected_;
    uint8_t expected_sequence_ = 0;
    unsigned frames_count_ = 0;
    log_repeat_limit bad_sync_lines_{"invalid frame (sync)"};
    log_repeat_limit bad_length_lines_{"invalid frame (length)"};
    log_repeat_limit bad_crc_lines_{"CRC mismatch"};
    log_repeat_limit sequence_lines_{"sequence mismatch"};
};

void* transfer_thread(void*);
void* processor_thread(void*);
