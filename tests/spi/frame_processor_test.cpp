#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "le_bytes.hpp"
#include "frame_format.hpp"
#include "frame_processor.hpp"
#include "video_ring.hpp"

namespace {

// A received transfer: the frame at the start, the rest of the 4110 bytes as given.
std::vector<uint8_t> make_block(uint8_t sequence, uint32_t payload_length, uint8_t fill = 0x5A) {
    std::vector<uint8_t> block(spi_transfer_size, 0);
    put_le16(&block[0], 0xAA55);
    put_le32(&block[4], payload_length);
    block[9] = sequence;
    for (uint32_t i = 0; i < payload_length && i < frame_max_payload; ++i)
        block[12 + i] = static_cast<uint8_t>(fill + i);
    if (payload_length <= frame_max_payload) {
        uint16_t crc = crc16_frame(0xFFFF, block.data(), 12 + payload_length);
        put_le16(&block[12 + payload_length], crc);
    }
    return block;
}

class FrameProcessor : public testing::Test {
protected:
    std::unique_ptr<frame_ring> ring = std::make_unique<frame_ring>();
    frame_counters counts;
    std::atomic<int32_t> clients{0};
    frame_processor processor{*ring, counts, clients};

    std::string run(const std::vector<uint8_t>& block, uint32_t received = spi_transfer_size) {
        testing::internal::CaptureStdout();
        processor.process(block.data(), received);
        return testing::internal::GetCapturedStdout();
    }

    // How many frames the reader finds waiting (a few at most in these cases).
    int waiting() {
        static uint8_t payloads[4][frame_max_payload];
        uint32_t lengths[4];
        return ring->copy_payloads(payloads, lengths, 4);
    }

