#pragma once
// The frame a transfer carries: header, payload and CRC.
#include <cstddef>
#include <cstdint>

constexpr size_t frame_header_size = 12;
constexpr size_t frame_crc_size = 2;
constexpr uint32_t frame_max_payload = 4096;
constexpr size_t frame_max_size = frame_header_size + frame_max_payload + frame_crc_size;  // 4110
constexpr uint16_t frame_sync_word = 0xAA55;
constexpr size_t frame_sync_offset = 0;
constexpr size_t frame_length_offset = 4;
constexpr size_t frame_sequence_offset = 9;
constexpr uint16_t crc16_frame_init = 0xFFFF;

// CRC-16/MCRF4XX: polynomial 0x1021 reflected (0x8408), no final XOR.
uint16_t crc16_frame(uint16_t crc, const uint8_t* data, size_t length);

constexpr size_t spi_transfer_size = frame_max_size;  // one transfer carries one whole frame
