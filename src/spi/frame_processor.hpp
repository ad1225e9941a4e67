#pragma once
// The frame processor: checks each received block and stores the good frames in the video ring.
#include <atomic>
#include <cstdint>

#include "daemon_counters.hpp"
#include "log.hpp"
#include "video_ring.hpp"

class frame_processor {
public:
    // Counts what it finds in counts; laps of the ring count only while clients_connected is
    // above 0 (with nobody connected nobody reads).
    frame_processor(frame_ring& ring, frame_counters& counts,
                    const std::atomic<int32_t>& clients_connected)
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

// Thread entry; its argument is the spi_intake.
void* processor_thread(void* intake);
