// The daemon's TCP port 554 end to end on the simulated board: which clients it takes and how it
// logs them, what every client receives (the bare frame payloads, byte for byte, in order), how
// text from clients is taken in, what happens to clients that stop reading or vanish, how the
// shared read position waits for the first client, and a port that another process holds.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"
#include "connected_client.hpp"
#include "frame_marks.hpp"
#include "stream_parse.hpp"

namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

const std::string server_ready = "TCP server initialization successful (max 4 clients).";
const std::string reject_line = "Reject new client: max 4 connections reached";
const std::string ring_full_line = "count=766";  // after the 765th stored frame

constexpr uint32_t ring_capacity = 765;      // frames the ring holds before it laps the reader
constexpr uint32_t frames_per_group = 30;    // with its mark, what the raw queue holds whole
constexpr double stall_stream_rate = 20;     // frames/s while a client stalls
constexpr int at_waiting = 8;                // commands a client may have waiting

// What a client must receive for frames first .. first+count-1 of a plan: their payloads, one
// after the other, nothing between them.
std::string expected_stream(const payload_plan& plan, uint32_t first, uint32_t count) {
    std::string stream;
    for (uint32_t n = first; n < first + count; ++n) {
        const std::vector<uint8_t> payload = plan.payload(n);
        stream.append(payload.begin(), payload.end());
    }
    return stream;
}

// "" when equal, else where the two first part (a failure message, not megabytes of bytes).
std::string first_difference(const std::string& got, const std::string& want) {
    const auto mismatch =
        std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (mismatch.first == got.end() && mismatch.second == want.end()) return "";
    const size_t at = static_cast<size_t>(mismatch.first - got.begin());
    std::string text = "received " + std::to_string(got.size()) + " bytes, expected " +
                       std::to_string(want.size()) + "; first difference at byte " +
                       std::to_string(at);
    if (mismatch.first != got.end() && mismatch.second != want.end()) {
        text += " (got " + std::to_string(static_cast<unsigned char>(*mismatch.first)) +
                ", expected " + std::to_string(static_cast<unsigned char>(*mismatch.second)) + ")";
    }
    return text;
}

class stream_test : public board_test {
protected:
    // Starts the daemon on a healthy board and waits until its SPI link and TCP server run.
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(server_ready));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    }

    connected_client connect(int index, client_family family) {
        return connect_client(board, index, family);
    }

    // Feeds frames of the plan in groups the daemon's raw queue holds whole, each followed by a
    // frame that only the frame check rejects; its line means the group is in the ring.
    void feed_frames(uint32_t first, uint32_t count) {
        for (uint32_t sent = 0; sent < count;) {
            for (uint32_t i = 0; i < frames_per_group && sent < count; ++i, ++sent) {
                const uint32_t n = first + sent;
                board.source().queue(frame_transfer(plan, n, static_cast<uint8_t>(n)));
            }
            pacer_.before_mark();
            board.source().queue(frame_transfer(plan, 0, 0, frame_fault::bad_sync));
            const std::optional<size_t> at = board.wait_stdout(mark_line(), next_mark_from_);
            ASSERT_TRUE(at) << "frames up to " << first + sent << " were not taken";
            pacer_.seen();
            next_mark_from_ = *at + 1;
        }
    }

    // Stops the paced stream and returns how many frames it sent. A queued reply goes out before
    // any stream frame, so once the one queued here is taken no stream frame can follow.
    uint32_t end_stream() {
        board.source().stop_stream();
        EXPECT_TRUE(board.source().send(frame_transfer(plan, 0, 0, frame_fault::bad_sync),
                                        e2e_deadline));
        return static_cast<uint32_t>(board.source().frames_streamed());
    }

    std::string mark_line() const {
        return "Invalid frame (sync=0x55AA len=" + std::to_string(plan.length_of(0)) + ")";
    }

    // The streaming tick's lines about one client, in order.
    std::vector<std::string> client_lines(int index, int daemon_fd) const {
        const std::string prefix =
            "Client " + std::to_string(index) + " (fd " + std::to_string(daemon_fd) + "): ";
        std::vector<std::string> lines;
        for (const std::string& line : board.stderr_lines())
            if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
        return lines;
    }

    std::optional<size_t> wait_client_line(int index, int daemon_fd, const std::string& text) {
        return board.wait_stderr("Client " + std::to_string(index) + " (fd " +
                                 std::to_string(daemon_fd) + "): " + text);
    }

    // Lines of the hang-up or peer-close paths for a descriptor.
    std::vector<std::string> close_event_lines(int daemon_fd) const {
        std::vector<std::string> lines;
        const std::string fd_text = std::to_string(daemon_fd);
        for (const std::string& line : board.stderr_lines()) {
            if (line == "Client fd " + fd_text + " closed/error" ||
                line == "Client fd " + fd_text + " closed")
                lines.push_back(line);
        }
        return lines;
    }

    payload_plan plan{.seed = 554, .derived_length = true, .fixed_length = 0};
    size_t next_mark_from_ = 0;
    mark_pacer pacer_;
};

