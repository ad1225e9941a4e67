// srvc_ext: the 402-byte service extension record.
#include <gtest/gtest.h>

#include <string>

#include "records/vendor_fixture.hpp"

namespace {

class SrvcExtTest : public VendorHandlerTest {
protected:
    void expect_record(const std::string& params, std::initializer_list<std::pair<size_t, bytes>> pieces) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_srvc_ext, params.c_str()), 0) << err;
        EXPECT_EQ(err, "");
        EXPECT_EQ(sent_subcmd(), 0x1900);
        EXPECT_EQ(transport.sent().back().bytes, record_with(402, pieces));
    }
    void expect_refused_with(const std::string& params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_srvc_ext, "srvc_ext", params.c_str(), result, message);
    }
};

TEST_F(SrvcExtTest, DataPathAlone) {
    expect_sent(vendor_srvc_ext, "srvc_ext", "data_path", record_with(402, {{7, {1}}}));
}

TEST_F(SrvcExtTest, BringUpWithPassphrase) {
    expect_record("data_path sec_password secret12",
                  {{7, {1}}, {10, {1}}, {11, chars("secret12")}, {76, {8}}});
}

TEST_F(SrvcExtTest, BringUpWithPmkKeepsItsText) {
    std::string pmk = "0123456789abcdef0123456789ABCDEF";
    expect_record("data_path sec_pmk " + pmk, {{7, {1}}, {10, {1}}, {77, chars(pmk)}});
}

TEST_F(SrvcExtTest, PmkAndPassphraseTogether) {
    std::string pmk(32, 'k');
    expect_record("sec_pmk " + pmk + " sec_password pw",
                  {{10, {1}}, {11, chars("pw")}, {76, {2}}, {77, chars(pmk)}});
}

TEST_F(SrvcExtTest, PmkOfAnyOtherLengthIsRefused) {
    const std::string message = "Error: sec_pmk requires 32-character string!\n";
    expect_refused_with("sec_pmk " + std::string(31, 'k'), -1, message);
    expect_refused_with("sec_pmk " + std::string(33, 'k'), -1, message);
    expect_refused_with("data_path sec_pmk", -1, message);
}

TEST_F(SrvcExtTest, PassphraseUpTo64Characters) {
    std::string longest(64, 'p');
    expect_record("sec_password " + longest, {{10, {1}}, {11, chars(longest)}, {76, {64}}});
    const std::string message = "Error: sec_password invalid (len > 64)!\n";
    expect_refused_with("sec_password " + std::string(65, 'p'), -1, message);
    expect_refused_with("sec_password", -1, message);
}

TEST_F(SrvcExtTest, ShorterPassphraseLaterLeavesZerosAfterItsEnd) {
    expect_record("sec_password longpassword sec_password ab",
                  {{10, {1}}, {11, chars("ab")}, {76, {2}}});
}

TEST_F(SrvcExtTest, IntegerAndFlagFields) {
    expect_record("period 300 event 7 proximity awake_dw_int 2 further_srvc_disc qos gtk csid 513 npk_nik",
                  {{1, {44, 7, 1, 2, 1}}, {9, {1}}, {125, {1}}, {396, {0x01, 0x02}}, {399, {1}}});
}

TEST_F(SrvcExtTest, FurtherDiscoveryFunction) {
    expect_record("further_srvc_disc_func gas", {{6, {1}}});
    expect_record("further_srvc_disc_func gas further_srvc_disc_func followup", {});
    expect_refused_with("further_srvc_disc_func GAS", -1,
                        "Error: Invalid further_srvc_disc_func value: GAS\n");
    expect_refused_with("further_srvc_disc_func", -1,
                        "Error: further_srvc_disc_func requires followup/gas!\n");
}

TEST_F(SrvcExtTest, DataPathTypeAcceptsOnlyNdp) {
    expect_record("data_path_type ndp", {});
    expect_refused_with("data_path_type nan", -1, "Error: data_path_type requires ndp!\n");
    expect_refused_with("data_path_type", -1, "Error: data_path_type requires ndp!\n");
}

TEST_F(SrvcExtTest, ServiceIdOfSixBytes) {
    expect_record("srv_id 1,2,3,4,5,6", {{132, hex_bytes("01 02 03 04 05 06")}});
}

