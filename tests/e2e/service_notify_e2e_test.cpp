// The daemon under a service manager: a test stands in for the manager with its own datagram
// socket, passed as NOTIFY_SOCKET with a watchdog period. The manager hears READY=1 once NAN is
// published, a status line, watchdog pings that go on while the camera sends nothing, and
// STOPPING=1 on a stop signal, in that order and nothing after; a start-up that fails, nothing.
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "board_fixture.hpp"
#include "board_world.hpp"
#include "notify_listener.hpp"

namespace {

const std::string bringup_end = "=== add_func custom logic execution completed ===";
const std::string cleanup_done = "[sig_handler] Cleanup completed, exiting process...";
// A ping every 100 ms: several arrive within a short test, even under an emulator.
constexpr char watchdog_usec[] = "200000";
constexpr size_t pings_wanted = 5;

bool is_status(const std::string& message) { return message.rfind("STATUS=", 0) == 0; }

using ServiceNotify = board_test;

TEST_F(ServiceNotify, ReadyStatusPingsWhileTheBusIsIdleThenStopping) {
    notify_listener manager(board.state_dir());
    ASSERT_TRUE(manager.bound());
    board.start_daemon({.environment = {manager.variable(), {"WATCHDOG_USEC", watchdog_usec}}});

    // Nothing until start-up has completed: the first message is READY=1, after bring-up.
    const std::optional<std::string> first = manager.next(e2e_deadline);
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, "READY=1");
    ASSERT_TRUE(board.wait_stdout(bringup_end));
    // The summary of the counters: nothing yet in, nothing lost.
    const std::optional<std::string> summary = manager.next(e2e_deadline);
    ASSERT_TRUE(summary);
    EXPECT_EQ(summary->rfind("STATUS=0 clients, 0.0 frames/s in, 0 lost, 0 bad in the last ", 0), 0u)
        << *summary;

    // The video source sends nothing: the bus is idle, and the pings go on.
    size_t pings = 0;
    while (pings < pings_wanted) {
        const std::optional<std::string> message = manager.next(e2e_deadline);
        ASSERT_TRUE(message) << "after " << pings << " pings";
        if (is_status(*message)) continue;
        ASSERT_EQ(*message, "WATCHDOG=1");
        ++pings;
    }

    board.daemon().signal(SIGTERM);
    const std::vector<std::string> last = manager.until("STOPPING=1", e2e_deadline);
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.back(), "STOPPING=1");
    for (size_t i = 0; i + 1 < last.size(); ++i)
        EXPECT_TRUE(last[i] == "WATCHDOG=1" || is_status(last[i])) << last[i];
    const std::optional<int> status = board.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(board.wait_stdout(cleanup_done));
    EXPECT_EQ(manager.next(std::chrono::milliseconds(0)), std::nullopt);
}

// A start-up that fails says nothing to the manager, however far it got: READY=1 would tell it
// a daemon serves that is about to end.
TEST_F(ServiceNotify, AStartUpThatFailsNeverSaysReady) {
    notify_listener manager(board.state_dir());
    ASSERT_TRUE(manager.bound());
    board.start_daemon({.world =
                            [](const std::string& state) {
                                board_world::add_failure(
                                    state, {"iw phy0 interface add nan0 type __nan", -1, 1});
                            },
                        .environment = {manager.variable()}});
    const std::optional<int> status = board.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0);
    EXPECT_TRUE(board.wait_stdout("NAN initialization failed."));
    EXPECT_EQ(manager.next(std::chrono::milliseconds(0)), std::nullopt);
}

}  // namespace