const std::string timeout_retry_line =
    "Send video data timeout (retry 1/1): Connection timed out";
const std::string timeout_failed_line = "Send video data failed: Connection timed out";

std::string count_line(int count) {
    return "Send timeout count: " + std::to_string(count) + "/1, keep connection";
}

// ---- who gets connected ----

using Connections = stream_test;

TEST_F(Connections, Ipv4ClientIsLoggedAsAMappedIpv6Peer) {
    start();
    connected_client client = connect(0, client_family::ipv4);
    ASSERT_GT(client.daemon_fd, 0);
    // The IPv4 form of the line never appears: the listening socket is dual-stack.
    for (const std::string& line : board.stderr_lines())
        EXPECT_EQ(line.rfind("New IPv4 connection", 0), std::string::npos) << line;
}

TEST_F(Connections, FourClientsGetEveryPayloadInOrderAndAFifthIsTurnedAway) {
    start();
    const client_family families[] = {client_family::ipv4, client_family::ipv6,
                                      client_family::ipv4, client_family::ipv6};
    std::vector<connected_client> clients;
    std::vector<std::unique_ptr<client_reader>> readers;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect(i, families[i]));
        ASSERT_GT(clients.back().daemon_fd, 0);
        readers.push_back(std::make_unique<client_reader>(clients.back().socket.get()));
    }

    constexpr uint32_t first_half = 60;
    constexpr uint32_t second_half = 60;
    feed_frames(0, first_half);
    const std::string head = expected_stream(plan, 0, first_half);
    for (auto& reader : readers) ASSERT_TRUE(reader->wait_for_size(head.size(), e2e_deadline));

    // The fifth is accepted, logged and closed at once: it reads the end of the stream.
    unique_fd fifth = connect_in_namespace(board.daemon().pid(), client_family::ipv6);
    ASSERT_TRUE(fifth.valid()) << strerror(errno);
    ASSERT_TRUE(board.wait_stderr(reject_line));
    EXPECT_EQ(read_bytes(fifth.get(), 1, e2e_deadline), "");
    char byte;
    EXPECT_EQ(recv(fifth.get(), &byte, 1, MSG_DONTWAIT), 0) << "the fifth is not closed";

    feed_frames(first_half, second_half);
    const std::string stream = expected_stream(plan, 0, first_half + second_half);
    for (size_t i = 0; i < readers.size(); ++i) {
        ASSERT_TRUE(readers[i]->wait_for_size(stream.size(), e2e_deadline)) << "client " << i;
        EXPECT_EQ(first_difference(readers[i]->data(), stream), "") << "client " << i;
        EXPECT_TRUE(client_lines(static_cast<int>(i), clients[i].daemon_fd).empty());
        EXPECT_TRUE(close_event_lines(clients[i].daemon_fd).empty());
    }
    // One connection line per client, one reject line: the fifth got no table entry.
    const std::vector<std::string> lines = board.stderr_lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string& l) { return l.rfind("New ", 0) == 0; }),
              4);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), reject_line), 1);
}

