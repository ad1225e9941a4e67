// "AT+AB status" after the events its counters count: bad frames of each kind and a sequence gap
// from the video source, a failed transfer, a client that stops reading while another reads
// everything, and NAN peers asking for a data path. Each counter must show exactly what
// happened.
#include <cerrno>
#include <chrono>
#include <map>
#include <string>
#include <thread>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"

using namespace std::chrono_literals;
using std::chrono::steady_clock;

namespace {

const std::string server_ready = "TCP server initialization successful (max 4 clients).";
const std::string bringup_end = "=== add_func custom logic execution completed ===";
const std::string batch_end = "=== All commands execution completed ===";
constexpr uint32_t payload_size = 4096;
constexpr size_t request_payload = 288;  // the driver's usual data-path request
const std::string peer = "02:aa:bb:cc:dd:01";
const std::string broadcast = "ff:ff:ff:ff:ff:ff";

using status_map = std::map<std::string, std::string>;

// "key=value\r\n" lines up to "OK\r\n".
status_map parse_status(const std::string& reply) {
    status_map values;
    size_t at = 0;
    for (;;) {
        const size_t end = reply.find("\r\n", at);
        if (end == std::string::npos) break;
        const std::string line = reply.substr(at, end - at);
        at = end + 2;
        if (line == "OK") break;
        const size_t equals = line.find('=');
        if (equals == std::string::npos) {
            ADD_FAILURE() << "not a key=value line: " << line;
            continue;
        }
        values[line.substr(0, equals)] = line.substr(equals + 1);
    }
    return values;
}

uint64_t number(const status_map& values, const std::string& key) {
    const auto found = values.find(key);
    if (found == values.end()) {
        ADD_FAILURE() << "no key " << key;
        return 0;
    }
    return std::stoull(found->second);
}

class status_test : public board_test {
protected:
    // The daemon up, its bring-up (NAN published) done and the bus connected.
    void start() {
        board.start_daemon();
        ASSERT_TRUE(board.wait_stdout(server_ready));
        const std::optional<size_t> add_func = board.wait_stdout(bringup_end);
        ASSERT_TRUE(add_func);
        ASSERT_TRUE(board.wait_stdout(batch_end, *add_func));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    }

    // Client number index; its connection line is waited for, so clients take slots in order.
    unique_fd connect(int index, const socket_limits& limits = {}) {
        unique_fd fd =
            connect_when_listening(board.daemon().pid(), client_family::ipv6, e2e_deadline, limits);
        EXPECT_TRUE(fd.valid()) << "client " << index << ": " << strerror(errno);
        const std::string prefix = "New IPv6 connection (client " + std::to_string(index) + ")";
        EXPECT_TRUE(board.daemon().wait_for_prefix(output_stream::err, prefix, 0, e2e_deadline));
        return fd;
    }

    void send(spi_reply reply) { ASSERT_TRUE(board.source().send(std::move(reply), e2e_deadline)); }

