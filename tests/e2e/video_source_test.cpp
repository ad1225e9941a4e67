// The test video source: its frames byte by byte, the stream checker, and the source's answers
// on the socket as the emulator sees them.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <gtest/gtest.h>

#include "le_bytes.hpp"
#include "spidev_wire.hpp"
#include "video_source.hpp"

namespace {

using std::chrono::milliseconds;
constexpr milliseconds deadline{30000};

std::vector<uint8_t> concatenated_payloads(const payload_plan& plan, uint32_t first, uint32_t count) {
    std::vector<uint8_t> bytes;
    for (uint32_t n = first; n < first + count; ++n) {
        const std::vector<uint8_t> payload = plan.payload(n);
        bytes.insert(bytes.end(), payload.begin(), payload.end());
    }
    return bytes;
}

// ---- frames ----

TEST(VideoFrame, ReferenceCrcHasTheCatalogueCheckValue) {
    const char digits[] = "123456789";
    EXPECT_EQ(reference_crc16(reinterpret_cast<const uint8_t*>(digits), 9), 0x6F91);
}

TEST(VideoFrame, FrameFillsOneTransfer) {
    const payload_plan plan{.seed = 9, .derived_length = false, .fixed_length = 100};
    const spi_reply reply = frame_transfer(plan, 0x123456, 77);
    const std::vector<uint8_t>& b = reply.data;
    ASSERT_EQ(reply.result, 4110);
    ASSERT_EQ(b.size(), 4110u);
    EXPECT_EQ(b[0], 0x55);
    EXPECT_EQ(b[1], 0xAA);
    EXPECT_EQ(get_le32(&b[4]), 100u);
    EXPECT_EQ(b[9], 77);
    // Bytes the receiver ignores change with the frame number.
    EXPECT_EQ(b[2], 0x56);
    EXPECT_EQ(b[3], 0x34);
    EXPECT_EQ(b[10], 0x12);
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 12, b.begin() + 112), plan.payload(0x123456));
    EXPECT_EQ(get_le16(&b[112]), reference_crc16(b.data(), 112));
    EXPECT_EQ(stored_crc(b), computed_crc(b));
    for (size_t i = 114; i < b.size(); ++i) ASSERT_EQ(b[i], 0) << "padding byte " << i;
}

TEST(VideoFrame, EmptyAndFullPayloads) {
    payload_plan plan{.seed = 1, .derived_length = false, .fixed_length = 0};
    std::vector<uint8_t> b = frame_transfer(plan, 5, 5).data;
    EXPECT_EQ(get_le16(&b[12]), reference_crc16(b.data(), 12));
    plan.fixed_length = 5000;  // more than a frame holds: cut to the largest payload
    b = frame_transfer(plan, 5, 5).data;
    EXPECT_EQ(get_le32(&b[4]), 4096u);
    EXPECT_EQ(get_le16(&b[4108]), reference_crc16(b.data(), 4108));
}

TEST(VideoFrame, EachFaultChangesOnlyItsPart) {
    const payload_plan plan{.seed = 2, .derived_length = false, .fixed_length = 300};
    const std::vector<uint8_t> good = frame_transfer(plan, 4, 4).data;

    std::vector<uint8_t> b = frame_transfer(plan, 4, 4, frame_fault::bad_sync).data;
    EXPECT_EQ(get_le16(&b[0]), 0x55AA);
    EXPECT_TRUE(std::equal(b.begin() + 2, b.end(), good.begin() + 2));

    b = frame_transfer(plan, 4, 4, frame_fault::length_over_max).data;
    EXPECT_EQ(get_le32(&b[4]), 4097u);

    b = frame_transfer(plan, 4, 4, frame_fault::bad_crc).data;
    EXPECT_NE(stored_crc(b), computed_crc(b));
    EXPECT_EQ(computed_crc(b), stored_crc(good));

    const spi_reply short_transfer = frame_transfer(plan, 4, 4, frame_fault::short_transfer);
    EXPECT_EQ(short_transfer.result, 11);
    EXPECT_EQ(short_transfer.data, std::vector<uint8_t>(good.begin(), good.begin() + 11));

    EXPECT_EQ(failed_transfer(EIO).result, -EIO);
    EXPECT_EQ(empty_transfer().result, 0);
}

