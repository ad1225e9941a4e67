#pragma once
// The video ring: checked frames from processor_thread to the streaming tick.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "frame_format.hpp"
#include "unique_fd.hpp"

constexpr uint16_t video_ring_slots = 766;

class frame_ring {
public:
    frame_ring() = default;
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

    // Reader: copies the payloads of up to max frames from the read position on into out and
    // their lengths into lengths, one hold of the writer; an empty payload comes alone, as the
    // first. Returns how many (0: the ring is empty).
    int copy_payloads(uint8_t (*out)[frame_max_payload], uint32_t* lengths, int max);
    // Reader: the frame at the read position has been consumed.
    void advance_read();
    // Reader: every stored frame is passed over at once, so the next one read is the next one
    // written. Returns how many frames that passed over.
    uint16_t skip_to_write();

private:
    uint8_t slots_[video_ring_slots][frame_max_size] = {};
    uint16_t write_index_ = 0;
    uint16_t read_index_ = 0;
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    unique_fd wake_;  // made once, under mutex_, and kept as long as the ring
};
