// The frame every vendor keyword shares: banner, original parameters, tokens, result lines.
#include <gtest/gtest.h>

#include <string>

#include "records/vendor_fixture.hpp"

namespace {

using HandlerFrameTest = VendorHandlerTest;

TEST_F(HandlerFrameTest, AbsentEmptyAndBlankParametersSendTheAllZeroRecord) {
    for (const keyword_case& k : all_keywords) {
        for (const char* params : {static_cast<const char*>(nullptr), "", "   "}) {
            SCOPED_TRACE(std::string(k.keyword) + " [" + (params != nullptr ? params : "none") + "]");
            size_t before = transport.sent().size();
            ASSERT_EQ(run(k.table, params), 0);
            EXPECT_EQ(out, opening_lines(k.keyword, params) +
                               sending_lines(k.keyword, bytes(k.size, 0)) + completion_line(k.keyword));
            EXPECT_EQ(err, "");
            ASSERT_EQ(transport.sent().size(), before + 1);
            EXPECT_EQ(transport.sent().back().subcmd, k.subcmd);
            EXPECT_EQ(transport.sent().back().bytes, bytes(k.size, 0));
        }
    }
}

TEST_F(HandlerFrameTest, ExactLinesOfASuccessfulSend) {
    ASSERT_EQ(run(vendor_pasn_start, "role 1"), 0);
    EXPECT_EQ(out,
              "\n=== Executing pasn_start custom logic ===\n"
              "Original parameters: role 1\n"
              "Sending pasn_start data (struct size: 10 bytes)\n"
              "\n"
              "01 00 00 00 00 00 00 00 00 00 \n"
              "=== pasn_start custom logic execution completed successfully ===\n");
}

TEST_F(HandlerFrameTest, FailedSendPrintsTheKeywordsFailureLine) {
    transport.set_result(-1);
    for (const keyword_case& k : all_keywords) {
        SCOPED_TRACE(k.keyword);
        ASSERT_EQ(run(k.table, nullptr), -1);
        EXPECT_EQ(err, std::string("Error: Failed to send ") + k.keyword +
                           " data via vendor command!\n");
        EXPECT_EQ(out, opening_lines(k.keyword, nullptr) +
                           sending_lines(k.keyword, bytes(k.size, 0)));
    }
}

TEST_F(HandlerFrameTest, KeyWithoutValueCreatesNoFileAndRunsNothing) {
    // Through the real transport: a parse failure must not even reach the file.
    EXPECT_EQ(run(vendor_data_end, "ndp_id", driver), -1);
    EXPECT_EQ(err, "Error: ndp_id requires an integer value!\n");
    EXPECT_TRUE(seams.runner.commands().empty());
}

TEST_F(HandlerFrameTest, TokenThatIsNotAKeyVoidsTheKeysBeforeIt) {
    expect_refused(vendor_data_end, "data_end", "ndp_id 3 bogus 1", -1,
                   "Error: date_end - invalid parameter: bogus!\n");
    expect_refused(vendor_pasn_start, "pasn_start", "role 1 Role 2", -1,
                   "Error: pasn_start - invalid parameter: Role!\n");
}

TEST_F(HandlerFrameTest, BlanksAloneSeparateTokens) {
    expect_sent(vendor_data_end, "data_end", "   ndp_id    3   nmsg_id 7  ",
                hex_bytes("03 00 00 00 00 00 00 00 00 00 07"));
    // A tab belongs to its token.
    expect_refused(vendor_data_end, "data_end", "ndp_id\t3", -1,
                   "Error: date_end - invalid parameter: ndp_id\t3!\n");
}

TEST_F(HandlerFrameTest, RepeatedKeyOverwrites) {
    expect_sent(vendor_data_end, "data_end", "ndp_id 3 ndp_id 9",
                hex_bytes("09 00 00 00 00 00 00 00 00 00 00"));
}

TEST_F(HandlerFrameTest, IntegerValuesConvertWithoutMessages) {
    expect_sent(vendor_pasn_start, "pasn_start", "role 12abc type ucast auth_method 256 nik_caching -1",
                hex_bytes("0c 00 00 00 00 00 00 00 00 ff"));
}

TEST_F(HandlerFrameTest, ParametersAreCutAfter1023Characters) {
    // "nmsg_id 12" with its "2" as character 1024: the value read is 1.
    std::string head = "ndp_id 3";
    std::string tail = "nmsg_id 12";
    std::string params = head + std::string(1023 - head.size() - tail.size() + 1, ' ') + tail;
    ASSERT_EQ(params.size(), 1024U);
    ASSERT_EQ(run(vendor_data_end, params.c_str()), 0);
    EXPECT_EQ(sent_record_bytes(), hex_bytes("03 00 00 00 00 00 00 00 00 00 01"));
    EXPECT_EQ(out.substr(0, opening_lines("data_end", params.c_str()).size()),
              opening_lines("data_end", params.c_str()));
}

TEST_F(HandlerFrameTest, KeyCutToAPrefixIsNotAKey) {
    std::string params = std::string(1020, ' ') + "ndp_id 4";
    expect_refused(vendor_data_end, "data_end", params.c_str(), -1,
                   "Error: date_end - invalid parameter: ndp!\n");
}

}  // namespace
