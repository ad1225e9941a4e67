#include "video_frame.hpp"

#include <algorithm>

#include "le_bytes.hpp"

namespace {

constexpr uint16_t crc_initial = 0xFFFF;
constexpr uint16_t crc_polynomial_reflected = 0x8408;
constexpr uint32_t length_over_max = source_max_payload + 1;
constexpr uint16_t crc_corruption = 0x5A5A;

// Distinct odd constants keep the payload and length generators of one seed apart.
constexpr uint64_t payload_stream_key = 0xD1B54A32D192ED03ull;
constexpr uint64_t length_stream_key = 0x8CB92BA72F3D8DD7ull;

// splitmix64: tiny, fast, and the same on every target.
uint64_t next_random(uint64_t& state) {
    state += 0x9E3779B97F4A7C15ull;
    uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

// Header bytes the receiver does not examine still vary from frame to frame, so a receiver that
// reads a field at the wrong offset shows up at once.
void fill_unexamined_header_bytes(uint8_t* header, uint32_t frame_number) {
    header[2] = static_cast<uint8_t>(frame_number);
    header[3] = static_cast<uint8_t>(frame_number >> 8);
    header[8] = 0x5A;
    header[10] = static_cast<uint8_t>(frame_number >> 16);
    header[11] = 0xC3;
}

}  // namespace

uint16_t reference_crc16(const uint8_t* data, size_t length) {
    uint16_t crc = crc_initial;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit) {
            const bool low_bit = (crc & 1) != 0;
            crc = static_cast<uint16_t>(crc >> 1);
            if (low_bit) crc ^= crc_polynomial_reflected;
        }
    }
    return crc;
}

uint32_t payload_plan::length_of(uint32_t frame_number) const {
    if (!derived_length) return fixed_length < source_max_payload ? fixed_length : source_max_payload;
    uint64_t state = seed ^ (frame_number * length_stream_key);
    return static_cast<uint32_t>(next_random(state) % (source_max_payload + 1));
}

void payload_plan::fill(uint32_t frame_number, uint8_t* out, size_t length) const {
    size_t at = 0;
    if (length >= payload_marker_size) {
        for (uint8_t magic_byte : payload_magic) out[at++] = magic_byte;
        put_le32(out + at, frame_number);
        at += 4;
    }
    uint64_t state = seed ^ (frame_number * payload_stream_key);
    while (at < length) {
        uint64_t word = next_random(state);
        for (int i = 0; i < 8 && at < length; ++i, word >>= 8) out[at++] = static_cast<uint8_t>(word);
    }
}

std::vector<uint8_t> payload_plan::payload(uint32_t frame_number) const {
    std::vector<uint8_t> bytes(length_of(frame_number));
    fill(frame_number, bytes.data(), bytes.size());
    return bytes;
}

namespace {

// A whole transfer block around the payload that `fill` writes at its place.
template <typename Fill>
std::vector<uint8_t> frame_block(uint32_t length, uint32_t frame_number, uint8_t sequence,
                                 Fill fill) {
    std::vector<uint8_t> block(source_transfer_size, 0);
    block[0] = source_sync_first;
    block[1] = source_sync_second;
    put_le32(&block[source_length_offset], length);
    block[source_sequence_offset] = sequence;
    fill_unexamined_header_bytes(block.data(), frame_number);
    fill(&block[source_header_size]);
    put_le16(&block[source_header_size + length],
             reference_crc16(block.data(), source_header_size + length));
    return block;
}

}  // namespace

spi_reply frame_transfer(const payload_plan& plan, uint32_t frame_number, uint8_t sequence,
                         frame_fault fault) {
    const uint32_t length = plan.length_of(frame_number);
    std::vector<uint8_t> block = frame_block(
        length, frame_number, sequence, [&](uint8_t* at) { plan.fill(frame_number, at, length); });

    switch (fault) {
        case frame_fault::none:
            break;
        case frame_fault::bad_sync:
            block[0] = source_sync_second;
            block[1] = source_sync_first;
            break;
        case frame_fault::length_over_max:
            put_le32(&block[source_length_offset], length_over_max);
            break;
        case frame_fault::bad_crc:
            put_le16(&block[source_header_size + length], stored_crc(block) ^ crc_corruption);
            break;
        case frame_fault::short_transfer:
            block.resize(source_short_transfer);
            break;
    }
    return spi_reply{static_cast<int32_t>(block.size()), block};
}

spi_reply payload_transfer(const uint8_t* payload, uint32_t length, uint32_t frame_number,
                           uint8_t sequence) {
    if (length > source_max_payload) length = source_max_payload;
    std::vector<uint8_t> block = frame_block(length, frame_number, sequence, [&](uint8_t* at) {
        std::copy(payload, payload + length, at);
    });
    return spi_reply{static_cast<int32_t>(block.size()), std::move(block)};
}

spi_reply garbage_transfer(uint64_t seed, uint32_t number) {
    spi_reply reply{static_cast<int32_t>(source_transfer_size),
                    std::vector<uint8_t>(source_transfer_size)};
    // xorshift64: enough noise, and the same bytes for the same (seed, number).
    uint64_t state = (seed ^ (static_cast<uint64_t>(number) << 32)) * 0x9E3779B97F4A7C15ull + 1;
    for (uint8_t& byte : reply.data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<uint8_t>(state >> 24);
    }
    if (reply.data[0] == source_sync_first && reply.data[1] == source_sync_second)
        reply.data[1] = static_cast<uint8_t>(~source_sync_second);
    return reply;
}

spi_reply failed_transfer(int error_number) { return spi_reply{-error_number, {}}; }

spi_reply empty_transfer() { return spi_reply{0, {}}; }

uint16_t stored_crc(const std::vector<uint8_t>& block) {
    return get_le16(&block[source_header_size + get_le32(&block[source_length_offset])]);
}

uint16_t computed_crc(const std::vector<uint8_t>& block) {
    return reference_crc16(block.data(),
                           source_header_size + get_le32(&block[source_length_offset]));
}
