// The amd64 package under a real systemd: installed with apt into a fresh Debian 12 root, with
// the simulated board's stand-ins beside it, booted by systemd-nspawn. Every check goes through
// systemctl and journalctl inside the container (reached with nsenter into its PID 1) and
// waits for each state with a deadline. Run by tools/systemd-lane, which makes the root; needs
// root. The tests run in order on one container, each leaving the service running.
//
// NANVIDEO_LANE_ROOT  the root (made by mmdebstrap), NANVIDEO_LANE_DEB  the amd64 package,
// NANVIDEO_LANE_STATE  the board's state folder (bound to /run/nanvideo-board inside).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_world.hpp"
#include "run_command.hpp"
#include "video_source.hpp"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr char board_dir[] = "/run/nanvideo-board";
constexpr char standin_lib_dir[] = "/usr/lib/nanvideo-board";
constexpr char usb_mount[] = "/mnt/nanvideo-usb";
constexpr char inside_path[] = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";
// The last line of a bring-up that has run through; READY follows it.
constexpr char bringup_done[] = "=== All commands execution completed ===";
constexpr char provisioned_value[] = "name:LaneCam pmk: password:lanepass1 hostname:lanecam.local";
constexpr char written_value[] = "name:Written pmk: password:written12 hostname:written.local";
constexpr int watchdog_s = 3;
constexpr int restart_s = 1;
constexpr auto boot_deadline = 120s;
constexpr auto state_deadline = 90s;
constexpr auto poll_pause = 100ms;
constexpr int check_frames = 300;
constexpr double source_fps = 90;

// The simulated SPI bus and board for the packaged daemon, from drop-ins: the packaged unit
// stays as shipped.
std::string board_dropin() {
    std::ostringstream text;
    text << "[Service]\n"
         << "Environment=LD_PRELOAD=" << standin_lib_dir << "/libnanvideo_spidev.so\n"
         << "Environment=NANVIDEO_SPIDEV_PATH=/dev/spidev0.0\n"
         << "Environment=NANVIDEO_SPIDEV_SOCKET=" << board_dir << "/spidev.sock\n"
         << "Environment=NANVIDEO_SPIDEV_BUFSIZ=8192\n"
         << "Environment=NANVIDEO_BOARD=" << board_dir << "\n"
         << "WatchdogSec=" << watchdog_s << "\n"
         << "RestartSec=" << restart_s << "\n";
    return text.str();
}

// /bin/usb.sh: mounts the firmware stick, as a board's script does, then the recording stand-in.
std::string usb_script() {
    return std::string("#!/bin/sh\nmkdir -p ") + usb_mount + "\nmount -t tmpfs nanvideo-usb " +
           usb_mount + "\nexec " + standin_lib_dir + "/usb.sh \"$@\"\n";
}

std::string quoted(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

std::string env_or_empty(const char* name) {
    const char* value = getenv(name);
    return value != nullptr ? value : "";
}

void write_file(const fs::path& path, const std::string& text, fs::perms mode) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::trunc) << text;
    fs::permissions(path, mode);
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    // apt runs dpkg on a terminal: its lines may end in a carriage return.
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

size_t count_lines(const std::vector<std::string>& lines, const std::string& wanted) {
    size_t n = 0;
    for (const std::string& line : lines) n += line == wanted ? 1 : 0;
    return n;
}

bool contains_line(const std::vector<std::string>& lines, const std::string& wanted) {
    return count_lines(lines, wanted) > 0;
}

// The daemon's line when bring-up finds the nan0 of a daemon that ended without its clean-up.
size_t leftover_deletions(const std::vector<std::string>& lines) {
    const std::string head = "Deleting the NAN interface (wdev ";
    const std::string tail = ") left by an earlier run.";
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.size() > head.size() + tail.size() && line.compare(0, head.size(), head) == 0 &&
                     line.compare(line.size() - tail.size(), tail.size(), tail) == 0
                 ? 1
                 : 0;
    return n;
}

