// The systemd unit as the service manager reads it: `systemd-analyze verify` finds nothing to
// say about it, with this build's daemon at the unit's ExecStart path (an overlay on /usr/sbin
// in a private mount namespace, so the machine's own /usr/sbin is never touched); its manual
// page comes with the package, so verify does not look for it here. The stop's
// time-out leaves the daemon's wait for a boot-environment write room to end.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "common/temp_dir.hpp"
#include "signal_cleanup.hpp"
#include "run_command.hpp"

namespace {

constexpr char unit_path[] = NANVIDEO_SOURCE_DIR "/dist/nanvideod.service";
constexpr char installed_daemon_dir[] = "/usr/sbin";

// The value of the first "key=" line of the unit, or "".
std::string unit_setting(const std::string& key) {
    std::ifstream unit(unit_path);
    for (std::string line; std::getline(unit, line);)
        if (line.rfind(key + "=", 0) == 0) return line.substr(key.size() + 1);
    return "";
}

TEST(ServiceUnit, SystemdFindsNothingToSay) {
    temp_dir dir;
    ASSERT_FALSE(dir.path().empty());
    ASSERT_EQ(run("cp '" NANVIDEO_DAEMON_PATH "' '" + dir.file("nanvideod") + "'").status, 0);
    // Root or not: a user namespace maps us to root inside, where the overlay may be mounted.
    const std::string unshare = geteuid() == 0 ? "unshare --mount --propagation private"
                                               : "unshare --map-root-user --mount";
    const std::string inside = "mount -t overlay overlay -o lowerdir=" + dir.path() + ":" +
                               installed_daemon_dir + " " + installed_daemon_dir +
                               " && systemd-analyze verify --man=no " + unit_path;
    const run_result verified = run(unshare + " -- sh -c '" + inside + "'");
    EXPECT_EQ(verified.output, "");
    EXPECT_EQ(verified.status, 0) << verified.output;
}

TEST(ServiceUnit, StopTimeOutOutlastsTheWaitForABootEnvironmentWrite) {
    const std::string stop = unit_setting("TimeoutStopSec");
    ASSERT_FALSE(stop.empty());
    EXPECT_GT(std::stoul(stop) * 1000, default_boot_env_write_wait_ms);
}

}  // namespace
