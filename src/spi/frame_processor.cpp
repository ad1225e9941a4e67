// Checks each received transfer as a frame (sync, length, CRC, sequence) and keeps good frames
// whole in the video ring.
#include <cstdio>

#include "le_bytes.hpp"
#include "spi_link.hpp"
#include "log.hpp"

namespace {
// A progress line after the ring's last slot fills, i.e. once per lap of the ring.
constexpr uint16_t progress_index = video_ring_slots - 1;
}  // namespace

void frame_processor::process(const uint8_t* block, uint32_t received) {
    if (received < frame_header_size) return;

    uint16_t sync = get_le16(block + frame_sync_offset);
    uint32_t payload_length = get_le32(block + frame_length_offset);
    // A frame must lie inside what this transfer returned: bytes past it are left over from an
    // earlier transfer and must never be checked or stored as part of this frame.
    if (sync != frame_sync_word || payload_length > frame_max_payload ||
        frame_header_size + payload_length + frame_crc_size > received) {
        log_repeat_limit& limit = sync != frame_sync_word ? bad_sync_lines_ : bad_length_lines_;
        if (limit.allow()) log_out("Invalid frame (sync=0x%04X len=%u)\n", sync, payload_length);
        return;
    }

    size_t covered = frame_header_size + payload_length;
    uint16_t stored_crc = get_le16(block + covered);
    uint16_t computed_crc = crc16_frame(crc16_frame_init, block, covered);
    if (stored_crc != computed_crc) {
        if (bad_crc_lines_.allow())
            log_out("CRC mismatch (got=0x%04X calc=0x%04X)\n", stored_crc, computed_crc);
        return;
    }

    uint8_t sequence = block[frame_sequence_offset];
    if (sequence != expected_sequence_ && sequence_lines_.allow())
        log_out("Sequence mismatch: expected %u got %u\n", expected_sequence_, sequence);
    expected_sequence_ = static_cast<uint8_t>(sequence + 1);

    if (ring_.store(block, covered + frame_crc_size) == progress_index) {
        ++frames_count_;
        log_out("count=%u\n", video_ring_slots * frames_count_);
    }
}

void* processor_thread(void*) {
    static frame_processor processor(video_ring);
    for (;;) {
        const raw_slot& slot = raw_queue.pop();
        processor.process(slot.data, slot.length);
    }
    return nullptr;
}
