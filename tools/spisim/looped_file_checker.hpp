#pragma once
// Checks what a client of the daemon receives when the video source plays a file in a loop
// (byte_feed): the file's 4096-byte pieces, only the last one shorter, one after the other and
// from the first again after the last. The client may join at any piece: its first bytes are
// looked up among the pieces' starts, and from there every piece is compared whole. A piece that
// differs is counted with the place of its first wrong byte (the first such place is kept), and
// the checker looks the bytes up again from there, as after a jump over lost frames.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class looped_file_checker {
public:
    explicit looped_file_checker(std::vector<uint8_t> file);

    // Called for each piece received whole and right, with its number in the source's stream
    // (counted from the file's first piece of the first pass).
    using piece_callback = std::function<void(uint64_t stream_index)>;
    void feed(const uint8_t* data, size_t length, const piece_callback& on_piece = {});

    uint64_t bytes_received() const { return received_; }
    uint64_t pieces_right() const { return pieces_right_; }
    uint64_t pieces_wrong() const { return pieces_wrong_; }
    // Bytes passed over while no piece start matched.
    uint64_t bytes_skipped() const { return skipped_; }
    // The place of the first wrong byte in the client's stream, counted from its first byte.
    std::optional<uint64_t> first_wrong_byte() const { return first_wrong_; }

private:
    size_t pieces() const { return starts_.size(); }
    size_t piece_length(size_t piece) const;
    bool step(const piece_callback& on_piece);
    bool find_place();

    std::vector<uint8_t> file_;
    std::vector<size_t> starts_;  // where each piece begins in the file
    std::unordered_map<std::string, std::vector<size_t>> by_start_;

    std::vector<uint8_t> pending_;
    size_t consumed_ = 0;  // of pending_
    uint64_t offset_ = 0;  // the client's stream offset of pending_[consumed_]
    bool synced_ = false;
    size_t piece_ = 0;
    uint64_t pass_ = 0;

    uint64_t received_ = 0;
    uint64_t pieces_right_ = 0;
    uint64_t pieces_wrong_ = 0;
    uint64_t skipped_ = 0;
    std::optional<uint64_t> first_wrong_;
};
