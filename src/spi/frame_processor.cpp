#include "le_bytes.hpp"
#include "frame_format.hpp"
#include "frame_processor.hpp"
#include "log.hpp"
#include "spi_device.hpp"
#include "video_ring.hpp"

namespace {
// A progress line after the ring's last slot fills, i.e. once per lap of the ring.
constexpr uint16_t progress_index = video_ring_slots - 1;
}  // namespace

// True when the block is no frame, after its line and its count: sync comes first, then
// whether the length fits, then the CRC.
bool frame_processor::refuse(const uint8_t* block, uint32_t received) {
    // Shorter than a header: not even a length to read.
    if (received < frame_header_size) {
        counts_.refused_length.add();
        return true;
    }
    uint16_t sync = get_le16(block + frame_sync_offset);
    uint32_t payload_length = get_le32(block + frame_length_offset);
    // A frame must lie inside what this transfer returned: bytes past it are left over from an
    // earlier transfer and must never be checked or stored as part of this frame.
    const bool bad_sync = sync != frame_sync_word;
    if (bad_sync || payload_length > frame_max_payload ||
        frame_header_size + payload_length + frame_crc_size > received) {
        (bad_sync ? counts_.refused_sync : counts_.refused_length).add();
        log_repeat_limit& limit = bad_sync ? bad_sync_lines_ : bad_length_lines_;
        if (limit.allow()) log_out("Invalid frame (sync=0x%04X len=%u)\n", sync, payload_length);
        return true;
    }

    size_t covered = frame_header_size + payload_length;
    uint16_t stored_crc = get_le16(block + covered);
    uint16_t computed_crc = crc16_frame(crc16_frame_init, block, covered);
    if (stored_crc != computed_crc) {
        counts_.refused_crc.add();
        if (bad_crc_lines_.allow())
            log_out("CRC mismatch (got=0x%04X calc=0x%04X)\n", stored_crc, computed_crc);
        return true;
    }
    return false;
}

// The frame after a gap is kept: the gap and the frames it skipped are counted.
void frame_processor::check_sequence(uint8_t sequence) {
    if (sequence != expected_sequence_) {
        counts_.sequence_gaps.add();
        counts_.gap_frames.add(static_cast<uint8_t>(sequence - expected_sequence_));
        if (sequence_lines_.allow())
            log_out("Sequence mismatch: expected %u got %u\n", expected_sequence_, sequence);
    }
    expected_sequence_ = static_cast<uint8_t>(sequence + 1);
}

void frame_processor::process(const uint8_t* block, uint32_t received) {
    if (refuse(block, received)) return;
    check_sequence(block[frame_sequence_offset]);

    const size_t size = frame_header_size + get_le32(block + frame_length_offset) + frame_crc_size;
    uint16_t lapped = 0;
    const uint16_t written = ring_.store(block, size, &lapped);
    counts_.stored.add();
    if (lapped != 0 && clients_connected_.load(std::memory_order_relaxed) > 0)
        counts_.ring_overwrites.add(lapped);
    if (written == progress_index) {
        ++frames_count_;
        log_out("count=%u\n", video_ring_slots * frames_count_);
    }
}

void* processor_thread(void* argument) {
    spi_intake& intake = *static_cast<spi_intake*>(argument);
    for (;;) {
        const raw_slot& slot = intake.queue.pop();
        intake.processor.process(slot.data, slot.length);
    }
    return nullptr;
}
