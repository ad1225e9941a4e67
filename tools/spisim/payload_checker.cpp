#include "payload_checker.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "le_bytes.hpp"

namespace {

bool starts_with_magic(const uint8_t* bytes) {
    return memcmp(bytes, payload_magic, sizeof payload_magic) == 0;
}

uint32_t marker_frame(const uint8_t* marker) { return get_le32(marker + sizeof payload_magic); }

}  // namespace

void payload_checker::feed(const uint8_t* data, size_t length) {
    pending_.insert(pending_.end(), data, data + length);
    for (;;) {
        const bool progressed = synced_ ? check_next_payload() : search_marker();
        if (!progressed) break;
    }
    // Keep the buffer from growing: drop what has been looked at.
    if (consumed_ > 0) {
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
}

void payload_checker::consume(size_t count) { consumed_ += count; }

// Returns false when more bytes are needed.
bool payload_checker::search_marker() {
    while (available() >= payload_marker_size) {
        if (starts_with_magic(front())) {
            synced_ = true;
            next_frame_ = marker_frame(front());
            return true;
        }
        consume(1);
        ++bytes_skipped_;
    }
    return false;
}

// At a payload boundary: the next payload should be next_frame_'s. Returns false when more
// bytes are needed.
bool payload_checker::check_next_payload() {
    if (plan_.length_of(next_frame_) >= payload_marker_size) {
        if (available() < payload_marker_size) return false;
        if (!follow_marker()) return true;
    }
    const uint32_t length = plan_.length_of(next_frame_);
    if (available() < length) return false;

    expected_.resize(length);
    plan_.fill(next_frame_, expected_.data(), length);
    const auto mismatch = std::mismatch(expected_.begin(), expected_.end(), front());
    if (mismatch.first != expected_.end()) {
        const size_t offset = static_cast<size_t>(mismatch.first - expected_.begin());
        char text[128];
        snprintf(text, sizeof text, "frame %u: payload byte %zu is 0x%02X, expected 0x%02X",
                 next_frame_, offset, *mismatch.second, *mismatch.first);
        consume(1);  // search again from the next byte
        lose_sync(text);
        return true;
    }
    consume(length);
    ++frames_checked_;
    ++next_frame_;
    return true;
}

// The payload begins with a marker: follow it if it names another frame. Returns false when it
// is no marker at all (sync is lost).
bool payload_checker::follow_marker() {
    if (!starts_with_magic(front())) {
        char text[96];
        snprintf(text, sizeof text, "frame %u: no payload marker where the payload starts",
                 next_frame_);
        consume(1);
        lose_sync(text);
        return false;
    }
    const uint32_t frame = marker_frame(front());
    if (frame == next_frame_) return true;

    char text[96];
    snprintf(text, sizeof text, "frame %u follows frame %u", frame, next_frame_ - 1);
    note_problem(text);
    ++discontinuities_;
    if (frame > next_frame_) frames_missing_ += frame - next_frame_;
    next_frame_ = frame;
    return true;
}

void payload_checker::note_problem(const std::string& text) {
    if (first_problem_.empty()) first_problem_ = text;
}

void payload_checker::lose_sync(const std::string& text) {
    note_problem(text);
    ++errors_;
    synced_ = false;
}
