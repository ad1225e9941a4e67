// data_rsp: the 284-byte data-path response record.
#include <gtest/gtest.h>

#include <string>

#include "records/vendor_fixture.hpp"

namespace {

class DataRspTest : public VendorHandlerTest {
protected:
    void expect_record(const std::string& params, std::initializer_list<std::pair<size_t, bytes>> pieces) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_data_rsp, params.c_str()), 0) << err;
        EXPECT_EQ(sent_subcmd(), 0x1902);
        EXPECT_EQ(transport.sent().back().bytes, record_with(284, pieces));
    }
    void expect_refused_with(const std::string& params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_data_rsp, "data_rsp", params.c_str(), result, message);
    }
};

TEST_F(DataRspTest, TheDecisionThreadsAnswer) {
    expect_sent(vendor_data_rsp, "data_rsp", "rsp_mode peer ndl_rsp accept data_path_id 5",
                record_with(284, {{0, hex_bytes("00 02 05")}}));
    EXPECT_EQ(sent_subcmd(), 0x1902);
}

TEST_F(DataRspTest, WordValues) {
    expect_record("rsp_mode auto ndl_rsp counter", {{0, {1, 3}}});
    expect_record("ndl_rsp reject m4_rsp_type Accept", {{1, {1}}, {4, {1}}});
    expect_record("m4_rsp_type Reject", {{4, {2}}});
    expect_record("m4_rsp_type BadMic type ucast", {{4, {3}}});
}

TEST_F(DataRspTest, WordValuesAreCaseSensitive) {
    expect_refused_with("ndl_rsp Accept", -1, "Error: Invalid ndl_rsp value: Accept\n");
    expect_refused_with("m4_rsp_type accept", -1, "Error: Invalid m4_rsp_type value: accept\n");
    expect_refused_with("rsp_mode Peer", -1, "Error: Invalid rsp_mode value: Peer\n");
    expect_refused_with("type mcast", -1, "Error: type requires ucast!\n");
}

TEST_F(DataRspTest, KeysWithoutValue) {
    expect_refused_with("rsp_mode", -1, "Error: rsp_mode requires peer/auto value!\n");
    expect_refused_with("ndl_rsp", -1, "Error: ndl_rsp requires reject/accept/counter value!\n");
    expect_refused_with("data_path_id", -1, "Error: data_path_id requires an integer value!\n");
    expect_refused_with("publish_id", -1, "Error: publish_id requires an integer value!\n");
    expect_refused_with("m4_rsp_type", -1, "Error: m4_rsp_type requires Accept/Reject/BadMic!\n");
    expect_refused_with("type", -1, "Error: type requires ucast!\n");
    expect_refused_with("mc_id", -1, "Error: mc_id requires an integer value!\n");
    expect_refused_with("initiator_data_address", -1,
                        "Error: initiator_data_address requires MAC address!\n");
    expect_refused_with("mcast_addr", -1, "Error: mcast_addr requires MAC address!\n");
    expect_refused_with("min_duration", -1, "Error: min_duration requires an integer value!\n");
    expect_refused_with("max_latency", -1, "Error: max_latency requires an integer value!\n");
    expect_refused_with("mrole_sched_ratio", -1,
                        "Error: mrole_sched_ratio requires an integer value!\n");
    expect_refused_with("srv_info", -1, "Error: srv_info requires hex string (comma delimited)!\n");
    expect_refused_with("port_num", -1, "Error: port_num requires an integer value!\n");
    expect_refused_with("hostname", 2, "Error: Invalid hostname (len: 0 > 256)\n");
    expect_refused_with("interface_id", 2, "Error: Invalid interface_id (len: 0 > 8)\n");
}

TEST_F(DataRspTest, IntegerFields) {
    expect_record("data_path_id 300 publish_id 7 mc_id 1 min_duration 2 max_latency 500 "
                  "mrole_sched_ratio 3",
                  {{2, {44, 7}}, {6, {1}}, {20, {2}}, {22, hex_bytes("f4 01")}, {26, {3}}});
}

