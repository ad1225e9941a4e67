// Integer, hexadecimal and MAC address values.
#include <gtest/gtest.h>

#include <cstring>

#include "records/vendor_fixture.hpp"
#include "vendor_values.hpp"

namespace {

bytes mac_of(const char* text, int* result) {
    uint8_t mac[mac_addr_octets] = {};
    *result = parse_mac_addr(mac, text);
    return bytes(mac, mac + mac_addr_octets);
}

TEST(IntegerValue, ReadsSignedDecimalUpToTheFirstOtherCharacter) {
    EXPECT_EQ(parse_int_value("12abc"), 12);
    EXPECT_EQ(parse_int_value("abc"), 0);
    EXPECT_EQ(parse_int_value(""), 0);
    EXPECT_EQ(parse_int_value("-1"), -1);
    EXPECT_EQ(parse_int_value("+7"), 7);
    EXPECT_EQ(parse_int_value("\t 42"), 42);
    EXPECT_EQ(parse_int_value("- 4"), 0);
    EXPECT_EQ(parse_int_value("0x10"), 0);
}

TEST(IntegerValue, SaturatesAtThe32BitLimits) {
    EXPECT_EQ(parse_int_value("2147483647"), INT32_MAX);
    EXPECT_EQ(parse_int_value("2147483648"), INT32_MAX);
    EXPECT_EQ(parse_int_value("99999999999999999999999"), INT32_MAX);
    EXPECT_EQ(parse_int_value("-2147483648"), INT32_MIN);
    EXPECT_EQ(parse_int_value("-2147483649"), INT32_MIN);
    EXPECT_EQ(parse_int_value("-99999999999999999999999"), INT32_MIN);
}

TEST(IntegerValue, FieldsKeepTheLowOrderBits) {
    uint8_t field[2] = {0xaa, 0xbb};
    store_int8(field, "300");
    EXPECT_EQ(field[0], 44);
    store_int8(field, "-1");
    EXPECT_EQ(field[0], 255);
    store_int8(field, "256");
    EXPECT_EQ(field[0], 0);
    EXPECT_EQ(field[1], 0xbb);  // an 8-bit field touches one byte
    store_int16(field, "500");
    EXPECT_EQ(bytes(field, field + 2), hex_bytes("f4 01"));
    store_int16(field, "65537");
    EXPECT_EQ(bytes(field, field + 2), hex_bytes("01 00"));
    store_int16(field, "-2");
    EXPECT_EQ(bytes(field, field + 2), hex_bytes("fe ff"));
    store_int16(field, "99999999999");  // saturates at 0x7fffffff first
    EXPECT_EQ(bytes(field, field + 2), hex_bytes("ff ff"));
}

TEST(HexNumber, ReadsWithOptionalSpaceSignAndPrefix) {
    uint32_t value = 0;
    ASSERT_TRUE(read_hex_number("ff", &value));
    EXPECT_EQ(value, 0xffU);
    ASSERT_TRUE(read_hex_number(" 0x1A", &value));
    EXPECT_EQ(value, 0x1aU);
    ASSERT_TRUE(read_hex_number("0Xc", &value));
    EXPECT_EQ(value, 0xcU);
    ASSERT_TRUE(read_hex_number("5g", &value));
    EXPECT_EQ(value, 5U);
    ASSERT_TRUE(read_hex_number("0x", &value));  // the 0 is the number
    EXPECT_EQ(value, 0U);
    ASSERT_TRUE(read_hex_number("-1", &value));
    EXPECT_EQ(value, 0xffffffffU);
    ASSERT_TRUE(read_hex_number("-0", &value));
    EXPECT_EQ(value, 0U);
    ASSERT_TRUE(read_hex_number("123456789", &value));
    EXPECT_EQ(value, 0xffffffffU);
    EXPECT_FALSE(read_hex_number("zz", &value));
    EXPECT_FALSE(read_hex_number("", &value));
    EXPECT_FALSE(read_hex_number("-", &value));
    EXPECT_FALSE(read_hex_number(":1", &value));
}

TEST(MacAddress, ReadsSixOctetsInEitherCase) {
    int result = 1;
    EXPECT_EQ(mac_of("aa:bb:cc:dd:ee:ff", &result), hex_bytes("aa bb cc dd ee ff"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(mac_of("AA:BB:CC:DD:EE:FF", &result), hex_bytes("aa bb cc dd ee ff"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(mac_of("0x02:0X11:22:33:44:55", &result), hex_bytes("02 11 22 33 44 55"));
    EXPECT_EQ(result, 0);
}

TEST(MacAddress, IgnoresWhatFollowsTheDigitsAndASeventhOctet) {
    int result = 1;
    EXPECT_EQ(mac_of("aa:bb:cc:dd:ee:ff:01", &result), hex_bytes("aa bb cc dd ee ff"));
    EXPECT_EQ(result, 0);
    EXPECT_EQ(mac_of("02:11:22:33:44:5g", &result), hex_bytes("02 11 22 33 44 05"));
    EXPECT_EQ(result, 0);
}

TEST(MacAddress, RefusesShortMalformedAndOutOfRangeAddresses) {
    int result = 0;
    mac_of("aa:bb:cc:dd:ee", &result);
    EXPECT_EQ(result, -1);
    mac_of("aa:bb:cc:dd:ee:100", &result);
    EXPECT_EQ(result, -1);
    mac_of("aa-bb-cc-dd-ee-ff", &result);
    EXPECT_EQ(result, -1);
    mac_of("aa:bb:cc:dd:ee:", &result);
    EXPECT_EQ(result, -1);
    mac_of("aa::cc:dd:ee:ff", &result);
    EXPECT_EQ(result, -1);
    mac_of("aa:bb:cc:dd:ee:-1", &result);
    EXPECT_EQ(result, -1);
    mac_of("", &result);
    EXPECT_EQ(result, -1);
}

}  // namespace
