#pragma once
// What the soak's activities share: the stop that ends them all, the stall phase during which
// lost frames are not counted, and a random source per activity (seeded from the run's seed so
// that a run can be repeated).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <random>

using soak_clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class stop_flag {
public:
    void stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    bool stopped() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }
    // Waits for the given time; true when the stop came first (or had come before).
    bool wait_for(milliseconds duration) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, duration, [this] { return stopped_; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool stopped_ = false;
};

// While a client stalls, the frames it skips are lost to it by design (a client that holds a
// rest misses what goes by); every client counts what it saw in that phase apart.
class stall_phase {
public:
    void begin() { active_.store(true); }
    void end() { active_.store(false); }
    bool active() const { return active_.load(); }

private:
    std::atomic<bool> active_{false};
};

class random_source {
public:
    explicit random_source(uint64_t seed) : engine_(seed) {}
    milliseconds between(milliseconds low, milliseconds high) {
        std::uniform_int_distribution<long long> pick(low.count(), high.count());
        return milliseconds(pick(engine_));
    }
    uint64_t below(uint64_t limit) {
        std::uniform_int_distribution<uint64_t> pick(0, limit - 1);
        return pick(engine_);
    }

private:
    std::mt19937_64 engine_;
};
