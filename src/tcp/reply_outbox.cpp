// Replies queue per slot as header and text, one after the other, in the order posted.
#include "reply_outbox.hpp"

#include <cerrno>
#include <cstring>

#include "mutex_hold.hpp"

reply_outbox::reply_outbox() { pthread_mutex_init(&mutex_, nullptr); }

reply_outbox::~reply_outbox() { pthread_mutex_destroy(&mutex_); }

void reply_outbox::open(int slot, uint32_t connection) {
    mutex_hold lock(mutex_);
    slots_[slot].connection = connection;
    slots_[slot].over_limit = false;
    slots_[slot].used = 0;
}

int reply_outbox::close(int slot) {
    mutex_hold lock(mutex_);
    slot_state& state = slots_[slot];
    int commands = 0;
    for (uint32_t at = 0; at < state.used;) {
        item_header header;
        memcpy(&header, state.owed + at, sizeof(header));
        if (header.command_reply != 0) ++commands;
        at += static_cast<uint32_t>(sizeof(header)) + header.length;
    }
    state.connection = 0;
    state.over_limit = false;
    state.used = 0;
    return commands;
}

int reply_outbox::post(int slot, uint32_t connection, const char* text, uint32_t length,
                       int64_t ready_us, bool command_reply, reply_kind kind) {
    if (length > at_reply_max) return EMSGSIZE;
    mutex_hold lock(mutex_);
    slot_state& state = slots_[slot];
    // The connection that asked is gone, as a send to it would find.
    if (connection == 0 || state.connection != connection) return EPIPE;
    if (state.over_limit) return ENOBUFS;
    const uint32_t size = static_cast<uint32_t>(sizeof(item_header)) + length;
    if (state.used + size > owed_reply_limit) {
        state.over_limit = true;
        return ENOBUFS;
    }
    item_header header{length, command_reply ? 1u : 0u, ready_us, kind};
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

bool reply_outbox::oldest_ready(int slot, int64_t* ready_us) {
    mutex_hold lock(mutex_);
    const slot_state& state = slots_[slot];
    if (state.used == 0) return false;
    item_header header;
    memcpy(&header, state.owed, sizeof(header));
    *ready_us = header.ready_us;
    return true;
}

void reply_outbox::pop(int slot) {
    mutex_hold lock(mutex_);
    slot_state& state = slots_[slot];
    if (state.used == 0) return;
    item_header header;
    memcpy(&header, state.owed, sizeof(header));
    const uint32_t size = static_cast<uint32_t>(sizeof(header)) + header.length;
    memmove(state.owed, state.owed + size, state.used - size);
    state.used -= size;
}

bool reply_outbox::owed(int slot) {
    mutex_hold lock(mutex_);
    return slots_[slot].used != 0;
}

bool reply_outbox::over_limit(int slot) {
    mutex_hold lock(mutex_);
    return slots_[slot].over_limit;
}
