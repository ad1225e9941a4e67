// data_req: the 410-byte data-path request record.
#include <gtest/gtest.h>

#include <string>

#include "records/vendor_fixture.hpp"

namespace {

class DataReqTest : public VendorHandlerTest {
protected:
    void expect_record(const std::string& params, std::initializer_list<std::pair<size_t, bytes>> pieces) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_data_req, params.c_str()), 0) << err;
        EXPECT_EQ(sent_subcmd(), 0x1901);
        EXPECT_EQ(transport.sent().back().bytes, record_with(410, pieces));
    }
    void expect_refused_with(const std::string& params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_data_req, "data_req", params.c_str(), result, message);
    }
    static std::string list_of(size_t count) {
        std::string list = "1";
        for (size_t i = 1; i < count; ++i) list += ",1";
        return list;
    }
};

TEST_F(DataReqTest, PeerAndPublishId) {
    expect_sent(vendor_data_req, "data_req", "req_type ndp rsp_nan_mac 02:11:22:33:44:55 publish_id 3",
                record_with(410, {{1, hex_bytes("02 11 22 33 44 55")}, {9, {3}}}));
}

TEST_F(DataReqTest, AddressingAndTiming) {
    expect_record("sec type ucast mcast_addr 01:00:5e:00:00:01 min_duration 9 max_latency 500 "
                  "mrole_sched_ratio 300",
                  {{7, {1}}, {10, hex_bytes("01 00 5e 00 00 01")}, {16, {9}}, {18, hex_bytes("f4 01")},
                   {22, {44}}});
}

TEST_F(DataReqTest, PairingSetsOnlyTheSecurityType) {
    expect_record("sec_pmk pairing", {{280, {3}}});
}

TEST_F(DataReqTest, PmkOf32Characters) {
    std::string pmk(32, 'k');
    expect_record("sec_pmk " + pmk, {{280, {1}}, {281, chars(pmk)}, {408, {32}}});
    // 32 characters are a PMK whatever they are, even "pairing" padded out.
    std::string odd = "pairing" + std::string(25, 'x');
    expect_record("sec_pmk " + odd, {{280, {1}}, {281, chars(odd)}, {408, {32}}});
}

TEST_F(DataReqTest, PmkOfOtherLengths) {
    std::string short_pmk(31, 'k');
    expect_refused_with("sec_pmk " + short_pmk, -1,
                        "Error: the length of sec_pmk is not 32 (value: " + short_pmk + ")!\n");
    expect_refused_with("sec_pmk Pairing", -1,
                        "Error: the length of sec_pmk is not 32 (value: Pairing)!\n");
    expect_refused_with("sec_pmk", -1, "Error: sec_pmk requires 32-char string or 'pairing'!\n");
}

TEST_F(DataReqTest, PassphraseUpTo64Characters) {
    std::string longest(64, 'p');
    expect_record("sec_password " + longest, {{280, {2}}, {281, chars(longest)}, {408, {64}}});
    expect_refused_with("sec_password " + std::string(65, 'p'), -1,
                        "Error: sec_password too long (len: 65 > 64)!\n");
    expect_refused_with("sec_password", -1, "Error: sec_password requires passphrase!\n");
}

TEST_F(DataReqTest, LaterShorterKeyLeavesTheEarlierTail) {
    std::string pmk = "abcdefghijklmnopqrstuvwxyz012345";
    expect_record("sec_pmk " + pmk + " sec_password xy",
                  {{280, {2}}, {281, chars("xycdefghijklmnopqrstuvwxyz012345")}, {408, {2}}});
    expect_record("sec_password xy sec_pmk pairing", {{280, {3}}, {281, chars("xy")}, {408, {2}}});
}

TEST_F(DataReqTest, WordValues) {
    expect_refused_with("type mcast", -1, "Error: type requires ucast!\n");
    expect_refused_with("type", -1, "Error: type requires ucast!\n");
    expect_refused_with("req_type NDP", -1, "Error: Invalid req_type value: NDP\n");
    expect_refused_with("req_type", -1, "Error: req_type requires ndp value!\n");
}

TEST_F(DataReqTest, MacAddresses) {
    expect_refused_with("rsp_nan_mac 02:11:22:33:44", 2,
                        "Error: Invalid rsp_nan_mac: 02:11:22:33:44\n");
    expect_refused_with("rsp_nan_mac", -1, "Error: rsp_nan_mac requires MAC address!\n");
    expect_refused_with("mcast_addr 1:2:3:4:5:100", 2, "Error: Invalid mcast_addr: 1:2:3:4:5:100\n");
    expect_refused_with("mcast_addr", -1, "Error: mcast_addr requires MAC address!\n");
}

TEST_F(DataReqTest, IntegerKeysWithoutValue) {
    expect_refused_with("publish_id", -1, "Error: publish_id requires an integer value!\n");
    expect_refused_with("min_duration", -1, "Error: min_duration requires an integer value!\n");
    expect_refused_with("max_latency", -1, "Error: max_latency requires an integer value!\n");
    expect_refused_with("mrole_sched_ratio", -1,
                        "Error: mrole_sched_ratio requires an integer value!\n");
    expect_refused_with("port_num", -1, "Error: port_num requires an integer value!\n");
}