// ---- text from clients ----

using ReceivedText = stream_test;

TEST_F(ReceivedText, A2000ByteBurstIsTakenAs1023BytesAndTheRestWaitsForTheNextSend) {
    start();
    connected_client client = connect(0, client_family::ipv6);
    ASSERT_GT(client.daemon_fd, 0);
    const std::string fd_text = std::to_string(client.daemon_fd);

    // Printable text that is no AT command, with positions written into it.
    std::string burst;
    for (int i = 0; burst.size() < 2000; ++i) burst += "<burst " + std::to_string(i) + ">";
    burst.resize(2000);
    ASSERT_TRUE(send_text(client.socket.get(), burst));

    const std::string first_line = "Received data from (fd " + fd_text + "): " + burst.substr(0, 1023);
    const std::optional<size_t> first = board.wait_stdout(first_line);
    ASSERT_TRUE(first);
    const std::string error_reply = "ERROR: Invalid input format\r\n";
    EXPECT_EQ(read_until(client.socket.get(), error_reply, e2e_deadline), error_reply);

    // Nothing more is taken until the client sends again; then the waiting 977 bytes and the
    // new ones come as one chunk.
    ASSERT_TRUE(send_text(client.socket.get(), "<again>"));
    const std::string second_line =
        "Received data from (fd " + fd_text + "): " + burst.substr(1023) + "<again>";
    const std::optional<size_t> second = board.wait_stdout(second_line);
    ASSERT_TRUE(second);
    EXPECT_EQ(read_until(client.socket.get(), error_reply, e2e_deadline), error_reply);

    std::vector<std::string> received;
    for (const std::string& line : board.stdout_lines())
        if (line.rfind("Received data from", 0) == 0) received.push_back(line);
    EXPECT_EQ(received, (std::vector<std::string>{first_line, second_line}));
    // Each chunk went to the AT handler on its own, and each was refused.
    const std::string failed = "AT command execution failed (fd " + fd_text + "), error code: -1";
    const std::optional<size_t> first_failure = board.wait_stderr(failed);
    ASSERT_TRUE(first_failure);
    EXPECT_TRUE(board.wait_stderr(failed, *first_failure + 1));
}

// ---- clients that stop reading or vanish ----

using SlowClients = stream_test;

// A client that stops reading holds the rest of one frame: it gets the time-out lines every 5 s
// and is closed by the silence rule 14 whole seconds after its last byte went out, while the
// reading client gets every frame, in order, byte for byte.
TEST_F(SlowClients, AClientThatStopsReadingIsClosedBySilenceAndTheReaderGetsEveryFrame) {
    plan = payload_plan{.seed = 5, .derived_length = false, .fixed_length = 4096};
    start();
    connected_client stalled = connect(0, client_family::ipv4);
    connected_client reading = connect(1, client_family::ipv6);
    ASSERT_GT(stalled.daemon_fd, 0);
    ASSERT_GT(reading.daemon_fd, 0);
    client_reader reader(reading.socket.get());

    board.source().start_stream({.frames_per_second = stall_stream_rate, .plan = plan});
    ASSERT_TRUE(wait_client_line(0, stalled.daemon_fd,
                                 "Connection timeout (no comm for 14 sec), close connection"));
    const uint32_t streamed = end_stream();

    EXPECT_EQ(client_lines(0, stalled.daemon_fd), (std::vector<std::string>{
                                                      timeout_retry_line,
                                                      timeout_failed_line,
                                                      count_line(1),
                                                      timeout_retry_line,
                                                      timeout_failed_line,
                                                      count_line(2),
                                                      "Connection timeout (no comm for 14 sec), "
                                                      "close connection",
                                                  }));
    // The daemon has closed the stalled connection: what it had queued arrives, then the end.
    client_reader stalled_reader(stalled.socket.get());
    EXPECT_TRUE(stalled_reader.wait_ended(e2e_deadline));
    EXPECT_EQ(parse_stream(stalled_reader.data(), plan, "").problem, "");

    ASSERT_LT(streamed, ring_capacity);
    const std::string stream = expected_stream(plan, 0, streamed);
    ASSERT_TRUE(reader.wait_for_size(stream.size(), e2e_deadline));
    EXPECT_EQ(first_difference(reader.data(), stream), "");
    EXPECT_TRUE(client_lines(1, reading.daemon_fd).empty());
}

