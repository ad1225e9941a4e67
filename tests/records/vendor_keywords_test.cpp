// The vendor keywords through a keyword table built with them.
#include <gtest/gtest.h>

#include <string>

#include "exec/scripted_keyword.hpp"
#include "keyword.hpp"
#include "records/vendor_fixture.hpp"

namespace {

room_keyword_handlers rooms_with(vendor_keywords& vendor, keyword_handler& config_write) {
    return {vendor.srvc_ext, vendor.data_req,   vendor.data_rsp,  vendor.data_end,
            vendor.followup, vendor.pasn_start, config_write};
}

class VendorKeywordsTest : public VendorHandlerTest {
protected:
    int dispatch(const char* keyword, const char* params) { return dispatch(table, keyword, params); }
    int dispatch(keyword_dispatch_table& through, const char* keyword, const char* params) {
        return run_dispatch([&] { return through.execute(keyword, params); });
    }
    template <typename F>
    int run_dispatch(F call) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = call();
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    nan_interface_state nan;
    scripted_keyword config_write;
    vendor_keywords vendor{transport};
    keyword_dispatch_table table{nan, rooms_with(vendor, config_write), seams.runner, seams.pauser};
};

TEST_F(VendorKeywordsTest, EveryVendorKeywordReachesItsHandler) {
    for (const keyword_case& row : all_keywords) {
        SCOPED_TRACE(row.keyword);
        ASSERT_EQ(dispatch(row.keyword, ""), 0) << err;
        EXPECT_EQ(transport.sent().back().subcmd, row.subcmd);
        EXPECT_EQ(transport.sent().back().bytes, bytes(row.size, 0));
        // The handlers add no command, so the dispatcher has nothing to run.
        EXPECT_EQ(out, opening_lines(row.keyword, "") + sending_lines(row.keyword, bytes(row.size, 0)) +
                           completion_line(row.keyword) + "No commands to execute!\n");
    }
    EXPECT_TRUE(seams.runner.commands().empty());
}

TEST_F(VendorKeywordsTest, DecisionThreadsAnswerThroughTheDispatcher) {
    ASSERT_EQ(dispatch("data_rsp", "rsp_mode peer ndl_rsp accept data_path_id 300"), 0);
    EXPECT_EQ(sent_record_bytes(), record_with(284, {{0, hex_bytes("00 02 2c")}}));
}

TEST_F(VendorKeywordsTest, HandlerResultsComeBackUnchanged) {
    EXPECT_EQ(dispatch("data_end", "initiatorndi 1:2"), 2);
    EXPECT_EQ(dispatch("data_end", "ndp_id"), -1);
    transport.set_result(-1);
    EXPECT_EQ(dispatch("pasn_start", ""), -1);
    EXPECT_EQ(err, "Error: Failed to send pasn_start data via vendor command!\n");
}

TEST_F(VendorKeywordsTest, BringUpSendsThroughTheDriverTransport) {
    vendor_keywords through_driver{driver};
    keyword_dispatch_table daemon_table(nan, rooms_with(through_driver, config_write), seams.runner,
                                        seams.pauser);
    ASSERT_EQ(dispatch(daemon_table, "srvc_ext", "data_path"), 0) << err;
    std::vector<std::string> commands = seams.runner.status_commands();
    ASSERT_EQ(commands.size(), 1U);
    const std::string head = "iw nan0 vendor send 0xe04c 0x1900 /tmp/nan_vendor_data_";
    EXPECT_EQ(commands[0].substr(0, head.size()), head);
    EXPECT_NE(out.find(thread_tag() + " Executing iw command (retry 1): " + commands[0] + "\n" +
                       thread_tag() + " Success: Sent 402 bytes (vendor_id: 0xe04c, subcmd: 0x1900)\n"),
              std::string::npos);
    EXPECT_TRUE(transport.sent().empty());
}

}  // namespace
