#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "raw_queue.hpp"
#include "transfer_thread.hpp"

namespace {

TEST(RawQueue, ThirtyOneBlocksWaitAndTheThirtySecondIsDroppedWithTheRunningTotal) {
    auto queue = std::make_unique<raw_frame_queue>();
    event_counter drops;
    uint8_t block[raw_slot_size] = {};

    testing::internal::CaptureStdout();
    for (int i = 0; i < 31; ++i) {
        block[0] = static_cast<uint8_t>(i);
        queue->push(block, 4110, drops);
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    testing::internal::CaptureStdout();
    queue->push(block, 4110, drops);
    queue->push(block, 4110, drops);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Dropped 1 packets (queue full)\nDropped 2 packets (queue full)\n");

    // Taking one slot makes room for exactly one more transfer.
    EXPECT_EQ(queue->pop().data[0], 0);
    testing::internal::CaptureStdout();
    block[0] = 99;
    EXPECT_TRUE(queue->push(block, 11, drops));
    EXPECT_FALSE(queue->push(block, 11, drops));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Dropped 3 packets (queue full)\n");
    // The status shows the drops the lines announce.
    EXPECT_EQ(drops.value(), 3u);

    for (int i = 1; i < 31; ++i) ASSERT_EQ(queue->pop().data[0], i);
    const raw_slot& last = queue->pop();
    EXPECT_EQ(last.data[0], 99);
    EXPECT_EQ(last.length, 11u);
}

TEST(RawQueue, KeepsTheByteCountTheTransferReturned) {
    auto queue = std::make_unique<raw_frame_queue>();
    uint8_t block[raw_slot_size] = {0x55, 0xAA};
    event_counter drops;
    queue->push(block, 4110, drops);
    queue->push(block, 12, drops);
    EXPECT_EQ(queue->pop().length, 4110u);
    EXPECT_EQ(queue->pop().length, 12u);
}

TEST(TransferBackoff, PausesDoubleFromTenMillisecondsToOneSecondAndEndAfterAGoodTransfer) {
    transfer_backoff backoff;
    std::vector<uint32_t> pauses;
    for (int i = 0; i < 9; ++i) pauses.push_back(backoff.after_failure());
    EXPECT_EQ(pauses, (std::vector<uint32_t>{10000, 20000, 40000, 80000, 160000, 320000, 640000,
                                             1000000, 1000000}));
    backoff.after_success();
    EXPECT_EQ(backoff.after_failure(), 10000u);
}

}  // namespace