// A connection reset while video flows is closed at once, by its hang-up event or by the next
// send to it, whichever comes first; the others go on receiving every frame.
TEST_F(SlowClients, AResetClientIsClosedAtOnceWhileTheOthersReceive) {
    plan = payload_plan{.seed = 6, .derived_length = false, .fixed_length = 4096};
    start();
    connected_client stalled = connect(0, client_family::ipv6);
    connected_client resetting = connect(1, client_family::ipv6);
    connected_client reading = connect(2, client_family::ipv4);
    for (const connected_client* client : {&stalled, &resetting, &reading})
        ASSERT_GT(client->daemon_fd, 0);
    auto resetting_reader = std::make_unique<client_reader>(resetting.socket.get());
    client_reader reader(reading.socket.get());

    board.source().start_stream({.frames_per_second = stall_stream_rate, .plan = plan});
    ASSERT_TRUE(resetting_reader->wait_for_size(4096, e2e_deadline));
    resetting_reader.reset();
    const linger abort_on_close{.l_onoff = 1, .l_linger = 0};
    ASSERT_EQ(setsockopt(resetting.socket.get(), SOL_SOCKET, SO_LINGER, &abort_on_close,
                         sizeof abort_on_close),
              0);
    resetting.socket.reset();

    const std::string fd_text = std::to_string(resetting.daemon_fd);
    const std::vector<std::string> by_event = {"Client fd " + fd_text + " closed/error",
                                               "Client 1 (fd " + fd_text +
                                                   "): Marked as disconnected"};
    const std::vector<std::string> by_send = {
        "Client 1 (fd " + fd_text + "): Send video data failed: Connection reset by peer",
        "Client 1 (fd " + fd_text + "): Active close invalid connection (fatal error)"};
    const auto about_it = [&](const std::string& line) {
        return line.find("fd " + fd_text + ")") != std::string::npos ||
               line.rfind("Client fd " + fd_text + " ", 0) == 0;
    };
    ASSERT_TRUE(board.daemon().wait_for(
        output_stream::err,
        [&](const std::string& line) { return line == by_event[1] || line == by_send[1]; }, 0,
        e2e_deadline));
    std::vector<std::string> lines;
    for (const std::string& line : board.stderr_lines())
        if (about_it(line)) lines.push_back(line);
    EXPECT_TRUE(lines == by_event || lines == by_send) << testing::PrintToString(lines);

    const uint32_t streamed = end_stream();
    ASSERT_LT(streamed, ring_capacity);
    const std::string stream = expected_stream(plan, 0, streamed);
    ASSERT_TRUE(reader.wait_for_size(stream.size(), e2e_deadline));
    EXPECT_EQ(first_difference(reader.data(), stream), "");
    EXPECT_TRUE(client_lines(2, reading.daemon_fd).empty());
}

