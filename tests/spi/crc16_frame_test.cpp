#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "frame_format.hpp"

namespace {

uint16_t crc16_bitwise(uint16_t crc, const uint8_t* data, size_t length) {
    while (length-- > 0) {
        crc ^= *data++;
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc;
}

TEST(Crc16Frame, CheckValueOfTheNineDigits) {
    const char digits[] = "123456789";
    EXPECT_EQ(crc16_frame(0xFFFF, reinterpret_cast<const uint8_t*>(digits), 9), 0x6F91);
}

TEST(Crc16Frame, MatchesTheBitwiseFormForEveryLengthAndAlignment) {
    std::mt19937 random(7);
    std::vector<uint8_t> data(4200);
    for (uint8_t& b : data) b = static_cast<uint8_t>(random());
    for (size_t offset = 0; offset < 17; ++offset) {
        for (size_t length : {0u, 1u, 2u, 15u, 16u, 17u, 31u, 33u, 4108u}) {
            ASSERT_EQ(crc16_frame(0xFFFF, data.data() + offset, length),
                      crc16_bitwise(0xFFFF, data.data() + offset, length))
                << "offset " << offset << " length " << length;
        }
    }
}

TEST(Crc16Frame, ContinuesFromAGivenRegister) {
    const uint8_t data[40] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20};
    uint16_t whole = crc16_frame(0xFFFF, data, sizeof data);
    uint16_t split = crc16_frame(crc16_frame(0xFFFF, data, 19), data + 19, sizeof data - 19);
    EXPECT_EQ(whole, split);
}

}  // namespace
