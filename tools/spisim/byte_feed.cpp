#include "byte_feed.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "video_frame.hpp"

byte_feed::byte_feed(const std::string& path, bool loop) : path_(path), loop_(loop) {
    if (path == "-") {
        fd_ = STDIN_FILENO;
        path_ = "standard input";
    } else {
        owned_.reset(open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!owned_.valid())
            throw std::runtime_error("cannot open " + path + ": " + strerror(errno));
        fd_ = owned_.get();
    }
    seekable_ = lseek(fd_, 0, SEEK_CUR) >= 0;
}

// Fills `into` up to `size` bytes unless the stream ends first; returns how many it got.
size_t byte_feed::read_piece(uint8_t* into, size_t size) {
    size_t got = 0;
    while (got < size) {
        const ssize_t n = read(fd_, into + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error_ = "cannot read " + path_ + ": " + strerror(errno);
            break;
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    return got;
}

// Back to the stream's start; false when there is nothing to play again.
bool byte_feed::restart() {
    if (seekable_) return lseek(fd_, 0, SEEK_SET) == 0;
    replaying_ = true;
    replay_at_ = 0;
    return !replay_.empty();
}

bool byte_feed::next(std::vector<uint8_t>& payload) {
    payload.resize(source_max_payload);
    for (int attempt = 0; attempt < 2 && !ended_; ++attempt) {
        size_t got = 0;
        if (replaying_) {
            got = std::min<size_t>(source_max_payload, replay_.size() - replay_at_);
            std::copy_n(replay_.begin() + static_cast<ptrdiff_t>(replay_at_), got, payload.begin());
            replay_at_ += got;
        } else {
            got = read_piece(payload.data(), payload.size());
            if (!error_.empty()) break;
            if (loop_ && !seekable_) replay_.insert(replay_.end(), payload.begin(), payload.begin() + got);
        }
        if (got > 0) {
            payload.resize(got);
            return true;
        }
        // At the end: once more from the start when looping (an empty stream stays ended).
        if (!loop_ || !restart()) break;
    }
    ended_ = true;
    payload.clear();
    return false;
}