TEST_F(DataRspTest, InitiatorAddress) {
    expect_record("initiator_data_address 02:11:22:33:44:55", {{7, hex_bytes("02 11 22 33 44 55")}});
    expect_record("initiator_data_address 02:11:22:33:44:5g", {{7, hex_bytes("02 11 22 33 44 05")}});
    expect_refused_with("initiator_data_address 02:11:22:33:44", 2,
                        "Error: Invalid initiator_data_address: 02:11:22:33:44\n");
    expect_record("mcast_addr 01:00:5e:7f:00:01", {{13, hex_bytes("01 00 5e 7f 00 01")}});
    expect_refused_with("mcast_addr 01-00-5e-7f-00-01", 2,
                        "Error: Invalid mcast_addr: 01-00-5e-7f-00-01\n");
}

TEST_F(DataRspTest, UnknownToken) {
    expect_refused_with("rsp_mode peer accept", -1,
                        "Error: data_rsp info - invalid parameter: accept!\n");
}

TEST_F(DataRspTest, SrvInfoList) {
    expect_record("srv_info 0a,0b,0c", {{27, hex_bytes("0a 0b 0c")}, {282, {3, 0}}});
    EXPECT_NE(out.find("Info: srv_info element count = 3\n"), std::string::npos);
    expect_record("srv_info 0a", {});
}

TEST_F(DataRspTest, RejectedSrvInfoStopsTheAnswer) {
    EXPECT_EQ(run(vendor_data_rsp, "srv_info 0a,zz"), 2);
    EXPECT_EQ(err, "Error: Invalid srv_info: 0a,zz\n");
    EXPECT_EQ(out, opening_lines("data_rsp", "srv_info 0a,zz") +
                       "Info: srv_info element count = 2\n0: pattern[0] = a\n");
    EXPECT_TRUE(nothing_sent());
}

TEST_F(DataRspTest, SrvInfoOf255ElementsFillsTheArea) {
    std::string list = "ff";
    for (int i = 1; i < 255; ++i) list += ",ff";
    expect_record("srv_info " + list, {{27, bytes(255, 0xff)}, {282, {255, 0}}});
    EXPECT_EQ(err, "");
}

TEST_F(DataRspTest, SrvInfoOfMoreThan255ElementsIsRefused) {
    std::string list = "1";
    for (int i = 1; i < 256; ++i) list += ",1";
    std::string params = "rsp_mode peer srv_info " + list;
    EXPECT_EQ(run(vendor_data_rsp, params.c_str()), 2);
    EXPECT_EQ(err, "Error: Invalid srv_info: " + list + "\n");
    EXPECT_EQ(out, opening_lines("data_rsp", params.c_str()) +
                       "Info: srv_info element count = 256\n");
    EXPECT_TRUE(nothing_sent());
}

TEST_F(DataRspTest, HostnameOnly) {
    expect_record("hostname h", {{27, hex_bytes("50 6f 9a 02 03 01 00 68")}, {282, {8, 0}}});
    EXPECT_NE(out.find("Constructed service info length: 8\n"), std::string::npos);
}

TEST_F(DataRspTest, BuiltServiceInfoReplacesTheListCount) {
    expect_record("srv_info 1,2,3,4,5,6,7,8,9 hostname h",
                  {{27, hex_bytes("50 6f 9a 02 03 01 00 68 09")}, {282, {8, 0}}});
}

TEST_F(DataRspTest, TextKeysTooLong) {
    expect_refused_with("hostname " + std::string(257, 'h'), 2,
                        "Error: Invalid hostname (len: 257 > 256)\n");
    expect_refused_with("interface_id abcdefghi", 2, "Error: Invalid interface_id (len: 9 > 8)\n");
}

}  // namespace
