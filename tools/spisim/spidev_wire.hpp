#pragma once
// The packets between the spidev emulator (inside the daemon) and the video source at the far
// end of the simulated bus, over one SOCK_SEQPACKET connection. The emulator sends one request
// per transfer and blocks until the source answers it, as a slave transfer waits for its master.
//
//   request:  [u32 len][u32 speed_hz][u8 bits_per_word][u8 has_tx][u8 has_rx][u8 0]
//   reply:    [i32 result][data...]
//
// All fields little-endian. A reply result > 0 completes the transfer with that many bytes (the
// first min(result, len) data bytes land in the receive buffer); 0 completes it empty; < 0 fails
// it with errno = -result.
#include <cstddef>
#include <cstdint>

constexpr size_t wire_request_size = 12;
constexpr size_t wire_request_len_offset = 0;
constexpr size_t wire_request_speed_offset = 4;
constexpr size_t wire_request_bits_offset = 8;
constexpr size_t wire_request_has_tx_offset = 9;
constexpr size_t wire_request_has_rx_offset = 10;

constexpr size_t wire_reply_header_size = 4;
// Largest data part of a reply: more than any transfer the daemon runs.
constexpr size_t wire_reply_max_data = 8192;
constexpr size_t wire_reply_max_size = wire_reply_header_size + wire_reply_max_data;
