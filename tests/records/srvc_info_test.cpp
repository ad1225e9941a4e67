// The generic service info builder, the text-info conversion and the byte lists.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "srvc_info.hpp"
#include "records/vendor_fixture.hpp"

namespace {

constexpr uint8_t untouched = 0xee;

class ServiceInfoTest : public testing::Test {
protected:
    void SetUp() override {
        clear_srvc_info(input);
        memset(area, untouched, sizeof area);
    }

    size_t build() {
        testing::internal::CaptureStdout();
        size_t length = build_gen_srvc_info(input, area);
        out = testing::internal::GetCapturedStdout();
        return length;
    }
    bytes built(size_t length) const { return bytes(area, area + length); }

    srvc_info_params input;
    uint8_t area[srvc_info_area_size + 1];  // one guard byte after the area
    std::string out;
};

TEST_F(ServiceInfoTest, PortOnly) {
    input.port = 80;
    ASSERT_EQ(build(), 9U);
    EXPECT_EQ(built(9), hex_bytes("50 6f 9a 02 00 02 00 50 00"));
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_TRANSPORT_PORT[0]\n"
              "port_number:80\n"
              "len = 5\n00 02 00 50 00 \n"
              "generic service info (len=9)\n50 6f 9a 02 00 02 00 50 00 \n");
}

TEST_F(ServiceInfoTest, InterfaceIdOnlyGivesTheHeaderAlone) {
    strcpy(input.interface_id, "if0");
    ASSERT_TRUE(srvc_info_present(input));
    ASSERT_EQ(build(), 4U);
    EXPECT_EQ(built(4), hex_bytes("50 6f 9a 02"));
    EXPECT_EQ(area[4], untouched);
    EXPECT_EQ(out, "generic service info (len=4)\n50 6f 9a 02 \n");
}

TEST_F(ServiceInfoTest, NameAndInstance) {
    strcpy(input.service_name, "abc");
    strcpy(input.service_instance, "x");
    ASSERT_EQ(build(), 14U);
    EXPECT_EQ(built(14), hex_bytes("50 6f 9a 02 02 03 00 61 62 63 03 01 00 78"));
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_SERVICE_NAME[2]\n"
              "service_name:abc\n"
              "len = 6\n02 03 00 61 62 63 \n"
              "append_gen_sub_attr NAN_GEN_SRVC_NAME_OF_SRVC_INST[3]\n"
              "service inst:x\n"
              "len = 4\n03 01 00 78 \n"
              "generic service info (len=14)\n50 6f 9a 02 02 03 00 61 62 63 03 01 00 78 \n");
}

TEST_F(ServiceInfoTest, DumpsBreakBeforeEverySixteenthByte) {
    strcpy(input.service_name, "abcdefghijklmnopq");  // a 20-byte sub-attribute
    ASSERT_EQ(build(), 24U);
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_SERVICE_NAME[2]\n"
              "service_name:abcdefghijklmnopq\n"
              "len = 20\n02 11 00 61 62 63 64 65 66 67 68 69 6a 6b 6c 6d \n6e 6f 70 71 \n"
              "generic service info (len=24)\n"
              "50 6f 9a 02 02 11 00 61 62 63 64 65 66 67 68 69 \n"
              "6a 6b 6c 6d 6e 6f 70 71 \n");
}

TEST_F(ServiceInfoTest, SubAttributesComeInTheirFixedOrder) {
    strcpy(input.hostname, "h");
    input.port = 0x1234;
    strcpy(input.text_info, "1|t");
    strcpy(input.service_instance, "i");
    strcpy(input.service_name, "n");
    ASSERT_EQ(build(), 4U + 4 + 4 + 5 + 4 + 5);
    EXPECT_EQ(built(26), hex_bytes("50 6f 9a 02  02 01 00 6e  03 01 00 69  04 02 00 01 74 "
                                   " 03 01 00 68  00 02 00 34 12"));
    EXPECT_NE(out.find("hostname:h\n"), std::string::npos);
    EXPECT_NE(out.find("text info:1|t\n"), std::string::npos);
}