TEST(VideoFrame, PayloadsAreReproducibleAndCarryTheirNumber) {
    const payload_plan plan{.seed = 11, .derived_length = false, .fixed_length = 64};
    const std::vector<uint8_t> p = plan.payload(0xA1B2C3D4);
    EXPECT_EQ(std::vector<uint8_t>(p.begin(), p.begin() + 8),
              (std::vector<uint8_t>{'N', 'V', 'F', 'R', 0xD4, 0xC3, 0xB2, 0xA1}));
    EXPECT_EQ(plan.payload(0xA1B2C3D4), p);
    EXPECT_NE(plan.payload(0xA1B2C3D5), p);
    payload_plan other = plan;
    other.seed = 12;
    EXPECT_NE(other.payload(0xA1B2C3D4), p);
}

TEST(VideoFrame, DerivedLengthsSpanTheWholeRange) {
    const payload_plan plan{.seed = 5, .derived_length = true, .fixed_length = 0};
    uint32_t shortest = 4096, longest = 0;
    for (uint32_t n = 0; n < 2000; ++n) {
        const uint32_t length = plan.length_of(n);
        ASSERT_LE(length, 4096u);
        ASSERT_EQ(plan.payload(n).size(), length);
        shortest = std::min(shortest, length);
        longest = std::max(longest, length);
    }
    EXPECT_LT(shortest, 16u);
    EXPECT_GT(longest, 4080u);
}

// ---- stream checker ----

TEST(PayloadChecker, JoinsMidPayloadAndChecksEveryLaterByte) {
    const payload_plan plan{.seed = 4, .derived_length = false, .fixed_length = 500};
    const std::vector<uint8_t> stream = concatenated_payloads(plan, 10, 10);
    payload_checker checker(plan);
    checker.feed(stream.data() + 1234, stream.size() - 1234);  // inside frame 12's payload
    EXPECT_TRUE(checker.synced());
    EXPECT_EQ(checker.bytes_skipped(), 266u);
    EXPECT_EQ(checker.frames_checked(), 7u);
    EXPECT_EQ(checker.next_frame(), 20u);
    EXPECT_EQ(checker.errors(), 0u);
    EXPECT_EQ(checker.first_problem(), "");
}

TEST(PayloadChecker, TakesTheStreamInAnyPieces) {
    const payload_plan plan{.seed = 8, .derived_length = true, .fixed_length = 0};
    const std::vector<uint8_t> stream = concatenated_payloads(plan, 0, 40);
    payload_checker checker(plan);
    for (size_t at = 0; at < stream.size(); at += 7)
        checker.feed(stream.data() + at, std::min<size_t>(7, stream.size() - at));
    EXPECT_EQ(checker.frames_checked(), 40u);
    EXPECT_EQ(checker.bytes_skipped(), 0u);
    EXPECT_EQ(checker.errors(), 0u);
    EXPECT_EQ(checker.discontinuities(), 0u);
}

TEST(PayloadChecker, ReportsACorruptByteAndFindsItsWayBack) {
    const payload_plan plan{.seed = 4, .derived_length = false, .fixed_length = 100};
    std::vector<uint8_t> stream = concatenated_payloads(plan, 0, 5);
    stream[250] ^= 0x01;  // frame 2, byte 50
    payload_checker checker(plan);
    checker.feed(stream.data(), stream.size());
    EXPECT_EQ(checker.errors(), 1u);
    EXPECT_EQ(checker.first_problem().rfind("frame 2: payload byte 50 is", 0), 0u)
        << checker.first_problem();
    EXPECT_EQ(checker.frames_checked(), 4u);  // 0, 1, 3, 4
    EXPECT_EQ(checker.next_frame(), 5u);
}

TEST(PayloadChecker, CountsFramesLostOnTheWay) {
    const payload_plan plan{.seed = 4, .derived_length = false, .fixed_length = 100};
    std::vector<uint8_t> stream = concatenated_payloads(plan, 0, 3);
    const std::vector<uint8_t> later = concatenated_payloads(plan, 6, 2);
    stream.insert(stream.end(), later.begin(), later.end());
    payload_checker checker(plan);
    checker.feed(stream.data(), stream.size());
    EXPECT_EQ(checker.frames_checked(), 5u);
    EXPECT_EQ(checker.discontinuities(), 1u);
    EXPECT_EQ(checker.frames_missing(), 3u);
    EXPECT_EQ(checker.errors(), 0u);
    EXPECT_EQ(checker.first_problem(), "frame 6 follows frame 2");
}

// ---- the source on its socket ----

class VideoSourceSocket : public ::testing::Test {
protected:
    VideoSourceSocket() {
        char pattern[] = "/tmp/nanvideo-source-test.XXXXXX";
        dir_ = mkdtemp(pattern);
        source_ = std::make_unique<video_source>(dir_ + "/spi.sock");
        connect_to(dir_ + "/spi.sock");
    }
    ~VideoSourceSocket() override {
        client_.reset();
        source_.reset();
        std::filesystem::remove_all(dir_);
    }

