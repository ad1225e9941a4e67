#pragma once
// Replies on their way to a client's output: with the command queue, the only state the
// command thread shares with the server thread (its own lock). The command thread posts a reply
// and goes on; the server thread starts each one, in the order posted, once the client's rest
// is out, or drops it whole (with the failure line) when it could not start within
// at_reply_start_limit_ms of being posted, whatever the client still owes. A reply belongs to
// the connection that asked: the slot forgets its replies when that connection closes, and a
// post for any other connection is refused, so a later client given the same descriptor never
// sees it.
//
// Lock order: this mutex is the last lock ever taken. The command thread posts while the command
// may hold param_mutex, iwset_mutex or vendor_send_mutex; nothing else is taken while it is held.
#include <pthread.h>

#include <cstdint>

#include "client_table.hpp"

constexpr int at_reply_start_limit_ms = 1000;
constexpr uint32_t owed_reply_limit = 65536;  // a client owed more is closed
// The longest reply a client is handed; a longer text is refused.
constexpr uint32_t at_reply_max = rest_capacity;

// A text posted whole, or the status, whose text the server thread makes when it starts it.
enum class reply_kind : uint8_t { text, status };

class reply_outbox {
public:
    reply_outbox();
    ~reply_outbox();
    reply_outbox(const reply_outbox&) = delete;
    reply_outbox& operator=(const reply_outbox&) = delete;

    // Server thread: a new connection takes the slot.
    void open(int slot, uint32_t connection);
    // Server thread: the slot's connection is gone and what it was owed is dropped. Returns how
    // many of those were commands' own replies (not busy replies).
    int close(int slot);

    // Command thread: queues a whole reply for the slot's connection. Returns 0, EPIPE when the
    // slot holds another connection (or none), EMSGSIZE for a text longer than at_reply_max. A
    // post that takes the owed bytes over the limit marks the slot for closing and is refused
    // (ENOBUFS).
    // A status is posted with no text.
    int post(int slot, uint32_t connection, const char* text, uint32_t length, int64_t ready_us,
             bool command_reply, reply_kind kind = reply_kind::text);

    // Server thread: copies the oldest reply of the slot into out (at_reply_max bytes) and
    // says its kind (a status has length 0: the server writes it). False when nothing is owed.
    bool peek(int slot, uint8_t* out, uint32_t* length, int64_t* ready_us,
              reply_kind* kind = nullptr);
    // Server thread: when the oldest reply was posted; false when nothing is owed.
    bool oldest_ready(int slot, int64_t* ready_us);
    // Server thread: the oldest reply started or was dropped.
    void pop(int slot);
    // Server thread: whether the slot is owed replies, and whether it went over the limit.
    bool owed(int slot);
    bool over_limit(int slot);

private:
    struct item_header {
        uint32_t length;
        uint32_t command_reply;
        int64_t ready_us;
        reply_kind kind;
    };
    struct slot_state {
        uint32_t connection = 0;
        bool over_limit = false;
        uint32_t used = 0;  // bytes of headers and texts in owed
        uint8_t owed[owed_reply_limit];
    };

    slot_state slots_[max_clients];  // one per client table entry
    pthread_mutex_t mutex_;
};