    payload_plan plan{.seed = 9, .derived_length = false, .fixed_length = payload_size};
};

TEST_F(status_test, EveryCounterShowsTheEventsThatMovedIt) {
    start();

    // Before any client: three good frames with a gap of three after the second, one bad frame
    // of each kind, a too-short transfer and a failed one.
    send(frame_transfer(plan, 0, 0));
    send(frame_transfer(plan, 1, 1));
    send(frame_transfer(plan, 2, 0, frame_fault::bad_sync));
    send(frame_transfer(plan, 2, 2, frame_fault::length_over_max));
    send(frame_transfer(plan, 2, 2, frame_fault::bad_crc));
    send(frame_transfer(plan, 2, 2, frame_fault::short_transfer));
    send(failed_transfer(EIO));
    send(frame_transfer(plan, 5, 5));
    const std::optional<size_t> gap = board.wait_stdout("Sequence mismatch: expected 2 got 5");
    ASSERT_TRUE(gap);
    // The gap's line comes before its frame is stored: a second bad CRC after it shows that the
    // frame is in the ring before the first client joins at live.
    send(frame_transfer(plan, 6, 6, frame_fault::bad_crc));
    ASSERT_TRUE(board.daemon().wait_for(
        output_stream::out,
        [](const std::string& line) { return line.rfind("CRC mismatch (got=", 0) == 0; },
        *gap + 1, e2e_deadline));

    // A reader that takes everything, and a client that stops reading: its socket fills, the
    // frames that go by meanwhile are its loss, and its rest times out.
    unique_fd reading = connect(0);
    client_reader reader(reading.get());
    unique_fd stalled = connect(1, {.receive_buffer = 4096});
    board.source().start_stream({.frames_per_second = lane_rate(45), .plan = plan,
                                 .first_frame = 6, .first_sequence = 6});
    ASSERT_TRUE(board.daemon().wait_for(
        output_stream::err,
        [](const std::string& line) {
            return line.rfind("Client 1 (fd ", 0) == 0 &&
                   line.find("): Send timeout count: 1/1, keep connection") != std::string::npos;
        },
        0, e2e_deadline));
    board.source().stop_stream();
    const uint64_t streamed = board.source().frames_streamed();
    ASSERT_TRUE(reader.wait_for_size(streamed * payload_size, e2e_deadline));

    // One peer asks for a data path and gets it; the broadcast address asks and is refused.
    ASSERT_EQ(board_world::inject_peer_request(board.state_dir(), peer, 5), 0);
    ASSERT_TRUE(board.wait_stdout("[decision] Successfully established connection with " + peer +
                                  " (Status: 0)"));
    ASSERT_EQ(board_world::inject_vendor_event(board.state_dir(), 2,
                                               std::vector<uint8_t>(request_payload, 0xff)),
              0);
    ASSERT_TRUE(board.wait_stdout("[decision] MAC " + broadcast +
                                  " is not a unicast peer address, refusing connection"));

    // Asked on a third connection, with the ring drained: the reply is all that comes.
    unique_fd asking = connect(2);
    ASSERT_TRUE(send_text(asking.get(), "AT+AB status\r\n"));
    const std::string reply = read_until(asking.get(), "\r\nOK\r\n", e2e_deadline);
    ASSERT_EQ(reply.rfind("uptime_s=", 0), 0u) << reply;
    ASSERT_EQ(reply.substr(reply.size() - 6), "\r\nOK\r\n") << reply;
    const status_map s = parse_status(reply);
    EXPECT_EQ(s.size(), 14u + 4 * 8 + 5 + 3);

    EXPECT_EQ(number(s, "spi_transfers"), board.source().transfers_taken() - 1);
    EXPECT_EQ(number(s, "spi_transfer_failures"), 1u);
    EXPECT_EQ(number(s, "raw_queue_drops"), 0u);
    EXPECT_EQ(number(s, "frames_stored"), 3 + streamed);
    EXPECT_EQ(number(s, "frames_refused_sync"), 1u);
    EXPECT_EQ(number(s, "frames_refused_length"), 2u);
    EXPECT_EQ(number(s, "frames_refused_crc"), 2u);
    EXPECT_EQ(number(s, "sequence_gaps"), 1u);
    EXPECT_EQ(number(s, "sequence_gap_frames"), 3u);
    EXPECT_EQ(number(s, "ring_overwrites"), 0u);
    EXPECT_EQ(number(s, "video_suspended"), 0u);
    EXPECT_EQ(number(s, "clients"), 3u);

    // The reader had every streamed frame, whole.
    EXPECT_EQ(number(s, "client0_connected"), 1u);
    EXPECT_EQ(number(s, "client0_frames_sent"), streamed);
    EXPECT_EQ(number(s, "client0_bytes_sent"), streamed * payload_size);
    EXPECT_EQ(number(s, "client0_frames_skipped"), 0u);
    EXPECT_EQ(number(s, "client0_timeouts"), 0u);
    // The stalled client: every frame went out whole, was skipped, or is the rest it owes.
    const uint64_t stalled_sent = number(s, "client1_frames_sent");
    const uint64_t stalled_skipped = number(s, "client1_frames_skipped");
    EXPECT_GT(stalled_skipped, 0u);
    EXPECT_EQ(stalled_sent + stalled_skipped + 1, streamed);
    EXPECT_GE(number(s, "client1_bytes_sent"), stalled_sent * payload_size);
    EXPECT_LT(number(s, "client1_bytes_sent"), (stalled_sent + 1) * payload_size);
    EXPECT_GE(number(s, "client1_timeouts"), 1u);
    EXPECT_EQ(number(s, "client1_at_commands"), 0u);
    // The asking client: its one command, nothing sent before this reply.
    EXPECT_EQ(number(s, "client2_connected"), 1u);
    EXPECT_EQ(number(s, "client2_connection"), 3u);
    EXPECT_EQ(number(s, "client2_frames_sent"), 0u);
    EXPECT_EQ(number(s, "client2_bytes_sent"), 0u);
    EXPECT_EQ(number(s, "client2_at_commands"), 1u);
    EXPECT_EQ(number(s, "client3_connected"), 0u);

    EXPECT_EQ(number(s, "total_frames_sent"), streamed + stalled_sent);
    EXPECT_EQ(number(s, "total_frames_skipped"), stalled_skipped);
    EXPECT_EQ(number(s, "total_timeouts"), number(s, "client1_timeouts"));
    EXPECT_EQ(number(s, "total_at_commands"), 1u);
    EXPECT_EQ(number(s, "nan_peers_seen"), 1u);
    EXPECT_EQ(number(s, "nan_data_paths_answered"), 1u);
    EXPECT_EQ(number(s, "nan_data_paths_refused"), 1u);

    // The reply went whole to its connection and the video goes on; no parameter in it.
    EXPECT_EQ(reply.find("name:"), std::string::npos);
    EXPECT_EQ(reply.find("pmk"), std::string::npos);
}

}  // namespace