TEST_F(DataReqTest, UnknownToken) {
    expect_refused_with("sec SEC", -1, "Error: data_req - invalid parameter: SEC!\n");
}

TEST_F(DataReqTest, SrvInfoList) {
    const char* params = "srv_info 01,02,03";
    ASSERT_EQ(run(vendor_data_req, params), 0);
    bytes record = record_with(410, {{23, hex_bytes("01 02 03")}, {278, {3, 0}}});
    EXPECT_EQ(sent_record_bytes(), record);
    EXPECT_EQ(out, opening_lines("data_req", params) +
                       "Info: srv_info element count = 3\n"
                       "0: pattern[0] = 1\n1: pattern[1] = 2\n2: pattern[2] = 3\n" +
                       sending_lines("data_req", record) + completion_line("data_req"));
    EXPECT_EQ(err, "");
}

TEST_F(DataReqTest, RejectedSrvInfoIsReportedAndTheRequestStillGoesOut) {
    ASSERT_EQ(run(vendor_data_req, "srv_info 01,zz publish_id 4"), 0);
    EXPECT_EQ(err, "Error: Invalid srv_info: 01,zz\n");
    EXPECT_EQ(sent_record_bytes(), record_with(410, {{9, {4}}, {23, {1}}, {278, {2, 0}}}));
}

TEST_F(DataReqTest, SrvInfoWithoutCommaStoresNothing) {
    expect_record("srv_info 0a", {});
    EXPECT_EQ(err, "");
    expect_refused_with("srv_info", -1, "Error: srv_info requires hex string (comma delimited)!\n");
}

TEST_F(DataReqTest, SrvInfoOf255ElementsFillsTheArea) {
    ASSERT_EQ(run(vendor_data_req, ("srv_info " + list_of(255)).c_str()), 0);
    EXPECT_EQ(err, "");
    EXPECT_EQ(sent_record_bytes(), record_with(410, {{23, bytes(255, 1)}, {278, {255, 0}}}));
}

TEST_F(DataReqTest, SrvInfoOfMoreThan255ElementsKeepsTheFirst255) {
    std::string list = list_of(300);
    ASSERT_EQ(run(vendor_data_req, ("srv_info " + list + " publish_id 5").c_str()), 0);
    EXPECT_EQ(err, "Error: Invalid srv_info: " + list + "\n");
    EXPECT_NE(out.find("Info: srv_info element count = 300\n"), std::string::npos);
    EXPECT_EQ(out.find("255: pattern"), std::string::npos);
    bytes record = sent_record_bytes();
    bytes expected = record_with(410, {{9, {5}}, {23, bytes(255, 1)}, {278, {255, 0}}});
    EXPECT_EQ(record, expected);
}

TEST_F(DataReqTest, BuiltServiceInfoReplacesTheList) {
    ASSERT_EQ(run(vendor_data_req, "srv_info 01,02 port_num 80"), 0);
    EXPECT_EQ(sent_record_bytes(),
              record_with(410, {{23, hex_bytes("50 6f 9a 02 00 02 00 50 00")}, {278, {9, 0}}}));
    EXPECT_NE(out.find("Constructed service info length: 9\n"), std::string::npos);
}

TEST_F(DataReqTest, ListBytesBeyondTheBuiltLengthStay) {
    expect_record("srv_info 1,2,3,4,5,6,7,8,9,a,b port_num 80",
                  {{23, hex_bytes("50 6f 9a 02 00 02 00 50 00 0a 0b")}, {278, {9, 0}}});
}

TEST_F(DataReqTest, PortZeroBuildsNothing) {
    expect_record("port_num 0", {});
    EXPECT_EQ(out.find("Constructed"), std::string::npos);
    expect_record("port_num 65616", {{23, hex_bytes("50 6f 9a 02 00 02 00 50 00")}, {278, {9, 0}}});
}

TEST_F(DataReqTest, HostnameAndInterfaceId) {
    expect_record("interface_id abcdefgh", {{23, hex_bytes("50 6f 9a 02")}, {278, {4, 0}}});
    expect_record("hostname cam port_num 554",
                  {{23, hex_bytes("50 6f 9a 02 03 03 00 63 61 6d 00 02 00 2a 02")}, {278, {15, 0}}});
    expect_refused_with("interface_id abcdefghi", 2, "Error: Invalid interface_id (len: 9 > 8)\n");
    expect_refused_with("interface_id", 2, "Error: Invalid interface_id (len: 0 > 8)\n");
    expect_refused_with("hostname " + std::string(257, 'h'), 2,
                        "Error: Invalid hostname (len: 257 > 256)\n");
    expect_refused_with("hostname", 2, "Error: Invalid hostname (len: 0 > 256)\n");
}

TEST_F(DataReqTest, HostnameOverTheLimitGoesOutWithLengthZero) {
    expect_record("hostname " + std::string(250, 'h') + " srv_info 7,8", {{23, {7, 8}}});
    EXPECT_NE(out.find("service info length(257) is out of limit\n"
                       "Constructed service info length: 0\n"),
              std::string::npos);
}

}  // namespace