    void connect_to(const std::string& path) {
        client_.reset(socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        ASSERT_LT(path.size(), sizeof address.sun_path);
        strcpy(address.sun_path, path.c_str());
        ASSERT_EQ(connect(client_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
            << strerror(errno);
    }

    // One transfer as the emulator runs it: a request, then the reply's result and data.
    spi_reply transfer(uint32_t speed_hz = 1000000) {
        uint8_t request[wire_request_size] = {};
        put_le32(request + wire_request_len_offset, 4110);
        put_le32(request + wire_request_speed_offset, speed_hz);
        request[wire_request_bits_offset] = 8;
        request[wire_request_has_rx_offset] = 1;
        EXPECT_EQ(send(client_.get(), request, sizeof request, 0), 12);
        std::vector<uint8_t> reply(wire_reply_max_size);
        const ssize_t got = recv(client_.get(), reply.data(), reply.size(), 0);
        EXPECT_GE(got, 4);
        if (got < 4) return {};
        return {static_cast<int32_t>(get_le32(reply.data())),
                std::vector<uint8_t>(reply.begin() + 4, reply.begin() + got)};
    }

    std::string dir_;
    std::unique_ptr<video_source> source_;
    unique_fd client_;
};

TEST_F(VideoSourceSocket, AnswersTransfersWithTheQueuedRepliesInOrder) {
    ASSERT_TRUE(source_->wait_connected(deadline));
    const payload_plan plan;
    const spi_reply frame = frame_transfer(plan, 0, 0);
    source_->queue(frame);
    source_->queue(failed_transfer(EPROTO));
    source_->queue(empty_transfer());

    const spi_reply first = transfer(1234567);
    EXPECT_EQ(first.result, 4110);
    EXPECT_EQ(first.data, frame.data);
    const spi_reply second = transfer();
    EXPECT_EQ(second.result, -EPROTO);
    EXPECT_TRUE(second.data.empty());
    EXPECT_EQ(transfer().result, 0);
    EXPECT_TRUE(source_->wait_queue_taken(deadline));
    EXPECT_EQ(source_->transfers_taken(), 3u);

    const transfer_request request = source_->last_request();
    EXPECT_EQ(request.length, 4110u);
    EXPECT_EQ(request.speed_hz, 1000000u);
    EXPECT_EQ(request.bits_per_word, 8u);
    EXPECT_FALSE(request.has_tx);
    EXPECT_TRUE(request.has_rx);
}

TEST_F(VideoSourceSocket, StreamsConsecutiveFramesAfterTheQueue) {
    const payload_plan plan{.seed = 6, .derived_length = true, .fixed_length = 0};
    source_->queue(empty_transfer());
    source_->start_stream(
        {.frames_per_second = 0, .count = 300, .plan = plan, .first_frame = 50, .first_sequence = 250});
    EXPECT_EQ(transfer().result, 0);
    for (uint32_t k = 0; k < 300; ++k) {
        const spi_reply reply = transfer();
        ASSERT_EQ(reply.data, frame_transfer(plan, 50 + k, static_cast<uint8_t>(250 + k)).data)
            << "frame " << k;
    }
    EXPECT_TRUE(source_->wait_stream_done(deadline));
    EXPECT_EQ(source_->frames_streamed(), 300u);
}

// A test stops the stream and compares what the daemon got with frames_streamed(): a frame
// already sent must be counted by the time stop_stream returns.
TEST_F(VideoSourceSocket, AFrameReceivedIsCountedOnceTheStreamIsStopped) {
    const payload_plan plan;
    for (int round = 0; round < 500; ++round) {
        source_->start_stream({.frames_per_second = 0, .plan = plan});
        ASSERT_EQ(transfer().result, static_cast<int32_t>(frame_transfer(plan, 0, 0).data.size()));
        source_->stop_stream();
        ASSERT_EQ(source_->frames_streamed(), 1u) << "round " << round;
    }
}

TEST_F(VideoSourceSocket, ListensInDirectoriesDeeperThanASocketNameHolds) {
    const std::string deep = dir_ + "/" + std::string(60, 'd') + "/" + std::string(60, 'e');
    std::filesystem::create_directories(deep);
    video_source deep_source(deep + "/spi.sock");
    EXPECT_TRUE(std::filesystem::exists(deep + "/spi.sock"));

    const unique_fd directory(open(deep.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    connect_to("/proc/self/fd/" + std::to_string(directory.get()) + "/spi.sock");
    EXPECT_TRUE(deep_source.wait_connected(deadline));
}

}  // namespace
