#pragma once
// A count of events written by the one thread that owns them and read by any: a relaxed load and
// store, no read-modify-write, so counting costs the writer next to nothing. 64 bits, because a
// byte count at the bus's line rate passes 32 bits within minutes.
#include <atomic>
#include <cstdint>

// On 32-bit ARM a 64-bit atomic is lock-free through ldrexd/strexd; a lock would put a
// function call and a shared lock on every frame.
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<int64_t>::is_always_lock_free);

class event_counter {
public:
    // The owning thread only.
    void add(uint64_t n = 1) {
        value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    // The owning thread only, for a new owner of what it counts (a client slot's next connection).
    void reset() { value_.store(0, std::memory_order_relaxed); }
    // Any thread.
    uint64_t value() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<uint64_t> value_{0};
};
