// data_end, followup and pasn_start: the small records.
#include <gtest/gtest.h>

#include <string>

#include "records/vendor_fixture.hpp"

namespace {

// ---- data_end ----

class DataEndTest : public VendorHandlerTest {
protected:
    void expect_record(const char* params, const char* record) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_data_end, params), 0) << err;
        EXPECT_EQ(sent_subcmd(), 0x1903);
        EXPECT_EQ(transport.sent().back().bytes, hex_bytes(record));
    }
    void expect_refused_with(const char* params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_data_end, "data_end", params, result, message);
    }
};

TEST_F(DataEndTest, AllKeys) {
    expect_sent(vendor_data_end, "data_end",
                "ndp_id 3 initiatorndi 02:11:22:33:44:55 type ucast status 0 nmsg_id 7",
                hex_bytes("03 02 11 22 33 44 55 00 00 00 07"));
    expect_record("status 5 mc_id 6", "00 00 00 00 00 00 00 00 05 06 00");
}

TEST_F(DataEndTest, IdsKeepTheirLowBits) {
    expect_record("ndp_id 260", "04 00 00 00 00 00 00 00 00 00 00");
    expect_record("ndp_id -1", "ff 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(DataEndTest, TypeIsCaseSensitive) {
    expect_refused_with("type mcast", -1, "Error: Invalid type value: mcast (expected ucast)\n");
    expect_refused_with("type UCAST", -1, "Error: Invalid type value: UCAST (expected ucast)\n");
}

TEST_F(DataEndTest, MalformedAddress) {
    expect_refused_with("initiatorndi 02:11:22:33:44", 2,
                        "Error: Invalid initiatorndi MAC address: 02:11:22:33:44\n");
}

TEST_F(DataEndTest, KeysWithoutValue) {
    expect_refused_with("ndp_id", -1, "Error: ndp_id requires an integer value!\n");
    expect_refused_with("initiatorndi", -1, "Error: initiatorndi requires MAC address!\n");
    expect_refused_with("type", -1, "Error: type requires ucast value!\n");
    expect_refused_with("status", -1, "Error: status requires an integer value!\n");
    expect_refused_with("mc_id", -1, "Error: mc_id requires an integer value!\n");
    expect_refused_with("nmsg_id", -1, "Error: nmsg_id requires an integer value!\n");
}

TEST_F(DataEndTest, UnknownTokenKeepsTheDeployedWording) {
    expect_refused_with("end", -1, "Error: date_end - invalid parameter: end!\n");
}

// ---- followup ----

class FollowupTest : public VendorHandlerTest {
protected:
    void expect_record(const char* params, const char* record) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_followup, params), 0) << err;
        EXPECT_EQ(sent_subcmd(), 0x1906);
        EXPECT_EQ(transport.sent().back().bytes, hex_bytes(record));
    }
    void expect_refused_with(const char* params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_followup, "followup", params, result, message);
    }
};

TEST_F(FollowupTest, BootstrappingMessage) {
    expect_sent(vendor_followup, "followup",
                "type bstrap rmt_id 1 local_id 2 rmt_mac 02:11:22:33:44:55 bstrap_type req "
                "bstrap_status 1 bstrap_method 4 sec_key_type 0",
                hex_bytes("02 01 02 02 11 22 33 44 55 11 00 00 04 00 00 00"));
}

TEST_F(FollowupTest, EachBootstrappingKeyKeepsToItsNibble) {
    expect_record("bstrap_status 2 bstrap_type rsp", "00 00 00 00 00 00 00 00 00 22 00 00 00 00 00 00");
    expect_record("bstrap_type rsp bstrap_status 2", "00 00 00 00 00 00 00 00 00 22 00 00 00 00 00 00");
    expect_record("bstrap_status -1", "00 00 00 00 00 00 00 00 00 f0 00 00 00 00 00 00");
    expect_record("bstrap_status -1 bstrap_type req bstrap_status 0 bstrap_type rsp",
                  "00 00 00 00 00 00 00 00 00 02 00 00 00 00 00 00");
}

TEST_F(FollowupTest, BootstrappingStatusAboveTwoIsRefused) {
    expect_refused_with("bstrap_status 3", 2, "Error: followup: bstrap_status with invalid value: 3!\n");
    expect_refused_with("bstrap_status 99999999999", 2,
                        "Error: followup: bstrap_status with invalid value: 2147483647!\n");
}

