#pragma once
// Frames as the video source at the far end of the SPI bus puts them on the wire, built apart
// from the daemon's own code so that the two can check each other: a 12-byte header (sync word,
// payload length, sequence), the payload, a CRC-16/MCRF4XX over both, zero padding to one
// 4110-byte transfer.
//
// Payloads are reproducible from a seed and carry their own frame number: a payload of at least
// 8 bytes starts with a marker (4 magic bytes, the frame number little-endian), the rest comes
// from a generator seeded with (seed, frame number). A receiver that joins a stream anywhere can
// find its place and check every byte after it (payload_checker).
#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t source_header_size = 12;
constexpr size_t source_crc_size = 2;
constexpr uint32_t source_max_payload = 4096;
constexpr size_t source_transfer_size = 4110;
constexpr uint8_t source_sync_first = 0x55;  // sync word 0xAA55, little-endian
constexpr uint8_t source_sync_second = 0xAA;
constexpr size_t source_length_offset = 4;
constexpr size_t source_sequence_offset = 9;
// The short transfer the receiver must drop without a word: too short for a header.
constexpr size_t source_short_transfer = 11;

constexpr size_t payload_marker_size = 8;
constexpr uint8_t payload_magic[4] = {'N', 'V', 'F', 'R'};

// CRC-16/MCRF4XX (reflected polynomial 0x8408, initial 0xFFFF, no final XOR), one bit at a
// time: the plain reference, not the daemon's faster form.
uint16_t reference_crc16(const uint8_t* data, size_t length);

// What decides a stream's payloads.
struct payload_plan {
    uint64_t seed = 1;
    // Each frame's length comes from (seed, frame number), 0 to 4096; else fixed_length (at
    // most 4096).
    bool derived_length = false;
    uint32_t fixed_length = source_max_payload;

    uint32_t length_of(uint32_t frame_number) const;
    // Writes the first `length` bytes of the frame's payload.
    void fill(uint32_t frame_number, uint8_t* out, size_t length) const;
    std::vector<uint8_t> payload(uint32_t frame_number) const;
};

// The source's answer to one transfer request: the transfer's result (bytes clocked, 0, or a
// negative errno) and the bytes the daemon receives.
struct spi_reply {
    int32_t result = 0;
    std::vector<uint8_t> data;
};

enum class frame_fault {
    none,
    bad_sync,         // sync bytes swapped: the receiver reads 0x55AA
    length_over_max,  // payload_length field 4097
    bad_crc,          // stored CRC wrong
    short_transfer,   // only the first 11 bytes arrive
};

// One transfer carrying the given frame of the plan, with an optional fault.
spi_reply frame_transfer(const payload_plan& plan, uint32_t frame_number, uint8_t sequence,
                         frame_fault fault = frame_fault::none);
// One transfer carrying the given payload bytes (at most 4096, longer ones are cut there): a
// piece of a real byte stream rather than a payload of a plan.
spi_reply payload_transfer(const uint8_t* payload, uint32_t length, uint32_t frame_number,
                           uint8_t sequence);
// A whole transfer of noise, reproducible from (seed, number), as a bus gives when nothing
// sends frames: never a frame's sync word, so the receiver rejects each one by its sync.
spi_reply garbage_transfer(uint64_t seed, uint32_t number);
// A transfer that fails with errno `error_number`.
spi_reply failed_transfer(int error_number);
// A transfer that completes with no bytes.
spi_reply empty_transfer();

// The CRC stored in a frame block, and the one its header and payload call for (for blocks
// whose length field is at most 4096).
uint16_t stored_crc(const std::vector<uint8_t>& block);
uint16_t computed_crc(const std::vector<uint8_t>& block);
