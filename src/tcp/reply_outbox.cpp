// Replies queue per slot as header and text, one after the other, in the order posted.
#include "reply_outbox.hpp"

#include <cerrno>
#include <cstring>

#include "mutex_hold.hpp"

reply_outbox::reply_outbox() {
    pthread_mutex_init(&mutex_, nullptr);
    pthread_cond_init(&decided_, nullptr);
}

reply_outbox::~reply_outbox() {
    pthread_cond_destroy(&decided_);
    pthread_mutex_destroy(&mutex_);
}

void reply_outbox::open(int slot, uint32_t connection) {
    mutex_hold lock(mutex_);
    slots_[slot].connection = connection;
    slots_[slot].over_limit = false;
    slots_[slot].used = 0;
}

void reply_outbox::close(int slot) {
    mutex_hold lock(mutex_);
    slots_[slot].connection = 0;
    slots_[slot].over_limit = false;
    slots_[slot].used = 0;
    resolve_worker(slot, reply_fate::refused);
}

int reply_outbox::post(int slot, uint32_t connection, const char* text, uint32_t length,
                       int64_t ready_us) {
    mutex_hold lock(mutex_);
    return append(slot, connection, text, length, ready_us, false);
}

int reply_outbox::post_and_wait(int slot, uint32_t connection, const char* text, uint32_t length,
                                int64_t ready_us) {
    mutex_hold lock(mutex_);
    int error = append(slot, connection, text, length, ready_us, true);
    if (error != 0) return error;
    return wait_for_fate(slot);
}

int reply_outbox::post_status_and_wait(int slot, uint32_t connection, int64_t ready_us) {
    mutex_hold lock(mutex_);
    int error = append(slot, connection, "", 0, ready_us, true, reply_kind::status);
    if (error != 0) return error;
    return wait_for_fate(slot);
}

// Called with the mutex held.
int reply_outbox::wait_for_fate(int slot) {
    worker_slot_ = slot;
    worker_fate_ = reply_fate::waiting;
    while (worker_fate_ == reply_fate::waiting) pthread_cond_wait(&decided_, &mutex_);
    const reply_fate fate = worker_fate_;
    worker_fate_ = reply_fate::none;
    worker_slot_ = -1;
    if (fate == reply_fate::started) return 0;
    return fate == reply_fate::dropped ? ETIMEDOUT : EPIPE;
}

// Called with the mutex held.
int reply_outbox::append(int slot, uint32_t connection, const char* text, uint32_t length,
                         int64_t ready_us, bool from_worker, reply_kind kind) {
    if (length > at_reply_max) return EMSGSIZE;
    slot_state& state = slots_[slot];
    // The connection that asked is gone, as a send to it would find.
    if (connection == 0 || state.connection != connection) return EPIPE;
    if (state.over_limit) return ENOBUFS;
    const uint32_t size = static_cast<uint32_t>(sizeof(item_header)) + length;
    if (state.used + size > owed_reply_limit) {
        state.over_limit = true;
        return ENOBUFS;
    }
    item_header header{length, from_worker ? 1u : 0u, ready_us, kind};
    memcpy(state.owed + state.used, &header, sizeof(header));
    memcpy(state.owed + state.used + sizeof(header), text, length);
    state.used += size;
    return 0;
}

bool reply_outbox::peek(int slot, uint8_t* out, uint32_t* length, int64_t* ready_us,
                        reply_kind* kind) {
    mutex_hold lock(mutex_);
    const slot_state& state = slots_[slot];
    if (state.used == 0) return false;
    item_header header;
    memcpy(&header, state.owed, sizeof(header));
    memcpy(out, state.owed + sizeof(header), header.length);
    *length = header.length;
    *ready_us = header.ready_us;
    if (kind != nullptr) *kind = header.kind;
    return true;
}

bool reply_outbox::pop(int slot, reply_fate fate) {
    mutex_hold lock(mutex_);
    slot_state& state = slots_[slot];
    if (state.used == 0) return false;
    item_header header;
    memcpy(&header, state.owed, sizeof(header));
    const uint32_t size = static_cast<uint32_t>(sizeof(header)) + header.length;
    memmove(state.owed, state.owed + size, state.used - size);
    state.used -= size;
    if (header.from_worker == 0) return false;
    resolve_worker(slot, fate);
    return true;
}

bool reply_outbox::owed(int slot) {
    mutex_hold lock(mutex_);
    return slots_[slot].used != 0;
}

bool reply_outbox::over_limit(int slot) {
    mutex_hold lock(mutex_);
    return slots_[slot].over_limit;
}

// Called with the mutex held.
void reply_outbox::resolve_worker(int slot, reply_fate fate) {
    if (worker_slot_ != slot || worker_fate_ != reply_fate::waiting) return;
    worker_fate_ = fate;
    pthread_cond_broadcast(&decided_);
}
