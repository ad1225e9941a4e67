// The messages a running daemon sends its service manager, stepped through time by hand: a
// status at once and every period, and a watchdog ping every half period.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/temp_dir.hpp"
#include "service_notify.hpp"
#include "service_watch.hpp"
#include "unique_fd.hpp"

namespace {

constexpr int64_t watchdog_us = 2000000;  // pings due every second
constexpr int64_t second_us = 1000000;
const std::string idle_status = "STATUS=0 clients, 0.0 frames/s in, 0 lost, 0 bad in the last ";

// The manager's end: every datagram sent so far.
class manager_socket {
public:
    explicit manager_socket(const std::string& path)
        : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
        bound_ = bind(fd_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    bool bound() const { return bound_; }
    std::vector<std::string> received() {
        std::vector<std::string> messages;
        char buffer[512];
        ssize_t got;
        while ((got = recv(fd_.get(), buffer, sizeof buffer, 0)) >= 0)
            messages.emplace_back(buffer, static_cast<size_t>(got));
        return messages;
    }

private:
    unique_fd fd_;
    bool bound_ = false;
};

using messages = std::vector<std::string>;

class ServiceWatch : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(manager.bound());
        ASSERT_TRUE(notifier.open(dir.file("notify").c_str()));
        counters.started_us = 0;
    }

    temp_dir dir;
    manager_socket manager{dir.file("notify")};
    service_notifier notifier;
    daemon_counters counters;
};

TEST_F(ServiceWatch, StatusEveryPeriodPingsEveryHalfWatchdog) {
    service_watch watch(notifier, watchdog_us, counters);
    watch.step(2 * second_us);
    EXPECT_EQ(manager.received(), messages{idle_status + "2 s"});
    watch.step(2 * second_us + second_us / 2);
    EXPECT_EQ(manager.received(), messages{});
    watch.step(3 * second_us);
    EXPECT_EQ(manager.received(), messages{"WATCHDOG=1"});
    watch.step(4 * second_us);
    EXPECT_EQ(manager.received(), messages{"WATCHDOG=1"});
    counters.frames.stored.add(30);
    watch.step(7 * second_us);
    EXPECT_EQ(manager.received(),
              (messages{"STATUS=0 clients, 4.3 frames/s in, 0 lost, 0 bad in the last 7 s, bus idle 7 s",
                        "WATCHDOG=1"}));
}

TEST_F(ServiceWatch, WithoutAWatchdogOnlyTheStatus) {
    service_watch watch(notifier, 0, counters);
    watch.step(0);
    watch.step(status_period_us - 1);
    watch.step(status_period_us);
    EXPECT_EQ(manager.received(), (messages{idle_status + "0 s", idle_status + "5 s, bus idle 5 s"}));
}

TEST_F(ServiceWatch, NothingLeavesOnceTheStopBegan) {
    service_watch watch(notifier, watchdog_us, counters);
    notifier.begin_stop();
    watch.step(0);
    watch.step(second_us);
    EXPECT_TRUE(notifier.send("STOPPING=1"));
    EXPECT_EQ(manager.received(), messages{"STOPPING=1"});
}

TEST(ServiceNotifier, AbstractNamesAndPathsThatFit) {
    const std::string name = "nanvideo-notify-test-" + std::to_string(getpid());
    unique_fd abstract(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path + 1, name.data(), name.size());
    ASSERT_EQ(bind(abstract.get(), reinterpret_cast<const sockaddr*>(&address),
                   static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size())),
              0);
    service_notifier notifier;
    ASSERT_TRUE(notifier.open(("@" + name).c_str()));
    EXPECT_TRUE(notifier.send("READY=1"));
    char buffer[64] = {};
    EXPECT_EQ(recv(abstract.get(), buffer, sizeof buffer, 0), 7);
    EXPECT_STREQ(buffer, "READY=1");

    // Unusable addresses leave it silent.
    for (const std::string& bad : {std::string(""), std::string("relative/path"),
                                   "/" + std::string(sizeof address.sun_path, 'x')}) {
        EXPECT_FALSE(notifier.open(bad.c_str())) << bad;
        EXPECT_FALSE(notifier.active());
        EXPECT_FALSE(notifier.send("READY=1"));
    }
}

}  // namespace
