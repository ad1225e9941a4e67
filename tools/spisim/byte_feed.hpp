#pragma once
// Payloads cut from a real byte stream (an H.264 elementary stream, say): a file or standard
// input read in pieces of 4096 bytes, only the last one shorter. With looping the stream starts
// again at its end: a file is read again from its start, standard input is replayed from a copy
// kept as it was read. The serving thread of the video source is the only reader.
#include <cstdint>
#include <string>
#include <vector>

#include "unique_fd.hpp"

class byte_feed {
public:
    // path "-" is standard input. Throws std::runtime_error when the file cannot be opened.
    byte_feed(const std::string& path, bool loop);
    byte_feed(const byte_feed&) = delete;
    byte_feed& operator=(const byte_feed&) = delete;

    // The next payload; false at the end of the stream or on a read error (error() says which).
    bool next(std::vector<uint8_t>& payload);
    // "" after a clean end.
    const std::string& error() const { return error_; }

private:
    size_t read_piece(uint8_t* into, size_t size);
    bool restart();

    std::string path_;
    unique_fd owned_;  // invalid for standard input
    int fd_ = -1;
    bool loop_ = false;
    bool seekable_ = false;
    std::vector<uint8_t> replay_;  // a looped pipe's bytes, once read to its end
    size_t replay_at_ = 0;
    bool replaying_ = false;
    bool ended_ = false;
    std::string error_;
};
