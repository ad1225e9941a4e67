#pragma once
// Checks a received byte stream that is the bare concatenation of a plan's payloads (what a TCP
// client of the daemon receives). The receiver may join anywhere: bytes before the first payload
// marker are skipped, and from there every byte is compared with the payload it belongs to.
// A payload that starts with the marker of a later frame than the next one counts as a jump
// (frames lost on the way, e.g. to a full ring); any other difference is an error, after which
// the checker looks for the next marker.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "video_frame.hpp"

class payload_checker {
public:
    explicit payload_checker(const payload_plan& plan) : plan_(plan) {}

    void feed(const uint8_t* data, size_t length);

    bool synced() const { return synced_; }
    // The frame whose payload the next bytes should be.
    uint32_t next_frame() const { return next_frame_; }
    uint64_t frames_checked() const { return frames_checked_; }
    // Bytes passed over while looking for a marker (before the first one, and after errors).
    uint64_t bytes_skipped() const { return bytes_skipped_; }
    // Jumps between payloads: forward ones add the frames they skip to frames_missing.
    uint64_t discontinuities() const { return discontinuities_; }
    uint64_t frames_missing() const { return frames_missing_; }
    uint64_t errors() const { return errors_; }
    // The first error or discontinuity in words ("" while there is none).
    const std::string& first_problem() const { return first_problem_; }

private:
    size_t available() const { return pending_.size() - consumed_; }
    const uint8_t* front() const { return pending_.data() + consumed_; }
    void consume(size_t count);
    bool search_marker();
    bool check_next_payload();
    bool follow_marker();
    void note_problem(const std::string& text);
    void lose_sync(const std::string& text);

    payload_plan plan_;
    std::vector<uint8_t> pending_;
    size_t consumed_ = 0;
    std::vector<uint8_t> expected_;

    bool synced_ = false;
    uint32_t next_frame_ = 0;
    uint64_t frames_checked_ = 0;
    uint64_t bytes_skipped_ = 0;
    uint64_t discontinuities_ = 0;
    uint64_t frames_missing_ = 0;
    uint64_t errors_ = 0;
    std::string first_problem_;
};