TEST_F(ServiceInfoTest, HostnameAndPortForADataPath) {
    strcpy(input.hostname, "h");
    ASSERT_EQ(build(), 8U);
    EXPECT_EQ(built(8), hex_bytes("50 6f 9a 02 03 01 00 68"));
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_NAME_OF_SRVC_INST[3]\n"
              "hostname:h\n"
              "len = 4\n03 01 00 68 \n"
              "generic service info (len=8)\n50 6f 9a 02 03 01 00 68 \n");
}

TEST_F(ServiceInfoTest, OverTheLimitWritesNothing) {
    memset(input.service_name, 'a', 250);
    memset(input.service_instance, 'b', 10);
    ASSERT_EQ(build(), 0U);
    for (uint8_t byte : area) EXPECT_EQ(byte, untouched);
    const std::string tail = "service info length(270) is out of limit\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(out.find("generic service info"), std::string::npos);
}

TEST_F(ServiceInfoTest, ExactlyTheLimitFits) {
    memset(input.service_name, 'a', srvc_info_area_size - 4 - 3);  // 4 + 251 = 255
    ASSERT_EQ(build(), 255U);
    EXPECT_EQ(area[255], untouched);
    EXPECT_EQ(built(7), hex_bytes("50 6f 9a 02 02 f8 00"));
}

TEST_F(ServiceInfoTest, LargestInputsStayInsideTheScratchArea) {
    memset(input.service_name, 'a', srv_name_max);
    memset(input.service_instance, 'b', srv_inst_max);
    memset(input.hostname, 'c', hostname_max);
    memset(input.text_info, 'd', srv_text_max);
    input.text_info[0] = '1';
    input.text_info[1] = '|';
    input.port = 1;
    ASSERT_EQ(build(), 0U);
    for (size_t i = 0; i < sizeof area; ++i) EXPECT_EQ(area[i], untouched);
}

TEST_F(ServiceInfoTest, InstanceOf64CharactersStaysWholeBesideTextInfo) {
    std::string instance(64, 'i');
    strcpy(input.service_instance, instance.c_str());
    strcpy(input.text_info, "2|ab");
    ASSERT_EQ(build(), 4U + 67 + 6);
    EXPECT_EQ(built(7), hex_bytes("50 6f 9a 02 03 40 00"));
    EXPECT_EQ(bytes(area + 7, area + 71), chars(instance));
    EXPECT_EQ(area[76], 'b');
}

TEST_F(ServiceInfoTest, TextInfoOfSeparatorsOnlyIsSkipped) {
    strcpy(input.text_info, "|||");
    ASSERT_EQ(build(), 4U);
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_TEXT_INFO[4]\n"
              "text info:|||\n"
              "attr_len = 0, skip\n"
              "len = 0\n"
              "generic service info (len=4)\n50 6f 9a 02 \n");
}

TEST_F(ServiceInfoTest, LengthPrefixedTextInfo) {
    strcpy(input.text_info, "0x05|hello|3|abc");
    ASSERT_EQ(build(), 17U);
    EXPECT_EQ(built(17), hex_bytes("50 6f 9a 02 04 0a 00 05 68 65 6c 6c 6f 03 61 62 63"));
    EXPECT_EQ(out,
              "append_gen_sub_attr NAN_GEN_SRVC_TEXT_INFO[4]\n"
              "text info:0x05|hello|3|abc\n"
              "len = 13\n04 0a 00 05 68 65 6c 6c 6f 03 61 62 63 \n"
              "generic service info (len=17)\n50 6f 9a 02 04 0a 00 05 68 65 6c 6c 6f 03 61 62 \n63 \n");
}

// ---- text-info conversion ----

struct converted {
    bytes value;
    std::string out;
};

converted convert(std::string text) {
    uint8_t buffer[text_info_out_size + 1];
    memset(buffer, untouched, sizeof buffer);
    testing::internal::CaptureStdout();
    size_t length = convert_text_info(text.data(), buffer);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(buffer[text_info_out_size], untouched);
    return {bytes(buffer, buffer + length), out};
}