// A client that never reads but keeps sending: its replies cannot start behind the frame its
// full socket holds, and each is dropped a second after it was posted. Its twenty-one replies
// (a configuration write held by a hung fw_setenv, eight commands waiting behind it and twelve
// refused) are all posted at once when the write ends: ten lines, then one count line for the
// rest. The client keeps its slot.
TEST_F(SlowClients, RepliesAClientNeverTakesAreReportedTenASecondAndItStays) {
    constexpr int refused = 12;
    plan = payload_plan{.seed = 7, .derived_length = false, .fixed_length = 4096};
    start();
    connected_client stalled = connect(0, client_family::ipv4);
    connected_client asker = connect(1, client_family::ipv6);
    ASSERT_GT(stalled.daemon_fd, 0);
    client_reader reader(asker.socket.get());
    board.source().start_stream({.frames_per_second = stall_stream_rate, .plan = plan});
    ASSERT_TRUE(wait_client_line(0, stalled.daemon_fd, "Send timeout count: 1/1, keep connection"));
    ASSERT_TRUE(reader.wait_for_size(end_stream() * plan.length_of(0), e2e_deadline));

    // The other client's status, answered at once, shows each chunk taken before the next goes.
    const auto status = [&] {
        const size_t from = reader.size();
        EXPECT_TRUE(send_text(asker.socket.get(), "AT+AB status"));
        const auto deadline = steady_clock::now() + e2e_deadline;
        for (;;) {
            const std::string reply = reader.data().substr(from);
            if (reply.find("\r\nOK\r\n") != std::string::npos) return reply;
            if (steady_clock::now() > deadline) return std::string();
            reader.wait_for_size(reader.size() + 1, 100ms);
        }
    };
    ASSERT_EQ(board_world::add_failure(board.state_dir(), {.pattern = "fw_setenv *", .times = 1,
                                                          .exit_status = 0, .stall = true}),
              0);
    const std::string write = "AT+AB config name:Cam2 pmk: password: hostname:cam.local";
    for (int i = 1; i <= 1 + at_waiting + refused; ++i) {
        ASSERT_TRUE(send_text(stalled.socket.get(), i == 1 ? write : "AT+AB bogus"));
        const std::string taken = "\r\nclient0_at_commands=" + std::to_string(i) + "\r\n";
        std::string reply = status();
        for (int asked = 1; reply.find(taken) == std::string::npos; ++asked) {
            ASSERT_LT(asked, 100) << "chunk " << i << " was not taken: " << reply;
            reply = status();
        }
    }
    const size_t from = board.stderr_lines().size();
    ASSERT_EQ(board_world::release_stalls(board.state_dir()), 0);

    const std::string count_line = "[log] failed replies of client 0: " +
                                   std::to_string(1 + at_waiting + refused - 10) +
                                   " more not shown (at most 10 a second)";
    ASSERT_TRUE(board.wait_stderr(count_line, from));
    std::vector<std::string> expected(10, "Failed to send AT response to (fd " +
                                              std::to_string(stalled.daemon_fd) +
                                              "): Connection timed out");
    expected.push_back(count_line);
    std::vector<std::string> got;
    for (const std::string& line : board.stderr_lines()) {
        if (line.rfind("Failed to send AT response", 0) == 0 ||
            line.rfind("[log] failed replies", 0) == 0) {
            got.push_back(line);
        }
    }
    EXPECT_EQ(got, expected);
    EXPECT_NE(status().find("\r\nclient0_connected=1\r\n"), std::string::npos);
}

// Measured on a radio link: a client with small segments and a small receive buffer pauses
// past its time-out, then asks for the version. Its stream is still whole payloads, in order,
// with the reply whole between two of them.
TEST_F(SlowClients, AClientThatPausesGetsWholePayloadsWithItsReplyBetweenThem) {
    plan = payload_plan{.seed = 7, .derived_length = false, .fixed_length = 4096};
    start();
    connected_client reading = connect(0, client_family::ipv6);
    ASSERT_GT(reading.daemon_fd, 0);
    client_reader reader(reading.socket.get());
    connected_client pausing;
    pausing.socket = connect_in_namespace(board.daemon().pid(), client_family::ipv4,
                                          socket_limits{.max_segment = 1000, .receive_buffer = 4096});
    ASSERT_TRUE(pausing.socket.valid()) << strerror(errno);
    pausing.daemon_fd =
        expect_connection_line(board, 1, logged_address(client_family::ipv4), pausing.socket.get());
    ASSERT_GT(pausing.daemon_fd, 0);

    board.source().start_stream({.frames_per_second = lane_rate(90), .plan = plan});
    ASSERT_TRUE(wait_client_line(1, pausing.daemon_fd, timeout_retry_line));
    ASSERT_TRUE(send_text(pausing.socket.get(), "AT+AB version\r\n"));
    const std::string reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";
    client_reader resumed(pausing.socket.get());
    parsed_stream parsed;
    const auto deadline = steady_clock::now() + e2e_deadline;
    // Until the reply and a few payloads after it have come.
    while (steady_clock::now() < deadline && parsed.problem.empty() &&
           (parsed.replies_after.empty() || parsed.frames.size() < parsed.replies_after[0] + 3)) {
        ASSERT_TRUE(resumed.wait_for_size(resumed.size() + 4096, e2e_deadline));
        parsed = parse_stream(resumed.data(), plan, reply);
    }
    board.source().stop_stream();
    EXPECT_EQ(parsed.problem, "");
    ASSERT_EQ(parsed.replies_after.size(), 1u);
    EXPECT_GT(parsed.replies_after[0], 0u);
    EXPECT_GT(parsed.frames.size(), parsed.replies_after[0]);
}