TEST_F(FollowupTest, LaterOfTypeAndMethodDecidesTheMessageType) {
    expect_record("type response bstrap_method 1", "02 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00");
    expect_record("bstrap_method 1 type response", "04 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00");
    expect_record("type request", "03 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
}

TEST_F(FollowupTest, MethodKeepsItsLow16Bits) {
    expect_record("bstrap_method 65537", "02 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00");
    expect_record("bstrap_method 258 sec_key_type 300",
                  "02 00 00 00 00 00 00 00 00 00 00 00 02 01 2c 00");
}

TEST_F(FollowupTest, RefusedWords) {
    expect_refused_with("type Request", 2, "Error: followup: type with invalid value: Request!\n");
    expect_refused_with("bstrap_type REQ", 2, "Error: followup: bstrap_type with invalid value: REQ!\n");
    expect_refused_with("rmt_mac 1:2:3", 2, "Error: Invalid rmt_mac MAC address: 1:2:3\n");
}

TEST_F(FollowupTest, KeysWithoutValue) {
    expect_refused_with("rmt_id", -1, "Error: rmt_id requires an integer value!\n");
    expect_refused_with("local_id", -1, "Error: local_id requires an integer value!\n");
    expect_refused_with("rmt_mac", -1, "Error: rmt_mac requires MAC address!\n");
    expect_refused_with("type", -1, "Error: type requires bstrap/request/response!\n");
    expect_refused_with("bstrap_type", -1, "Error: bstrap_type requires rsp/req!\n");
    expect_refused_with("bstrap_status", -1, "Error: bstrap_status requires an integer value!\n");
    expect_refused_with("bstrap_method", -1, "Error: bstrap_method requires an integer value!\n");
    expect_refused_with("sec_key_type", -1, "Error: sec_key_type requires an integer value!\n");
}

TEST_F(FollowupTest, UnknownToken) {
    expect_refused_with("rmt_id 1 peer 2", -1, "Error: followup: invalid param: peer!\n");
}

// ---- pasn_start ----

class PasnStartTest : public VendorHandlerTest {
protected:
    void expect_record(const char* params, const char* record) {
        SCOPED_TRACE(params);
        ASSERT_EQ(run(vendor_pasn_start, params), 0) << err;
        EXPECT_EQ(sent_subcmd(), 0x1908);
        EXPECT_EQ(transport.sent().back().bytes, hex_bytes(record));
    }
    void expect_refused_with(const char* params, int result, const std::string& message) {
        SCOPED_TRACE(params);
        expect_refused(vendor_pasn_start, "pasn_start", params, result, message);
    }
};

TEST_F(PasnStartTest, AllKeys) {
    expect_sent(vendor_pasn_start, "pasn_start",
                "role 1 type 0 peer_nmi 02:11:22:33:44:55 auth_method 2 nik_caching 1",
                hex_bytes("01 00 02 11 22 33 44 55 02 01"));
}

TEST_F(PasnStartTest, TypeIsAPlainInteger) {
    expect_record("type ucast", "00 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(err, "");
    expect_record("type 7", "00 07 00 00 00 00 00 00 00 00");
}

TEST_F(PasnStartTest, SeventhOctetIsIgnored) {
    expect_record("peer_nmi 02:11:22:33:44:55:66", "00 00 02 11 22 33 44 55 00 00");
}

TEST_F(PasnStartTest, Refusals) {
    expect_refused_with("peer_nmi 02:11:22:33:44", 2,
                        "Error: Invalid peer_nmi MAC address: 02:11:22:33:44\n");
    expect_refused_with("role", -1, "Error: role requires an integer value!\n");
    expect_refused_with("type", -1, "Error: type requires an integer value!\n");
    expect_refused_with("peer_nmi", -1, "Error: peer_nmi requires MAC address!\n");
    expect_refused_with("auth_method", -1, "Error: auth_method requires an integer value!\n");
    expect_refused_with("nik_caching", -1, "Error: nik_caching requires an integer value!\n");
    expect_refused_with("nik", -1, "Error: pasn_start - invalid parameter: nik!\n");
}

}  // namespace