TEST_F(SrvcExtTest, ServiceIdOfOtherThanSixBytesIsRejected) {
    EXPECT_EQ(run(vendor_srvc_ext, "srv_id 1,2,3"), 2);
    EXPECT_EQ(err, "Error: Invalid srv_id: 1,2,3\n");
    EXPECT_EQ(out, opening_lines("srvc_ext", "srv_id 1,2,3") +
                       "0: pattern[0] = 1\n1: pattern[1] = 2\n2: pattern[2] = 3\n");
    EXPECT_TRUE(nothing_sent());
    expect_refused_with("srv_id", -1, "Error: srv_id requires hex string!\n");
}

TEST_F(SrvcExtTest, BootstrappingMethodMarksBootstrappingAndNpkNik) {
    expect_record("bstrap_method 2", {{398, {1, 1, 2, 0}}});
    expect_refused_with("bstrap_method", -1, "Error: bstrap_method requires integer value!\n");
}

TEST_F(SrvcExtTest, IntegerKeysWithoutValue) {
    expect_refused_with("period", -1, "Error: period requires an integer value!\n");
    expect_refused_with("event", -1, "Error: event requires an integer value!\n");
    expect_refused_with("awake_dw_int", -1, "Error: awake_dw_int requires an integer value!\n");
    expect_refused_with("csid", -1, "Error: csid requires integer value!\n");
}

TEST_F(SrvcExtTest, UnknownToken) {
    expect_refused_with("data_path bogus", -1, "Error: srvc ext info - invalid parameter: bogus!\n");
}

TEST_F(SrvcExtTest, ServiceNameBuildsTheServiceInfo) {
    const char* params = "srv_name abc";
    ASSERT_EQ(run(vendor_srvc_ext, params), 0);
    bytes record = record_with(402, {{138, hex_bytes("50 6f 9a 02 02 03 00 61 62 63")}, {394, {0x0a, 0}}});
    EXPECT_EQ(sent_record_bytes(), record);
    EXPECT_EQ(out, opening_lines("srvc_ext", params) +
                       "append_gen_sub_attr NAN_GEN_SRVC_SERVICE_NAME[2]\n"
                       "service_name:abc\n"
                       "len = 6\n02 03 00 61 62 63 \n"
                       "generic service info (len=10)\n50 6f 9a 02 02 03 00 61 62 63 \n"
                       "Constructed service info length: 10\n" +
                       sending_lines("srvc_ext", record) + completion_line("srvc_ext"));
    EXPECT_EQ(err, "");
}

TEST_F(SrvcExtTest, NameInstanceAndTextInOrder) {
    expect_record("srv_text 2|hi srv_inst x srv_name n",
                  {{138, hex_bytes("50 6f 9a 02 02 01 00 6e 03 01 00 78 04 03 00 02 68 69")},
                   {394, {18, 0}}});
}

TEST_F(SrvcExtTest, ServiceInfoOverTheLimitGoesOutWithLengthZero) {
    std::string params = "srv_name " + std::string(250, 'n') + " srv_inst " + std::string(10, 'i');
    expect_record(params, {});
    EXPECT_NE(out.find("service info length(270) is out of limit\n"
                       "Constructed service info length: 0\n"),
              std::string::npos);
}

TEST_F(SrvcExtTest, TextKeysAreRejectedWithTheirLength) {
    expect_refused_with("srv_name " + std::string(257, 'n'), 2,
                        "Error: Invalid srv_name (len: 257 > 256)\n");
    expect_refused_with("srv_inst " + std::string(65, 'i'), 2,
                        "Error: Invalid srv_inst (len: 65 > 64)\n");
    expect_refused_with("srv_text " + std::string(257, 't'), 2,
                        "Error: Invalid srv_text (len: 257 > 256)\n");
}

TEST_F(SrvcExtTest, TextKeysWithoutValueAreRejectedWithLengthZero) {
    expect_refused_with("srv_name", 2, "Error: Invalid srv_name (len: 0 > 256)\n");
    expect_refused_with("srv_inst", 2, "Error: Invalid srv_inst (len: 0 > 64)\n");
    expect_refused_with("srv_text", 2, "Error: Invalid srv_text (len: 0 > 256)\n");
}

TEST_F(SrvcExtTest, LongestTextValuesAreAccepted) {
    ASSERT_EQ(run(vendor_srvc_ext, ("srv_inst " + std::string(64, 'i')).c_str()), 0);
    bytes record = sent_record_bytes();
    EXPECT_EQ(bytes(record.begin() + 138, record.begin() + 145), hex_bytes("50 6f 9a 02 03 40 00"));
    EXPECT_EQ(bytes(record.begin() + 394, record.begin() + 396), hex_bytes("47 00"));
}

}  // namespace