TEST(TextInfo, ByteItemsAreHexAfter0xOrElseDecimalLow8Bits) {
    EXPECT_EQ(convert("0xff|a|0x1ff|b|300|c|abc|d|0xzz|e|-1").value,
              hex_bytes("ff 61 ff 62 2c 63 00 64 00 65 ff"));
    EXPECT_EQ(convert("0XA").value, hex_bytes("00"));  // only a lower-case x makes it hex
    EXPECT_EQ(convert("7").value, hex_bytes("07"));
}

TEST(TextInfo, RunsOfSeparatorsCountAsOne) {
    EXPECT_EQ(convert("||2||ab|||").value, hex_bytes("02 61 62"));
    EXPECT_EQ(convert("").value, bytes());
    EXPECT_EQ(convert("|").out, "");
}

TEST(TextInfo, TextTooLongForTheRestKeepsWhatWasStored) {
    std::string text = "1|" + std::string(200, 'a') + "|2|" + std::string(60, 'b');
    converted result = convert(text);
    EXPECT_EQ(result.value.size(), 202U);
    EXPECT_EQ(result.value.back(), 2);
    EXPECT_EQ(result.out, "cvert text info err! str is too long, len(262) > out_buf_len(256)\n");
}

TEST(TextInfo, FullBufferBeforeTheNextByteStops) {
    std::string text = "1|" + std::string(255, 'a') + "|9|zz";
    converted result = convert(text);
    EXPECT_EQ(result.value.size(), 256U);
    EXPECT_EQ(result.out, "cvert text info err! str is too long, len(257) > out_buf_len(256)\n");
    // A full buffer with nothing after it is fine.
    converted exact = convert("1|" + std::string(255, 'a'));
    EXPECT_EQ(exact.value.size(), 256U);
    EXPECT_EQ(exact.out, "");
}

// ---- byte lists ----

struct hex_list_result {
    int result;
    bytes stored;
    std::string out;
};

hex_list_result hex_list(const char* text, size_t count) {
    uint8_t dest[8];
    memset(dest, untouched, sizeof dest);
    testing::internal::CaptureStdout();
    int result = parse_hex_list(text, dest, count);
    std::string out = testing::internal::GetCapturedStdout();
    size_t stored = 0;
    while (stored < sizeof dest && dest[stored] != untouched) ++stored;
    return {result, bytes(dest, dest + stored), out};
}

TEST(HexList, ExactlyCountValues) {
    hex_list_result r = hex_list("1,2,3", 3);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.stored, hex_bytes("01 02 03"));
    EXPECT_EQ(r.out, "0: pattern[0] = 1\n1: pattern[1] = 2\n2: pattern[2] = 3\n");
}

TEST(HexList, MalformedElementIsSkippedAndFails) {
    hex_list_result r = hex_list("1,zz,3", 3);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.stored, hex_bytes("01 03"));
    EXPECT_EQ(r.out, "0: pattern[0] = 1\n2: pattern[1] = 3\n");
}

TEST(HexList, TooFewElementsFail) {
    hex_list_result r = hex_list("1,2,3", 6);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.stored, hex_bytes("01 02 03"));
}

TEST(HexList, ValueAboveAByteIsPrintedAndSkipped) {
    hex_list_result r = hex_list("1ff", 1);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.stored, bytes());
    EXPECT_EQ(r.out, "0: pattern[0] = 1ff\n");
    EXPECT_EQ(hex_list("-1,2", 2).out, "0: pattern[0] = ffffffff\n1: pattern[0] = 2\n");
}

TEST(HexList, CountZeroStoresNothing) {
    hex_list_result r = hex_list("1,2", 0);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.stored, bytes());
    EXPECT_EQ(r.out, "");
}

TEST(HexList, ExtraElementsBeyondCountAreNotRead) {
    hex_list_result r = hex_list("0a,0x0b,0c,0d", 2);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.stored, hex_bytes("0a 0b"));
}

TEST(HexList, SrvInfoElementCount) {
    EXPECT_EQ(srv_info_element_count("0a"), 0U);
    EXPECT_EQ(srv_info_element_count("0a,0b"), 2U);
    EXPECT_EQ(srv_info_element_count(","), 2U);
    EXPECT_EQ(srv_info_element_count(""), 0U);
}

}  // namespace