class SystemdLane : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        root_ = env_or_empty("NANVIDEO_LANE_ROOT");
        deb_ = env_or_empty("NANVIDEO_LANE_DEB");
        state_ = env_or_empty("NANVIDEO_LANE_STATE");
        if (root_.empty() || deb_.empty() || state_.empty()) {
            setup_error_ = "NANVIDEO_LANE_ROOT, NANVIDEO_LANE_DEB and NANVIDEO_LANE_STATE must be set";
            return;
        }
        if (!install_board()) return;
        source_ = std::make_unique<video_source>(state_ + "/spidev.sock");
        stream_options stream;
        stream.frames_per_second = source_fps;
        source_->start_stream(stream);
        boot();
        // One line, and every check fails: the lane never passes without having run.
        if (!setup_error_.empty()) std::printf("systemd-lane: %s\n", setup_error_.c_str());
    }

    static void TearDownTestSuite() {
        if (pid1_ > 0) {
            std::ofstream(state_ + "/../journal.txt")
                << inside("journalctl -b -o short-monotonic --no-pager").output;
        }
        if (nspawn_ > 0) {
            kill(nspawn_, SIGTERM);  // nspawn halts the container in order
            for (int i = 0; i < 300 && waitpid(nspawn_, nullptr, WNOHANG) == 0; ++i)
                std::this_thread::sleep_for(poll_pause);
            if (waitpid(nspawn_, nullptr, WNOHANG) == 0) {
                kill(nspawn_, SIGKILL);
                waitpid(nspawn_, nullptr, 0);
            }
        }
        source_.reset();
    }

protected:
    void SetUp() override {
        if (!setup_error_.empty()) GTEST_FAIL() << setup_error_;
        // A check that failed half-way leaves no stalled tool behind for the next one.
        board_world::clear_failures(state_);
    }

    // The checks after the first start begin with the service running, whatever the one
    // before them left.
    static void ensure_running() {
        if (show().at("ActiveState") != "active") inside("systemctl start nanvideod.service");
        ASSERT_TRUE(wait_state("active", "running"));
    }

    // A command in the container: its namespaces and root, a clean environment.
    static run_result inside(const std::string& command) {
        return run("nsenter -t " + std::to_string(pid1_) + " -a -r -w env -i PATH=" +
                   inside_path + " NANVIDEO_BOARD=" + board_dir + " sh -c " + quoted(command));
    }

    static std::map<std::string, std::string> show() {
        std::map<std::string, std::string> values;
        const run_result r = inside(
            "systemctl show -p ActiveState,SubState,NRestarts,StatusText,MainPID,Result "
            "nanvideod.service");
        for (const std::string& line : lines_of(r.output)) {
            const size_t eq = line.find('=');
            if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
        }
        return values;
    }

    // What systemctl show printed, into the test's output (the lane's record).
    static std::map<std::string, std::string> show_and_print(const char* when) {
        const std::map<std::string, std::string> values = show();
        std::printf("systemctl show (%s):", when);
        for (const auto& [key, value] : values) std::printf(" %s=%s", key.c_str(), value.c_str());
        std::printf("\n");
        return values;
    }

    static bool wait_for(const std::function<bool()>& done, std::chrono::seconds deadline) {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            std::this_thread::sleep_for(poll_pause);
        }
        return true;
    }

    static bool wait_state(const std::string& active, const std::string& sub) {
        return wait_for(
            [&] {
                const auto s = show();
                return s.at("ActiveState") == active && s.at("SubState") == sub;
            },
            state_deadline);
    }

    // The unit's journal: the daemon's lines and systemd's about it.
    static std::vector<std::string> journal() {
        return lines_of(inside("journalctl -u nanvideod.service -o cat --no-pager").output);
    }

    static bool wait_journal_count(const std::string& line, size_t count) {
        return wait_for([&] { return count_lines(journal(), line) >= count; }, state_deadline);
    }

    static bool nan_up() {
        board_world::driver_view driver;
        if (board_world::read_driver(state_, &driver) != 0) return false;
        for (const auto& iface : driver.interfaces)
            if (iface.name == "nan0") return true;
        return false;
    }

    // A client inside the container gets the source's video, byte for byte.
    static void expect_video() {
        const run_result r = inside("nanvideoctl ::1 check --seed 1 --frames " +
                                    std::to_string(check_frames));
        EXPECT_EQ(r.status, 0) << r.output;
    }

    static std::string root_;
    static std::string deb_;
    static std::string state_;
    static std::string setup_error_;
    static pid_t nspawn_;
    static pid_t pid1_;
    static std::unique_ptr<video_source> source_;

