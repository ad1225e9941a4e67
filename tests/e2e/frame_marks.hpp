#pragma once
// A frame that only the frame check rejects marks a place in the stream: once its line is out,
// every transfer before it has been checked. The daemon prints at most ten lines of a kind in
// a second (the rest become a count), so a test that sets many marks spaces them: a mark goes
// out only a second after the line of the mark `marks_per_second` marks back was seen. Its
// line then always comes, whatever the machine's speed; the spare allowance serves the test's
// own bad frames.
#include <chrono>
#include <deque>
#include <thread>

class mark_pacer {
public:
    static constexpr size_t marks_per_second = 8;

    // Waits, when a second's allowance is used up, before the next mark is sent.
    void before_mark() {
        if (seen_.size() < marks_per_second) return;
        std::this_thread::sleep_until(seen_.front() + std::chrono::seconds(1));
        seen_.pop_front();
    }
    // The mark's line has been seen.
    void seen() { seen_.push_back(std::chrono::steady_clock::now()); }

private:
    std::deque<std::chrono::steady_clock::time_point> seen_;
};
