#pragma once
// The raw queue: whole transfers from transfer_thread to processor_thread.
#include <pthread.h>

#include <cstddef>
#include <cstdint>

#include "event_counter.hpp"
#include "log.hpp"

constexpr size_t raw_slot_size = 4112;
constexpr int raw_queue_slots = 32;

struct raw_slot {
    uint8_t data[raw_slot_size];
    uint32_t length;
};

class raw_frame_queue {
public:
    raw_frame_queue() = default;
    raw_frame_queue(const raw_frame_queue&) = delete;
    raw_frame_queue& operator=(const raw_frame_queue&) = delete;

    // Producer: queues a copy of the block, or drops it when full, counting it in drops (the
    // producer's own counter, whose total the line shows) before the line. Returns false when
    // it dropped the block.
    bool push(const uint8_t* data, uint32_t length, event_counter& drops);
    // Consumer: waits for the oldest block. The slot stays untouched by the producer until
    // the next pop, because the full rule keeps one slot free behind read_index.
    const raw_slot& pop();

private:
    raw_slot slots_[raw_queue_slots];
    int read_index_ = 0;
    int write_index_ = 0;
    log_repeat_limit full_lines_{"queue full"};  // the producer's
    pthread_mutex_t mutex_ = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cond_ = PTHREAD_COND_INITIALIZER;
};