    // The payload the server would send next, as it copies it out: false when the ring is empty.
    bool next_payload(uint8_t (*payload)[frame_max_payload], uint32_t* length) {
        return ring->copy_payloads(payload, length, 1) == 1;
    }
};

TEST_F(FrameProcessor, StoresAGoodFrameWholeAndItsPayloadReachesTheReader) {
    auto block = make_block(0, 100);
    EXPECT_EQ(run(block), "");
    EXPECT_EQ(waiting(), 1);

    uint8_t payload[1][frame_max_payload];
    uint32_t length = 0;
    ASSERT_TRUE(next_payload(payload, &length));
    EXPECT_EQ(length, 100u);
    EXPECT_EQ(memcmp(payload[0], block.data() + 12, 100), 0);
    ring->advance_read();
    EXPECT_FALSE(next_payload(payload, &length));
}

TEST_F(FrameProcessor, RejectsBadSyncAndLengthWithTheValuesRead) {
    auto swapped = make_block(0, 10);
    swapped[0] = 0xAA;
    swapped[1] = 0x55;
    EXPECT_EQ(run(swapped), "Invalid frame (sync=0x55AA len=10)\n");

    EXPECT_EQ(run(make_block(0, 4097)), "Invalid frame (sync=0xAA55 len=4097)\n");
    EXPECT_EQ(run(make_block(0, 4096)), "");
    EXPECT_EQ(waiting(), 1);
}

TEST_F(FrameProcessor, DropsBlocksShorterThanAHeaderSilently) {
    EXPECT_EQ(run(make_block(0, 0), 11), "");
    EXPECT_EQ(waiting(), 0);
}

TEST_F(FrameProcessor, AFrameLongerThanTheTransferIsInvalidNotCheckedAgainstOldBytes) {
    // A 20-byte transfer whose header claims 100 payload bytes: the rest of the slot holds what
    // an earlier transfer left there, even a matching CRC, and must not make it a frame.
    auto block = make_block(0, 100);
    EXPECT_EQ(run(block, 20), "Invalid frame (sync=0xAA55 len=100)\n");
    EXPECT_EQ(run(block, 113), "Invalid frame (sync=0xAA55 len=100)\n");
    EXPECT_EQ(run(block, 114), "");
    EXPECT_EQ(waiting(), 1);
}

TEST_F(FrameProcessor, ReportsCrcMismatchStoredValueFirstAndDropsTheFrame) {
    auto block = make_block(0, 3);
    uint16_t good = get_le16(&block[15]);
    put_le16(&block[15], 0x1234);
    char expected[64];
    snprintf(expected, sizeof expected, "CRC mismatch (got=0x1234 calc=0x%04X)\n", good);
    EXPECT_EQ(run(block), expected);
    EXPECT_EQ(waiting(), 0);
}

TEST_F(FrameProcessor, EmptyPayloadIsAFourteenByteFrameWithTheCrcAfterTheHeader) {
    auto block = make_block(0, 0);
    EXPECT_EQ(run(block), "");
    EXPECT_EQ(waiting(), 1);
    uint8_t payload[1][frame_max_payload];
    uint32_t length = 99;
    ASSERT_TRUE(next_payload(payload, &length));
    EXPECT_EQ(length, 0u);
}

TEST_F(FrameProcessor, SequenceRules) {
    // A mismatch is reported, the frame kept, and the expectation follows the frame.
    EXPECT_EQ(run(make_block(3, 1)), "Sequence mismatch: expected 0 got 3\n");
    EXPECT_EQ(run(make_block(4, 1)), "");
    EXPECT_EQ(waiting(), 2);

    // A frame that fails its CRC does not move the expectation.
    auto bad = make_block(5, 1);
    bad[13] ^= 1;
    run(bad);
    EXPECT_EQ(run(make_block(6, 1)), "Sequence mismatch: expected 5 got 6\n");

    // After 255 comes 0.
    run(make_block(255, 1));
    EXPECT_EQ(run(make_block(0, 1)), "");
}

TEST_F(FrameProcessor, ProgressLineAfterEachLapOfTheRing) {
    std::string out;
    for (unsigned i = 1; i <= 2 * video_ring_slots; ++i) {
        std::string line = run(make_block(static_cast<uint8_t>(i - 1), 8));
        if (i == 765) {
            EXPECT_EQ(line, "count=766\n");
        } else if (i == 1531) {
            EXPECT_EQ(line, "count=1532\n");
        } else {
            ASSERT_EQ(line, "") << "frame " << i;
        }
    }
    // 1532 frames stored: the writer has lapped twice and the ring looks empty again.
    EXPECT_EQ(waiting(), 0);
    // Nobody was connected to read them: no frame counts as overwritten.
    EXPECT_EQ(counts.ring_overwrites.value(), 0u);
}

TEST_F(FrameProcessor, CountsEachRefusalByItsOwnReasonAndGapsWithTheFramesTheySkipped) {
    auto bad_sync = make_block(0, 10);
    bad_sync[0] = 0;
    auto bad_both = make_block(0, 5000);  // sync and length both wrong: counted once, as sync
    bad_both[1] = 0;
    auto bad_crc = make_block(0, 10);
    bad_crc[13] ^= 1;
    for (const auto* block : {&bad_sync, &bad_both, &bad_crc}) run(*block);
    run(make_block(0, 5000));       // too long
    run(make_block(0, 100), 50);    // longer than its transfer
    run(make_block(0, 0), 11);      // shorter than a header
    EXPECT_EQ(counts.refused_sync.value(), 2u);
    EXPECT_EQ(counts.refused_length.value(), 3u);
    EXPECT_EQ(counts.refused_crc.value(), 1u);
    EXPECT_EQ(counts.stored.value(), 0u);

    run(make_block(0, 1));
    run(make_block(4, 1));    // 1, 2 and 3 missing
    run(make_block(5, 1));
    run(make_block(255, 1));  // 6 .. 254 missing
    run(make_block(0, 1));
    EXPECT_EQ(counts.stored.value(), 5u);
    EXPECT_EQ(counts.sequence_gaps.value(), 2u);
    EXPECT_EQ(counts.gap_frames.value(), 3u + 249u);
}

TEST_F(FrameProcessor, ALapOverUnreadFramesWhileAClientIsConnectedCountsEveryFrameLost) {
    clients = 1;
    for (unsigned i = 0; i < video_ring_slots - 1; ++i) run(make_block(static_cast<uint8_t>(i), 8));
    EXPECT_EQ(counts.ring_overwrites.value(), 0u);
    // The writer reaches the reader's position: the ring looks empty, all it held is gone.
    run(make_block(static_cast<uint8_t>(video_ring_slots - 1), 8));
    EXPECT_EQ(counts.ring_overwrites.value(), video_ring_slots);
    uint8_t payload[1][frame_max_payload];
    uint32_t length = 0;
    EXPECT_FALSE(next_payload(payload, &length));
}

}  // namespace