private:
    // The board's stand-ins into the root: iw, ifconfig, reboot, the boot-environment tools
    // (the real ones behind logging stand-ins, on an image in the state folder), /bin/usb.sh,
    // the spidev emulator, and the drop-in that puts them under the daemon.
    static bool install_board() {
        board_world::options options;
        options.env = board_world::boot_env::no_variable;
        std::string error;
        if (board_world::populate(state_, options, &error) != 0) {
            setup_error_ = "cannot make the board: " + error;
            return false;
        }
        const std::string copy = "cp -a " + state_ + "/root/usr/bin/. " + root_ + "/usr/bin/ && cp -a " +
                                 state_ + "/root/usr/sbin/. " + root_ + "/usr/sbin/ && cp " + state_ +
                                 "/root/etc/fw_env.config " + state_ + "/root/etc/zqversion " +
                                 root_ + "/etc/ && mkdir -p " + root_ + standin_lib_dir + " && mv " +
                                 root_ + "/usr/bin/usb.sh " + root_ + standin_lib_dir +
                                 "/usb.sh && cp " + NANVIDEO_SPIDEV_LIB + " " + root_ +
                                 standin_lib_dir + "/ && cp " + deb_ + " " + root_ + "/root/";
        const run_result copied = run(copy);
        if (copied.status != 0) {
            setup_error_ = "cannot install the stand-ins: " + copied.output;
            return false;
        }
        write_file(fs::path(root_) / "usr/bin/usb.sh", usb_script(), fs::perms(0755));
        write_file(fs::path(root_) / "etc/systemd/system/nanvideod.service.d/board.conf",
                   board_dropin(), fs::perms(0644));
        return true;
    }

    static void boot() {
        const std::string console = state_ + "/../console.log";
        nspawn_ = fork();
        if (nspawn_ == 0) {
            FILE* log = fopen(console.c_str(), "w");
            if (log != nullptr) {
                dup2(fileno(log), STDOUT_FILENO);
                dup2(fileno(log), STDERR_FILENO);
            }
            const std::string bind = "--bind=" + state_ + ":" + board_dir;
            execlp("systemd-nspawn", "systemd-nspawn", "--register=no", "--keep-unit", "-D",
                   root_.c_str(), "--boot", "--console=pipe", "--private-network", bind.c_str(),
                   static_cast<char*>(nullptr));
            _exit(127);
        }
        // The container's PID 1 is nspawn's one child.
        const std::string children = "/proc/" + std::to_string(nspawn_) + "/task/" +
                                     std::to_string(nspawn_) + "/children";
        wait_for(
            [&] {
                std::ifstream in(children);
                return static_cast<bool>(in >> pid1_);
            },
            boot_deadline);
        if (pid1_ <= 0) {
            setup_error_ = "systemd-nspawn did not start a container (see " + console + ")";
            return;
        }
        // Until its bus is up, systemctl cannot even ask.
        std::string state;
        wait_for(
            [&] {
                const run_result running = inside("systemctl is-system-running --wait");
                state = running.output.empty() ? "" : lines_of(running.output).back();
                return state == "running" || state == "degraded";
            },
            boot_deadline);
        if (state != "running" && state != "degraded")
            setup_error_ = "systemd did not boot in systemd-nspawn (" + state + "; see " +
                           console + ")";
    }
};

std::string SystemdLane::root_;
std::string SystemdLane::deb_;
std::string SystemdLane::state_;
std::string SystemdLane::setup_error_;
pid_t SystemdLane::nspawn_ = -1;
pid_t SystemdLane::pid1_ = -1;
std::unique_ptr<video_source> SystemdLane::source_;

// apt installs and enables the service; on a board without vemuparam it starts nothing and
// says how to provision; update-rc.d makes the init script's links for sysvinit.
TEST_F(SystemdLane, InstallEnablesAndTellsAnUnprovisionedBoardHowToProvision) {
    const std::string name = fs::path(deb_).filename().string();
    const run_result installed = inside("cd /root && apt install -y ./" + name);
    ASSERT_EQ(installed.status, 0) << installed.output;
    const std::vector<std::string> out = lines_of(installed.output);
    EXPECT_TRUE(contains_line(
        out, "nanvideod is enabled but not started: the boot environment has no vemuparam yet."))
        << installed.output;
    EXPECT_TRUE(contains_line(
        out, "  fw_setenv vemuparam 'name:NAME pmk: password:PASSWORD hostname:NAME.local'"));
    EXPECT_EQ(inside("systemctl is-enabled nanvideod.service").output, "enabled\n");
    const auto s = show_and_print("after apt install");
    EXPECT_EQ(s.at("ActiveState"), "inactive");
    for (const char* link : {"rc2.d/S01nanvideod", "rc3.d/S01nanvideod", "rc4.d/S01nanvideod",
                             "rc5.d/S01nanvideod", "rc0.d/K01nanvideod", "rc1.d/K01nanvideod",
                             "rc6.d/K01nanvideod"})
        EXPECT_TRUE(fs::is_symlink(fs::path(root_) / "etc" / link)) << link;
}

