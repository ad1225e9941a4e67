// The 32-slot queue between the transfer thread and the frame processor. A full queue drops the
// newest transfer, never a queued one, and keeps one slot free behind the reader so the slot it
// is checking is never overwritten.
#include <cstring>

#include "raw_queue.hpp"
#include "log.hpp"
#include "mutex_hold.hpp"

bool raw_frame_queue::push(const uint8_t* data, uint32_t length, event_counter& drops) {
    if (length > raw_slot_size) length = raw_slot_size;
    mutex_hold hold(mutex_);
    int next = (write_index_ + 1) % raw_queue_slots;
    const bool full = next == read_index_;
    if (full) {
        drops.add();
        if (full_lines_.allow())
            log_out("Dropped %lu packets (queue full)\n", static_cast<unsigned long>(drops.value()));
    } else {
        raw_slot& slot = slots_[write_index_];
        memcpy(slot.data, data, length);
        slot.length = length;
        write_index_ = next;
        pthread_cond_signal(&cond_);
    }
    return !full;
}

const raw_slot& raw_frame_queue::pop() {
    mutex_hold hold(mutex_);
    while (read_index_ == write_index_) pthread_cond_wait(&cond_, hold.native());
    const raw_slot& slot = slots_[read_index_];
    read_index_ = (read_index_ + 1) % raw_queue_slots;
    return slot;
}