// ---- the shared read position ----

using ReadPosition = stream_test;

// What an earlier lap left in the ring is stale: the first client starts at live.
TEST_F(ReadPosition, TheFirstClientStartsAtLiveNotAtStoredFrames) {
    start();
    feed_frames(0, ring_capacity);
    ASSERT_TRUE(board.wait_stdout(ring_full_line));

    connected_client client = connect(0, client_family::ipv6);
    ASSERT_GT(client.daemon_fd, 0);
    client_reader reader(client.socket.get());
    feed_frames(ring_capacity, 3);
    const std::string live = expected_stream(plan, ring_capacity, 3);
    ASSERT_TRUE(reader.wait_for_size(live.size(), e2e_deadline));
    EXPECT_EQ(first_difference(reader.data(), live), "");
}

// Silence is only judged while there is video to send: a client that neither sends nor gets
// anything for longer than the limit stays connected.
TEST_F(ReadPosition, AnEmptyRingTimesOutNobody) {
    start();
    connected_client client = connect(0, client_family::ipv4);
    ASSERT_GT(client.daemon_fd, 0);
    client_reader reader(client.socket.get());

    const size_t from = board.stderr_lines().size();
    const auto any_close_line = [](const std::string& line) {
        return line.rfind("Client ", 0) == 0;
    };
    // Longer than the 13 s limit plus the whole-second rounding of the clock it is judged on.
    EXPECT_FALSE(board.daemon().wait_for(output_stream::err, any_close_line, from, 16s));

    feed_frames(0, 3);
    const std::string stream = expected_stream(plan, 0, 3);
    ASSERT_TRUE(reader.wait_for_size(stream.size(), e2e_deadline));
    EXPECT_EQ(first_difference(reader.data(), stream), "");
    EXPECT_TRUE(client_lines(0, client.daemon_fd).empty());
}

// ---- nobody waits for anybody ----

using Fairness = stream_test;

// One client sends a byte every 2 ms (a keep-alive, or a hostile peer): the tick keeps its own
// schedule and the three readers get every frame, in order.
TEST_F(Fairness, ChatterFromOneClientHoldsUpNoFrameForTheOthers) {
    start();
    connected_client chatty = connect(0, client_family::ipv4);
    ASSERT_GT(chatty.daemon_fd, 0);
    client_reader chatty_reader(chatty.socket.get());  // takes its error replies
    std::vector<connected_client> clients;
    std::vector<std::unique_ptr<client_reader>> readers;
    for (int i = 1; i <= 3; ++i) {
        clients.push_back(connect(i, client_family::ipv6));
        ASSERT_GT(clients.back().daemon_fd, 0);
        readers.push_back(std::make_unique<client_reader>(clients.back().socket.get()));
    }
    std::atomic<bool> chatting{true};
    std::thread chatter([&] {
        while (chatting.load() && send_text(chatty.socket.get(), "x"))
            std::this_thread::sleep_for(2ms);
    });
    constexpr uint32_t frames = 270;
    board.source().start_stream(
        {.frames_per_second = lane_rate(90), .count = frames, .plan = plan});
    const std::string stream = expected_stream(plan, 0, frames);
    for (size_t i = 0; i < readers.size(); ++i) {
        EXPECT_TRUE(readers[i]->wait_for_size(stream.size(), e2e_deadline)) << "client " << i + 1;
        EXPECT_EQ(first_difference(readers[i]->data(), stream), "") << "client " << i + 1;
    }
    chatting = false;
    chatter.join();
}

