#include "looped_file_checker.hpp"

#include <algorithm>

#include "video_frame.hpp"

namespace {

// Bytes of a piece's start that identify it: video data this long does not repeat by chance.
constexpr size_t key_size = 32;

}  // namespace

looped_file_checker::looped_file_checker(std::vector<uint8_t> file) : file_(std::move(file)) {
    for (size_t at = 0; at < file_.size(); at += source_max_payload) {
        const size_t key = std::min(key_size, file_.size() - at);
        by_start_[std::string(file_.begin() + static_cast<ptrdiff_t>(at),
                              file_.begin() + static_cast<ptrdiff_t>(at + key))]
            .push_back(starts_.size());
        starts_.push_back(at);
    }
}

size_t looped_file_checker::piece_length(size_t piece) const {
    return std::min<size_t>(source_max_payload, file_.size() - starts_[piece]);
}

void looped_file_checker::feed(const uint8_t* data, size_t length, const piece_callback& on_piece) {
    received_ += length;
    pending_.insert(pending_.end(), data, data + length);
    while (step(on_piece)) {
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(consumed_));
    consumed_ = 0;
}

// Looks the pending bytes up among the piece starts (a piece shorter than the key, the file's
// last, by all of it); false when more bytes are needed.
bool looped_file_checker::find_place() {
    const size_t available = pending_.size() - consumed_;
    const uint8_t* front = pending_.data() + consumed_;
    const size_t key = std::min(key_size, available);
    bool need_more = available < key_size;
    const auto found = by_start_.find(std::string(front, front + key));
    if (found != by_start_.end()) {
        for (size_t piece : found->second) {
            const size_t length = piece_length(piece);
            if (available < length) {
                need_more = true;
                continue;
            }
            const auto start = file_.begin() + static_cast<ptrdiff_t>(starts_[piece]);
            if (std::equal(front, front + length, start)) {
                if (piece < piece_) ++pass_;
                piece_ = piece;
                synced_ = true;
                return true;
            }
        }
    }
    if (need_more) return false;
    ++consumed_;
    ++offset_;
    ++skipped_;
    return true;
}

// Checks one piece or moves one byte on; false when more bytes are needed.
bool looped_file_checker::step(const piece_callback& on_piece) {
    if (pieces() == 0 || consumed_ == pending_.size()) return false;
    if (!synced_) return find_place();
    const size_t length = piece_length(piece_);
    if (pending_.size() - consumed_ < length) return false;
    const uint8_t* front = pending_.data() + consumed_;
    const auto expected = file_.begin() + static_cast<ptrdiff_t>(starts_[piece_]);
    const auto wrong = std::mismatch(front, front + length, expected).first;
    if (wrong != front + length) {
        ++pieces_wrong_;
        if (!first_wrong_) first_wrong_ = offset_ + static_cast<uint64_t>(wrong - front);
        synced_ = false;
        return true;
    }
    ++pieces_right_;
    if (on_piece) on_piece(pass_ * pieces() + piece_);
    consumed_ += length;
    offset_ += length;
    if (++piece_ == pieces()) {
        piece_ = 0;
        ++pass_;
    }
    return true;
}
