// `iw nan0 vendor send 0xe04c SUBCMD FILE`: the size check per subcommand, the kept copies, and
// the driver answering an accepting data_rsp.
#include "board_fixture.hpp"
#include "event_log.hpp"
#include "vendor_records.hpp"

namespace wifisim_test {
namespace {

class VendorSend : public BoardTest {
protected:
    void SetUp() override {
        BoardTest::SetUp();
        ASSERT_EQ(run("iw phy0 interface add nan0 type __nan").status, 0);
    }

    // Writes the record to the board's /tmp and sends it as the daemon's transport does.
    run_result send(unsigned subcmd, const std::vector<unsigned char>& record,
                    const std::string& vendor = "0xe04c") {
        const std::string file = path("tmp/nan_vendor_data_test");
        EXPECT_TRUE(wifisim::write_file_replacing(file, std::string(record.begin(), record.end())));
        char command[256];
        snprintf(command, sizeof command, "iw nan0 vendor send %s 0x%x %s", vendor.c_str(), subcmd,
                 file.c_str());
        return run(command);
    }

    static std::vector<unsigned char> pattern_record(size_t size, unsigned char seed) {
        std::vector<unsigned char> r(size);
        for (size_t i = 0; i < size; ++i) r[i] = static_cast<unsigned char>(seed + i);
        return r;
    }

    static std::vector<unsigned char> data_rsp(unsigned char ndl_rsp, unsigned char ndp_id) {
        std::vector<unsigned char> r(284, 0);
        r[1] = ndl_rsp;
        r[2] = ndp_id;
        return r;
    }
};

TEST_F(VendorSend, EachSubcommandTakesExactlyItsRecordSize) {
    unsigned number = 0;
    for (const wifisim::vendor_command_size& c : wifisim::vendor_command_sizes) {
        SCOPED_TRACE(c.subcmd);
        EXPECT_EQ(send(c.subcmd, pattern_record(c.size, 1)).status, 0);
        run_result short_one = send(c.subcmd, pattern_record(c.size - 1, 2));
        EXPECT_EQ(short_one.status, 234);
        EXPECT_EQ(short_one.err, "command failed: Invalid argument (-22)\n");
        EXPECT_NE(send(c.subcmd, pattern_record(c.size + 1, 3)).status, 0);
        number += 3;
    }
    const std::vector<board_world::vendor_record> records = board_world::read_vendor_records(state);
    ASSERT_EQ(records.size(), number);
    for (size_t i = 0; i < records.size(); ++i) {
        const board_world::vendor_record& r = records[i];
        const wifisim::vendor_command_size& c = wifisim::vendor_command_sizes[i / 3];
        EXPECT_EQ(r.number, i + 1);
        EXPECT_EQ(r.vendor_id, 0xe04cu);
        EXPECT_EQ(r.subcmd, c.subcmd);
        const size_t sizes[] = {c.size, c.size - 1, c.size + 1};
        const unsigned char seeds[] = {1, 2, 3};
        EXPECT_EQ(r.bytes, pattern_record(sizes[i % 3], seeds[i % 3])) << "record " << r.number;
        EXPECT_EQ(r.verdict, i % 3 == 0 ? "ok" : "bad_size");
    }
}

TEST_F(VendorSend, RecordFilesAreNumberedWithTheirSubcommand) {
    ASSERT_EQ(send(0x1900, pattern_record(402, 0)).status, 0);
    ASSERT_EQ(send(0x1902, data_rsp(2, 5)).status, 0);
    EXPECT_EQ(read_text(path("records/0001-1900.bin")).size(), 402u);
    EXPECT_EQ(read_text(path("records/0002-1902.bin")).substr(0, 3), std::string("\0\2\5", 3));
    EXPECT_EQ(read_text(path("records/index")),
              "1 0xe04c 0x1900 402 ok\n"
              "2 0xe04c 0x1902 284 ok\n");
}

TEST_F(VendorSend, WrongVendorUnknownSubcommandOrInterfaceFail) {
    run_result vendor = send(0x1902, data_rsp(2, 1), "0xe04d");
    EXPECT_EQ(vendor.err, "command failed: Operation not supported (-95)\n");
    EXPECT_NE(send(0x1904, pattern_record(11, 0)).status, 0);
    EXPECT_EQ(run("iw nan0 vendor send 0xe04c 0x1902 /nonexistent/record").err,
              "command failed: No such file or directory (-2)\n");
    EXPECT_EQ(run("iw nan0 vendor send 0xe04c 0x1902").status, 1);

    ASSERT_EQ(run("iw dev nan0 del").status, 0);
    EXPECT_EQ(send(0x1902, data_rsp(2, 1)).err, "command failed: No such device (-19)\n");

    const std::vector<board_world::vendor_record> records = board_world::read_vendor_records(state);
    ASSERT_EQ(records.size(), 2u) << "no record without an interface or a readable file";
    EXPECT_EQ(records[0].verdict, "unknown_vendor");
    EXPECT_EQ(records[0].vendor_id, 0xe04du);
    EXPECT_EQ(records[1].verdict, "unknown_subcmd");
}

TEST_F(VendorSend, TheLongFormAndStandardInputWorkToo) {
    EXPECT_EQ(run("iw dev nan0 vendor send 0xe04c 0x1908 -", std::string(10, '\x7f')).status, 0);
    const std::vector<board_world::vendor_record> records = board_world::read_vendor_records(state);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].bytes, std::vector<unsigned char>(10, 0x7f));
}

TEST_F(VendorSend, AcceptingDataRspConnectsTheRequestingPeer) {
    ASSERT_EQ(board_world::inject_peer_request(state, "02:11:22:33:44:55", 7), 0);
    ASSERT_EQ(board_world::inject_peer_request(state, "02:66:77:88:99:AA", 8), 0);
    ASSERT_EQ(send(0x1902, data_rsp(2, 9)).status, 0) << "an id nobody asked for";
    ASSERT_EQ(send(0x1902, data_rsp(2, 7)).status, 0);
    ASSERT_EQ(send(0x1902, data_rsp(1, 8)).status, 0) << "rejected";
    ASSERT_EQ(send(0x1902, data_rsp(2, 7)).status, 0) << "already connected";

    board_world::driver_view d;
    ASSERT_EQ(board_world::read_driver(state, &d), 0);
    ASSERT_EQ(d.peers.size(), 2u);
    EXPECT_EQ(d.peers[0].mac, "02:11:22:33:44:55");
    EXPECT_EQ(d.peers[0].state, "connected");
    EXPECT_EQ(d.peers[1].mac, "02:66:77:88:99:aa");
    EXPECT_EQ(d.peers[1].state, "rejected");

    event_stream stream("event -t -f");
    const std::vector<decoded_event> events = decode_vendor_events(stream.lines(3 * 19));
    ASSERT_EQ(events.size(), 3u) << stream.text();
    EXPECT_EQ(events[0].subcmd, 2);
    EXPECT_EQ(events[1].subcmd, 2);
    const decoded_event& success = events[2];
    EXPECT_EQ(success.subcmd, 0);
    ASSERT_GE(success.payload.size(), wifisim::success_min_payload);
    EXPECT_EQ(success.payload[1], 0) << "status";
    const std::vector<unsigned char> peer = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    const std::vector<unsigned char> own = {0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    EXPECT_EQ(std::vector<unsigned char>(success.payload.begin() + 5, success.payload.begin() + 11), peer);
    EXPECT_EQ(std::vector<unsigned char>(success.payload.begin() + 11, success.payload.begin() + 17), own);
}

}  // namespace
}  // namespace wifisim_test