// A client that never reads holds a full socket and still sends a byte now and then (enough to
// stay clear of the silence rule): each of its chunks gets a reply that cannot start and is
// dropped whole after its second. Another client's command is answered meanwhile, between two
// of its payloads.
TEST_F(Fairness, AClientWithAFullSocketThatChattersHoldsUpNoOtherClientsReply) {
    plan = payload_plan{.seed = 9, .derived_length = false, .fixed_length = 4096};
    start();
    connected_client stalled = connect(0, client_family::ipv4);
    connected_client asking = connect(1, client_family::ipv6);
    ASSERT_GT(stalled.daemon_fd, 0);
    ASSERT_GT(asking.daemon_fd, 0);
    client_reader reader(asking.socket.get());

    board.source().start_stream({.frames_per_second = stall_stream_rate, .plan = plan});
    std::atomic<bool> chatting{true};
    std::thread chatter([&] {
        while (chatting.load() && send_text(stalled.socket.get(), "x"))
            std::this_thread::sleep_for(200ms);
    });
    const std::optional<size_t> dropped =
        board.wait_stderr("Failed to send AT response to (fd " +
                          std::to_string(stalled.daemon_fd) + "): Connection timed out");
    bool asked = false;
    parsed_stream parsed;
    if (dropped) {
        asked = send_text(asking.socket.get(), "AT+AB version\r\n");
        const std::string reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";
        const auto deadline = steady_clock::now() + e2e_deadline;
        while (asked && steady_clock::now() < deadline && parsed.problem.empty() &&
               parsed.replies_after.empty() &&
               reader.wait_for_size(reader.size() + 1, e2e_deadline)) {
            parsed = parse_stream(reader.data(), plan, reply);
        }
    }
    chatting = false;
    chatter.join();
    board.source().stop_stream();

    ASSERT_TRUE(dropped);
    EXPECT_TRUE(asked);
    EXPECT_EQ(parsed.problem, "");
    EXPECT_EQ(parsed.replies_after.size(), 1u);
}

// Far above the old one-frame-per-tick rate: every one of four clients gets every frame.
TEST_F(Fairness, FourClientsGetEveryFrameOfAFastSource) {
    start();
    std::vector<connected_client> clients;
    std::vector<std::unique_ptr<client_reader>> readers;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(connect(i, i % 2 == 0 ? client_family::ipv4 : client_family::ipv6));
        ASSERT_GT(clients.back().daemon_fd, 0);
        readers.push_back(std::make_unique<client_reader>(clients.back().socket.get()));
    }
    const double rate = lane_rate(500);
    const uint32_t frames = static_cast<uint32_t>(rate * 4);
    board.source().start_stream({.frames_per_second = rate, .count = frames, .plan = plan});
    const std::string stream = expected_stream(plan, 0, frames);
    for (size_t i = 0; i < readers.size(); ++i) {
        EXPECT_TRUE(readers[i]->wait_for_size(stream.size(), e2e_deadline)) << "client " << i;
        EXPECT_EQ(first_difference(readers[i]->data(), stream), "") << "client " << i;
        EXPECT_TRUE(client_lines(static_cast<int>(i), clients[i].daemon_fd).empty());
    }
}