// Once provisioned, systemctl start returns only after READY: bring-up has run through and the
// status line is there the moment it returns.
TEST_F(SystemdLane, StartReturnsOnceReady) {
    ASSERT_EQ(inside(std::string("fw_setenv vemuparam ") + quoted(provisioned_value)).status, 0);
    EXPECT_EQ(inside("fw_printenv -n vemuparam").output, std::string(provisioned_value) + "\n");
    const run_result started = inside("systemctl start nanvideod.service");
    ASSERT_EQ(started.status, 0) << started.output;
    const auto s = show_and_print("right after systemctl start");
    EXPECT_EQ(s.at("ActiveState"), "active");
    EXPECT_EQ(s.at("SubState"), "running");
    EXPECT_NE(s.at("StatusText"), "");
    EXPECT_TRUE(contains_line(journal(), bringup_done));
    EXPECT_TRUE(nan_up());
    const run_result status = inside("systemctl status --no-pager nanvideod.service");
    EXPECT_NE(status.output.find("Status: \"" + s.at("StatusText") + "\""), std::string::npos)
        << status.output;
    expect_video();
}

// A stop while a configuration write waits on a slow fw_setenv: the write ends and is stored,
// and the unit ends inactive, not failed.
TEST_F(SystemdLane, StopWaitsForAConfigurationWrite) {
    ensure_running();
    ASSERT_EQ(board_world::add_failure(state_, {"fw_setenv *", 1, 0, true}), 0);
    const size_t calls = board_world::read_calls(state_).size();
    auto client = std::async(std::launch::async, [] {
        return inside(std::string("nanvideoctl ::1 config ") + quoted(written_value));
    });
    ASSERT_GE(board_world::wait_for_call(state_, "fw_setenv *", 60000, calls), 0);
    auto stop = std::async(std::launch::async, [] { return inside("systemctl stop nanvideod.service"); });
    ASSERT_TRUE(wait_for(
        [] {
            for (const std::string& line : journal())
                if (line.find("[sig_handler] fw_setenv (PID: ") == 0 &&
                    line.find("still running, waiting for it to finish") != std::string::npos)
                    return true;
            return false;
        },
        state_deadline));
    const auto waiting = show_and_print("stop waiting for fw_setenv");
    EXPECT_EQ(waiting.at("ActiveState"), "deactivating");
    ASSERT_EQ(board_world::release_stalls(state_), 0);
    const run_result stopped = stop.get();
    EXPECT_EQ(stopped.status, 0) << stopped.output;
    client.get();
    const auto s = show_and_print("after the stop");
    EXPECT_EQ(s.at("ActiveState"), "inactive");
    EXPECT_EQ(s.at("SubState"), "dead");
    EXPECT_EQ(s.at("Result"), "success");
    std::string stored;
    EXPECT_EQ(board_world::read_boot_env(state_, "vemuparam", &stored), 0);
    EXPECT_EQ(stored, written_value);
    ASSERT_EQ(inside("systemctl start nanvideod.service").status, 0);
}

// A daemon whose server loop stops (SIGSTOP) stops its pings: the watchdog fires, systemd
// restarts it, NAN comes up again and video flows again.
TEST_F(SystemdLane, WatchdogRestartsAStoppedDaemon) {
    ensure_running();
    const auto before = show_and_print("before SIGSTOP");
    const size_t bringups = count_lines(journal(), bringup_done);
    ASSERT_EQ(inside("systemctl kill --kill-who=main -s SIGSTOP nanvideod.service").status, 0);
    ASSERT_TRUE(wait_for(
        [&] {
            const auto s = show();
            return s.at("NRestarts") != before.at("NRestarts") && s.at("SubState") == "running";
        },
        state_deadline));
    ASSERT_TRUE(wait_journal_count(bringup_done, bringups + 1));
    const auto s = show_and_print("after the watchdog's restart");
    EXPECT_EQ(std::stoul(s.at("NRestarts")), std::stoul(before.at("NRestarts")) + 1);
    EXPECT_NE(s.at("MainPID"), before.at("MainPID"));
    EXPECT_TRUE(contains_line(journal(), "nanvideod.service: Watchdog timeout (limit " +
                                             std::to_string(watchdog_s) + "s)!"));
    EXPECT_TRUE(nan_up());
    expect_video();
}

