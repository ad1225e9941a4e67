// nanvideo-board as a program sees the board: the fixed paths, the network, the environment,
// and the launcher's own usage and errors.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "board_fixture.hpp"

namespace {

// A shell script on the board; `world` adds to the healthy board before the launch.
daemon_options shell_options(const std::string& script, world_setup world = {}) {
    return {.args = {"-c", script}, .emulate_spidev = false, .world = std::move(world)};
}

// Runs the launcher by itself and returns its output (both streams) and exit status.
std::pair<std::string, int> run_launcher(const std::string& arguments) {
    const std::string command = std::string(NANVIDEO_BOARD_LAUNCHER) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    std::string output;
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    const int status = pclose(pipe);
    return {output, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

class BoardLauncher : public board_test {
protected:
    std::vector<std::string> run_shell(const std::string& script, daemon_options options) {
        board.start_program("/bin/sh", options);
        const std::optional<int> status = board.wait_exit();
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << (status ? describe_wait_status(*status) : "still running") << " for " << script;
        return board.stdout_lines();
    }
    std::vector<std::string> run_shell(const std::string& script, world_setup world = {}) {
        return run_shell(script, shell_options(script, std::move(world)));
    }
};

TEST_F(BoardLauncher, PutsTheStateDirectoryAtItsFixedPlaces) {
    board.write_state_file("marker", "state\n");
    board.write_state_file("tmp/marker", "tmp\n");
    EXPECT_EQ(run_shell("echo $NANVIDEO_BOARD; cat /run/nanvideo-board/marker; ls /run; "
                        "cat /tmp/marker; echo written > /tmp/from-inside"),
              (std::vector<std::string>{"/run/nanvideo-board", "state", "nanvideo-board", "tmp"}));
    EXPECT_TRUE(std::filesystem::exists(board.state_dir() + "/tmp/from-inside"));
}

TEST_F(BoardLauncher, OverlaysStandInFilesAndProgramsOnTheHostDirectories) {
    const bool host_has_zqversion = std::filesystem::exists("/etc/zqversion");
    const world_setup stand_ins = [this](const std::string&) {
        board.write_state_file("root/etc/zqversion", "V9.9.9\n");
        board.write_state_file("root/usr/bin/usb.sh", "#!/bin/sh\necho usb stand-in\n", 0755);
        board.write_state_file("root/usr/sbin/reboot", "#!/bin/sh\necho reboot stand-in\n", 0755);
        board.write_state_file("root/usr/bin/reboot", "#!/bin/sh\necho reboot stand-in\n", 0755);
    };
    EXPECT_EQ(run_shell("cat /etc/zqversion; /bin/usb.sh; /usr/sbin/reboot; reboot; "
                        "test -f /etc/passwd && echo host files stay",
                        stand_ins),
              (std::vector<std::string>{"V9.9.9", "usb stand-in", "reboot stand-in",
                                        "reboot stand-in", "host files stay"}));
    EXPECT_EQ(std::filesystem::exists("/etc/zqversion"), host_has_zqversion);
    EXPECT_FALSE(std::filesystem::exists("/usr/bin/usb.sh"));
}

// A BusyBox board: BusyBox is the shell and every tool but the board's own programs, and an
// option after an operand is an operand (here a file that does not exist).
TEST_F(BoardLauncher, BusyBoxBoardHasBusyBoxToolsAndTheBoardsOwnPrograms) {
    const std::string script =
        "sh --help 2>&1 | head -n 1 | cut -d ' ' -f 1; echo \"$PATH $POSIXLY_CORRECT\"; "
        "for tool in grep awk iw reboot; do readlink \"$(command -v $tool)\"; done; "
        "echo x | grep x -c 2>/dev/null; echo \"status $?\"";
    daemon_options options = shell_options(script);
    options.busybox = NANVIDEO_BUSYBOX;
    EXPECT_EQ(run_shell(script, options),
              (std::vector<std::string>{"BusyBox", "/run/busybox/bin 1", NANVIDEO_BUSYBOX,
                                        NANVIDEO_BUSYBOX, "/usr/sbin/iw", "/usr/sbin/reboot",
                                        "status 2"}));
}

// The kernel's module parameters show the board's spidev only, read-only as sysfs keeps them.
TEST_F(BoardLauncher, ShowsItsSpidevBufsizWhereTheKernelDoes) {
    const std::string script =
        "ls /sys/module; cat /sys/module/spidev/parameters/bufsiz; "
        "{ echo 1 > /sys/module/spidev/parameters/bufsiz; } 2>/dev/null || echo read-only";
    EXPECT_EQ(run_shell(script), (std::vector<std::string>{"spidev", "8192", "read-only"}));
}

TEST_F(BoardLauncher, GivesAStockKernelsSpidevBufsizWhenAsked) {
    const std::string script = "cat /sys/module/spidev/parameters/bufsiz";
    daemon_options options = shell_options(script);
    options.spidev_bufsiz = 4096;
    EXPECT_EQ(run_shell(script, options), std::vector<std::string>{"4096"});
}

TEST_F(BoardLauncher, HasOnlyLoopbackAndItIsUp) {
    board.start_program(NANVIDEO_SPIDEV_PROBE,
                        {.args = {"/dev/spidev0.0", "interfaces", "listen_tcp=554", "connect_tcp=554"},
                         .emulate_spidev = false});
    ASSERT_TRUE(board.wait_exit());
    EXPECT_EQ(board.stdout_lines(),
              (std::vector<std::string>{"interfaces: lo", "listen_tcp: ok", "connect_tcp: ok"}));
}

TEST_F(BoardLauncher, EachBoardHasPort554ToItself) {
    board_fixture second(board.state_dir().substr(board.state_dir().rfind('/') + 1) + ".second");
    board.start_program(NANVIDEO_SPIDEV_PROBE,
                        {.args = {"/dev/spidev0.0", "listen_tcp=554", "wait"}});
    second.start_program(NANVIDEO_SPIDEV_PROBE,
                         {.args = {"/dev/spidev0.0", "listen_tcp=554", "wait"}});
    EXPECT_TRUE(board.wait_stdout("listen_tcp: ok"));
    EXPECT_TRUE(second.wait_stdout("listen_tcp: ok"));
}

TEST_F(BoardLauncher, PreloadsTheSpidevEmulatorOnlyIntoTheProgram) {
    board.start_program(NANVIDEO_SPIDEV_PROBE, {.args = {"/dev/spidev0.0", "open_cloexec", "env"}});
    ASSERT_TRUE(board.wait_exit());
    EXPECT_EQ(board.stdout_lines(), (std::vector<std::string>{"open_cloexec: ok",
                                                             "env: LD_PRELOAD=(unset)",
                                                             "child: LD_PRELOAD=(unset)"}));
}

TEST_F(BoardLauncher, WorksForAnOrdinaryUserThroughAUserNamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "started as an ordinary user: every test shows this";
    const world_setup owned_by_nobody = [this](const std::string& state) {
        board.write_state_file("root/etc/zqversion", "V1\n");
        namespace fs = std::filesystem;
        constexpr uid_t nobody = 65534;
        ASSERT_EQ(lchown(state.c_str(), nobody, nobody), 0);
        for (const fs::directory_entry& entry : fs::recursive_directory_iterator(state))
            ASSERT_EQ(lchown(entry.path().c_str(), nobody, nobody), 0) << entry.path();
    };
    const std::string script = "id -u; cat /etc/zqversion; cat /proc/self/uid_map | tr -s ' '";
    daemon_options options = shell_options(script, owned_by_nobody);
    options.wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    EXPECT_EQ(run_shell(script, options), (std::vector<std::string>{"0", "V1", " 0 65534 1"}));
}

TEST(BoardLauncherUsage, ExplainsItselfAndItsErrors) {
    const auto [usage, usage_status] = run_launcher("--help");
    EXPECT_EQ(usage_status, 0);
    EXPECT_EQ(usage.rfind(std::string("Usage: ") + NANVIDEO_BOARD_LAUNCHER + " --state DIR", 0), 0u)
        << usage;

    const auto [missing_state, missing_state_status] = run_launcher("/bin/true");
    EXPECT_EQ(missing_state_status, 125);
    EXPECT_EQ(missing_state, usage);

    const std::string state = std::string(NANVIDEO_E2E_STATE_ROOT) + "/BoardLauncherUsage";
    const auto [no_program, no_program_status] =
        run_launcher("--state " + state + " nanvideo-no-such-program");
    EXPECT_EQ(no_program_status, 127);
    EXPECT_EQ(no_program,
              "nanvideo-board: cannot run nanvideo-no-such-program: No such file or directory\n");

    const auto [no_lib, no_lib_status] =
        run_launcher("--state " + state + " --spidev-lib /nanvideo-no-such.so /bin/true");
    EXPECT_EQ(no_lib_status, 125);
    EXPECT_EQ(no_lib,
              "nanvideo-board: cannot read the spidev emulator /nanvideo-no-such.so: No such file "
              "or directory\n");
}

}  // namespace
