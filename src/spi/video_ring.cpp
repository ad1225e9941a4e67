// The 766-frame ring between the frame processor and the streaming tick. The writer never waits
// for the reader: a lap overwrites unsent frames, as the bounded memory of the board demands.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstring>

#include "le_bytes.hpp"
#include "mutex_hold.hpp"
#include "video_ring.hpp"

uint16_t frame_ring::store(const uint8_t* frame, size_t size, uint16_t* lapped) {
    if (size > frame_max_size) size = frame_max_size;
    uint16_t written = 0;
    bool caught_up = false;
    int wake = -1;
    {
        mutex_hold hold(mutex_);
        memcpy(slots_[write_index_], frame, size);
        write_index_ = static_cast<uint16_t>((write_index_ + 1) % video_ring_slots);
        written = write_index_;
        caught_up = written == read_index_;
        wake = wake_.get();
    }
    if (lapped != nullptr) *lapped = caught_up ? video_ring_slots : 0;
    // The counter cannot overflow in practice; a failed write only leaves the frame to the
    // reader's next regular look.
    const uint64_t one = 1;
    if (wake >= 0 && write(wake, &one, sizeof(one)) < 0) return written;
    return written;
}

int frame_ring::open_wake() {
    mutex_hold hold(mutex_);
    if (!wake_.valid()) wake_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return wake_.get();
}

void frame_ring::clear_wake() {
    uint64_t count = 0;
    if (wake_.valid() && read(wake_.get(), &count, sizeof(count)) < 0) return;
}

int frame_ring::copy_payloads(uint8_t (*out)[frame_max_payload], uint32_t* lengths, int max) {
    mutex_hold hold(mutex_);
    int count = 0;
    uint16_t at = read_index_;
    while (count < max && at != write_index_) {
        const uint8_t* slot = slots_[at];
        uint32_t length = get_le32(slot + frame_length_offset);
        if (length > frame_max_payload) length = frame_max_payload;
        if (length == 0 && count > 0) break;
        memcpy(out[count], slot + frame_header_size, length);
        lengths[count] = length;
        ++count;
        at = static_cast<uint16_t>((at + 1) % video_ring_slots);
        if (length == 0) break;
    }
    return count;
}

void frame_ring::advance_read() {
    mutex_hold hold(mutex_);
    read_index_ = static_cast<uint16_t>((read_index_ + 1) % video_ring_slots);
}

uint16_t frame_ring::skip_to_write() {
    mutex_hold hold(mutex_);
    const uint16_t passed =
        static_cast<uint16_t>((write_index_ + video_ring_slots - read_index_) % video_ring_slots);
    read_index_ = write_index_;
    return passed;
}
