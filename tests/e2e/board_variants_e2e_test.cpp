// Boards that differ from the usual simulated one the way real boards do: a kernel without IPv6,
// and a root file system without one of the programs the daemon runs.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"
#include "stream_parse.hpp"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

const std::string server_ready = "TCP server initialization successful (max 4 clients).";
const std::string ipv4_only_line =
    "IPv6 is not available (kernel without IPv6 or ipv6.disable=1): listening on IPv4 "
    "0.0.0.0:554 only";
const std::string version_reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";

using NoIpv6 = board_test;

// socket(AF_INET6) fails with EAFNOSUPPORT for the daemon alone (the launcher's seccomp filter,
// which reaches a daemon under qemu-arm as well); the test's clients keep IPv6.
TEST_F(NoIpv6, TheServerListensOnIpv4AndAClientGetsVideoAndAReply) {
    const payload_plan plan{.seed = 4, .derived_length = false, .fixed_length = 4096};
    board.start_daemon({.no_ipv6 = true});
    ASSERT_TRUE(board.wait_stdout(server_ready));
    ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    ASSERT_TRUE(board.wait_stderr(ipv4_only_line));

    unique_fd client =
        connect_when_listening(board.daemon().pid(), client_family::ipv4, e2e_deadline);
    ASSERT_TRUE(client.valid()) << strerror(errno);
    const std::string peer = "New IPv4 connection (client 0) from 127.0.0.1:" +
                             std::to_string(local_port(client.get())) + ", fd=";
    ASSERT_TRUE(board.daemon().wait_for_prefix(output_stream::err, peer, 0, e2e_deadline));
    // Nothing listens on IPv6.
    unique_fd ipv6_client = connect_in_namespace(board.daemon().pid(), client_family::ipv6);
    EXPECT_FALSE(ipv6_client.valid());
    EXPECT_EQ(errno, ECONNREFUSED);

    client_reader reader(client.get());
    board.source().start_stream({.frames_per_second = lane_rate(90), .plan = plan});
    ASSERT_TRUE(reader.wait_for_size(3 * 4096, e2e_deadline));
    ASSERT_TRUE(send_text(client.get(), "AT+AB version\r\n"));
    parsed_stream parsed;
    const auto deadline = steady_clock::now() + e2e_deadline;
    // Until the reply and a few payloads after it have come.
    while (steady_clock::now() < deadline && parsed.problem.empty() &&
           (parsed.replies_after.empty() || parsed.frames.size() < parsed.replies_after[0] + 3)) {
        ASSERT_TRUE(reader.wait_for_size(reader.size() + 4096, e2e_deadline));
        parsed = parse_stream(reader.data(), plan, version_reply);
    }
    board.source().stop_stream();
    EXPECT_EQ(parsed.problem, "");
    ASSERT_EQ(parsed.replies_after.size(), 1u);
    EXPECT_GT(parsed.replies_after[0], 0u);

    const std::vector<std::string> errors = board.stderr_lines();
    EXPECT_EQ(std::count(errors.begin(), errors.end(), ipv4_only_line), 1);
    for (const std::string& line : errors)
        EXPECT_EQ(line.rfind("socket(AF_INET6)", 0), std::string::npos) << line;
}

using MissingTool = board_test;

// Without iw (hidden by an overlay whiteout, which needs root; elsewhere the host's iw, if any,
// would stay visible) start-up names it first, then goes its usual way: NAN bring-up fails
// and the daemon ends with status 0.
TEST_F(MissingTool, IsNamedFirstAndStartUpFailsAsBefore) {
    if (geteuid() != 0) GTEST_SKIP() << "hiding the host's iw needs root";
    board_world::options without_iw;
    without_iw.iw_present = false;
    board.start_daemon({.world = [without_iw](const std::string& state) {
        std::string error;
        ASSERT_EQ(board_world::populate(state, without_iw, &error), 0) << error;
    }});
    EXPECT_EQ(board.exit_code(), 0);
    const std::vector<std::string> errors = board.stderr_lines();
    ASSERT_FALSE(errors.empty());
    EXPECT_EQ(errors[0],
              "Missing tool: iw not found in PATH, needed by NAN bring-up, NAN events and "
              "data-path responses");
    EXPECT_EQ(std::count_if(errors.begin(), errors.end(),
                            [](const std::string& line) { return line.rfind("Missing tool:", 0) == 0; }),
              1);
    const std::vector<std::string> out = board.stdout_lines();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), "NAN initialization failed.");
    EXPECT_NE(std::find(out.begin(), out.end(), "Parameter initialization successful."), out.end());
}

}  // namespace