// The log shows what a client sent, with control bytes and backslashes escaped.
TEST_F(ReceivedText, ControlBytesAreShownEscaped) {
    start();
    connected_client client = connect(0, client_family::ipv6);
    ASSERT_GT(client.daemon_fd, 0);
    ASSERT_TRUE(send_text(client.socket.get(), "AT+AB \x1b[2J\\x\t\xff\r\n"));
    EXPECT_TRUE(board.wait_stdout("Received data from (fd " + std::to_string(client.daemon_fd) +
                                  "): AT+AB \\x1b[2J\\\\x\\x09\\xff\\r\\n"));

    // 1023 bytes shown as \xHH would make a line of over 4 KiB: as many as fit in one line of at
    // most 4096 bytes, its '\n' included, and how many those are.
    std::string chunk;
    std::string shown;
    for (int i = 0; i < 1023; ++i) {
        chunk += static_cast<char>(0x80 + i % 0x80);
        char escaped[8];
        snprintf(escaped, sizeof escaped, "\\x%02x", 0x80 + i % 0x80);
        shown += escaped;
    }
    const std::string prefix = "Received data from (fd " + std::to_string(client.daemon_fd) + "): ";
    const std::string tail_form = " ... (1023 bytes, 1023 shown)";
    const size_t fitting = (4096 - 1 - prefix.size() - tail_form.size()) / 4;
    ASSERT_TRUE(send_text(client.socket.get(), chunk));
    const std::string line = prefix + shown.substr(0, fitting * 4) + " ... (1023 bytes, " +
                             std::to_string(fitting) + " shown)";
    EXPECT_TRUE(board.wait_stdout(line)) << fitting;
    EXPECT_LE(line.size() + 1, 4096u);
}

// ---- the port taken ----

using PortTaken = stream_test;

// Another process on the board listens on 554 before the daemon starts: a holder that binds the
// port, leaves a child keeping it, and then becomes the daemon (perl is in every base system).
// The spidev emulator takes itself out of the environment of whatever it is loaded into, so the
// holder puts it back for the daemon. Arguments: the emulator, then the daemon's command line.
constexpr const char* port_holder = R"(
$ENV{LD_PRELOAD} = shift @ARGV;
use Socket qw(AF_INET6 SOCK_STREAM IPPROTO_IPV6 IPV6_V6ONLY pack_sockaddr_in6 IN6ADDR_ANY);
socket(my $s, AF_INET6, SOCK_STREAM, 0) or die "socket: $!";
setsockopt($s, IPPROTO_IPV6, IPV6_V6ONLY, 0) or die "IPV6_V6ONLY: $!";
bind($s, pack_sockaddr_in6(554, IN6ADDR_ANY)) or die "bind: $!";
listen($s, 4) or die "listen: $!";
defined(my $pid = fork) or die "fork: $!";
if ($pid == 0) { open STDOUT, '>', '/dev/null'; open STDERR, '>', '/dev/null'; sleep; exit 0 }
exec { $ARGV[0] } @ARGV or die "exec: $!";
)";

TEST_F(PortTaken, BindFailsAndTheDaemonRunsOnWithoutAServer) {
    if (getenv("NANVIDEO_E2E_QEMU") != nullptr && *getenv("NANVIDEO_E2E_QEMU") != '\0')
        GTEST_SKIP() << "the holder execs the daemon itself, which an emulated daemon cannot be";
    // The holder reaches the daemon and the emulator inside the board (the build tree may lie
    // below /tmp, which the board replaces): they are copied into the state directory.
    const auto copy_in = [](const std::string& state) {
        for (const char* file : {NANVIDEO_DAEMON_PATH, NANVIDEO_SPIDEV_LIB})
            std::filesystem::copy_file(file, state + "/" + std::filesystem::path(file).filename().string(),
                                       std::filesystem::copy_options::overwrite_existing);
    };
    const std::string inside = "/run/nanvideo-board/";
    board.start_program("/usr/bin/perl",
                        {.args = {"-e", port_holder,
                                  inside + std::filesystem::path(NANVIDEO_SPIDEV_LIB).filename().string(),
                                  inside + std::filesystem::path(NANVIDEO_DAEMON_PATH).filename().string()},
                         .world = copy_in});
    ASSERT_TRUE(board.wait_stdout(server_ready));
    ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    ASSERT_TRUE(board.wait_stderr("bind failed: Address already in use"));

    // The SPI side goes on: a whole ring of frames is taken and counted.
    feed_frames(0, ring_capacity);
    ASSERT_TRUE(board.wait_stdout(ring_full_line));
    EXPECT_TRUE(board.daemon().running());
    const std::vector<std::string> errors = board.stderr_lines();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), "bind failed: Address already in use"), 1);
}

}  // namespace