// SIGKILL leaves nan0 behind: the restarted daemon brings NAN up again by its own clean-up.
TEST_F(SystemdLane, SigkillRestartBringsNanUpAgain) {
    ensure_running();
    const auto before = show_and_print("before SIGKILL");
    const size_t bringups = count_lines(journal(), bringup_done);
    const size_t deletions = leftover_deletions(journal());
    ASSERT_EQ(inside("systemctl kill -s SIGKILL nanvideod.service").status, 0);
    ASSERT_TRUE(wait_journal_count(bringup_done, bringups + 1)) << ::testing::PrintToString(journal());
    ASSERT_TRUE(wait_state("active", "running"));
    const auto s = show_and_print("after SIGKILL and the restart");
    EXPECT_EQ(leftover_deletions(journal()), deletions + 1);
    EXPECT_EQ(std::stoul(s.at("NRestarts")), std::stoul(before.at("NRestarts")) + 1);
    EXPECT_NE(s.at("MainPID"), before.at("MainPID"));
    EXPECT_TRUE(nan_up());
    expect_video();
}

// The firmware update's mount is the board's, not the service's alone.
TEST_F(SystemdLane, UpdatefwMountIsSeenOutsideTheService) {
    ensure_running();
    const run_result update = inside("nanvideoctl ::1 updatefw");
    ASSERT_EQ(update.status, 0) << update.output;
    show_and_print("after AT+AB updatefw");
    EXPECT_EQ(inside(std::string("findmnt -n -o SOURCE ") + usb_mount).output, "nanvideo-usb\n");
    inside(std::string("umount ") + usb_mount);
}

// A restart while a client takes video: the old daemon has gone before the new one binds port
// 554 (no bind failure, and the old daemon's last line comes before the new one's first).
TEST_F(SystemdLane, RestartDuringVideoEndsTheOldDaemonFirst) {
    ensure_running();
    auto viewer = std::async(std::launch::async, [] {
        return inside("nanvideoctl ::1 record /dev/null --seconds 60");
    });
    ASSERT_TRUE(wait_for([] { return show().at("StatusText").find("1 client") == 0; },
                         state_deadline));
    const auto before = show_and_print("before the restart, with a viewer");
    ASSERT_EQ(inside("systemctl restart nanvideod.service").status, 0);
    const auto s = show_and_print("right after systemctl restart");
    EXPECT_EQ(s.at("ActiveState"), "active");
    EXPECT_EQ(s.at("SubState"), "running");
    EXPECT_NE(s.at("MainPID"), before.at("MainPID"));
    viewer.get();
    // _PID of each line, in the journal's order.
    const std::vector<std::string> pids = lines_of(
        inside("journalctl -u nanvideod.service -o export --output-fields=_PID --no-pager | "
               "sed -n 's/^_PID=//p'")
            .output);
    size_t last_old = 0;
    size_t first_new = pids.size();
    for (size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] == before.at("MainPID")) last_old = i;
        if (pids[i] == s.at("MainPID") && first_new == pids.size()) first_new = i;
    }
    EXPECT_LT(last_old, first_new);
    for (const std::string& line : journal())
        EXPECT_EQ(line.find("bind failed"), std::string::npos) << line;
    expect_video();
}

// On a provisioned board the package's install script starts the service itself: an upgrade
// (here a reinstall) restarts it, without the provisioning hint.
TEST_F(SystemdLane, ReinstallOnAProvisionedBoardRestartsTheService) {
    ensure_running();
    const auto before = show_and_print("before apt install --reinstall");
    const std::string name = fs::path(deb_).filename().string();
    const run_result installed = inside("cd /root && apt install -y --reinstall ./" + name);
    ASSERT_EQ(installed.status, 0) << installed.output;
    EXPECT_EQ(installed.output.find("nanvideod is enabled but not started"), std::string::npos)
        << installed.output;
    const auto s = show_and_print("right after apt install --reinstall");
    EXPECT_EQ(s.at("ActiveState"), "active");
    EXPECT_EQ(s.at("SubState"), "running");
    EXPECT_NE(s.at("MainPID"), before.at("MainPID"));
    expect_video();
}

}  // namespace
