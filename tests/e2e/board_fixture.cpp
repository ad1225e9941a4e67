#include "board_fixture.hpp"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <signal.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <stdexcept>

#include "board_world.hpp"

namespace fs = std::filesystem;

namespace {

constexpr const char* board_socket_name = "spi.sock";
// Where the state directory appears inside the board (tools/board).
constexpr const char* board_socket_inside = "/run/nanvideo-board/spi.sock";

// A freshly booted board with its boot environment, version file and Wi-Fi driver.
void healthy_board(const std::string& state_dir) {
    std::string error;
    if (board_world::populate(state_dir, board_world::options(), &error) != 0)
        throw std::runtime_error("cannot set up the board's world: " + error);
}

world_setup& default_world() {
    static world_setup setup = healthy_board;
    return setup;
}

// Overlay work directories are left mode 000; open them up so the tree can go.
void remove_tree(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (!error) return;
    for (auto it = fs::recursive_directory_iterator(path, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error)) fs::permissions(it->path(), fs::perms::owner_all, error);
    }
    fs::remove_all(path);
}

std::string test_name() {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    // The same test on the BusyBox board may run beside the plain one: a state of its own.
    if (!e2e_busybox().empty()) name = "BusyBox." + name;
    for (char& c : name)
        if (c == '/') c = '_';
    return name;
}

void print_lines(const char* title, const std::vector<std::string>& lines) {
    std::cerr << "--- daemon " << title << " (" << lines.size() << " lines)\n";
    for (const std::string& line : lines) std::cerr << line << '\n';
}

std::string environment_or(const char* name, const char* fallback) {
    const char* value = getenv(name);
    return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

board_fixture::board_fixture(const std::string& name)
    : state_dir_(std::string(NANVIDEO_E2E_STATE_ROOT) + "/" + name) {
    remove_tree(state_dir_);
    fs::create_directories(state_dir_);
    source_ = std::make_unique<video_source>(state_dir_ + "/" + board_socket_name);
}

// The whole process group ends first (as the board_process would end it), so both streams are
// read to their end and a report printed just before the end is seen too.
void board_fixture::end_daemon(board_process& daemon) {
    const bool ended_by_itself = !daemon.running();
    kill(-daemon.pid(), SIGKILL);
    daemon.wait_exit(e2e_deadline);
    const std::vector<std::string> out = daemon.lines(output_stream::out);
    const std::vector<std::string> err = daemon.lines(output_stream::err);
    if (!sanitizer_report_lines(err).empty() || !sanitizer_report_lines(out).empty())
        ADD_FAILURE() << "the daemon's output holds a sanitizer report";
    if (!::testing::Test::HasFailure()) return;
    std::cerr << "--- daemon state directory " << state_dir_ << '\n';
    std::optional<int> status = daemon.wait_exit(std::chrono::milliseconds(0));
    if (ended_by_itself && status)
        std::cerr << "--- daemon ended: " << describe_wait_status(*status) << '\n';
    print_lines("stdout", out);
    print_lines("stderr", err);
}

board_fixture::~board_fixture() {
    for (const std::unique_ptr<board_process>& earlier : earlier_daemons_) end_daemon(*earlier);
    if (daemon_) end_daemon(*daemon_);
    daemon_.reset();
    source_.reset();
}

void board_fixture::set_default_world(world_setup setup) { default_world() = std::move(setup); }

void board_fixture::write_state_file(const std::string& relative, const std::string& content,
                                     mode_t mode) const {
    const fs::path path = fs::path(state_dir_) / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
    fs::permissions(path, static_cast<fs::perms>(mode));
}

board_process& board_fixture::start_daemon(const daemon_options& options) {
    const daemon_under_test& chosen = e2e_daemon();
    return launch_program(chosen.program, options, chosen.spidev_lib, chosen.qemu);
}

board_process& board_fixture::start_another_daemon(const daemon_options& options) {
    if (daemon_) earlier_daemons_.push_back(std::move(daemon_));
    const daemon_under_test& chosen = e2e_daemon();
    return launch_program(chosen.program, options, chosen.spidev_lib, chosen.qemu, false);
}

board_process& board_fixture::start_program(const std::string& program,
                                            const daemon_options& options) {
    return launch_program(program, options, NANVIDEO_SPIDEV_LIB, "");
}

board_process& board_fixture::launch_program(const std::string& program,
                                             const daemon_options& options,
                                             const std::string& spidev_lib,
                                             const std::string& qemu, bool fresh_world) {
    if (daemon_) throw std::logic_error("the program runs already");
    if (fresh_world && default_world()) default_world()(state_dir_);
    if (options.world) options.world(state_dir_);

    board_launch launch;
    launch.wrapper = options.wrapper;
    launch.launcher = NANVIDEO_BOARD_LAUNCHER;
    launch.state_dir = state_dir_;
    launch.qemu = qemu;
    launch.no_ipv6 = options.no_ipv6;
    launch.busybox = options.busybox.empty() ? e2e_busybox() : options.busybox;
    launch.spidev_bufsiz = options.spidev_bufsiz;
    launch.output_bytes_per_second = options.output_bytes_per_second;
    launch.program.push_back(program);
    launch.program.insert(launch.program.end(), options.args.begin(), options.args.end());
    if (options.emulate_spidev) {
        launch.spidev_lib = spidev_lib;
        launch.environment = {
            {"NANVIDEO_SPIDEV_PATH", options.spidev_path},
            {"NANVIDEO_SPIDEV_SOCKET", board_socket_inside},
            {"NANVIDEO_SPIDEV_MAX_HZ", std::to_string(options.spidev_max_hz)},
            {"NANVIDEO_SPIDEV_FAIL", options.spidev_fail},
            {"NANVIDEO_SPIDEV_DT_MODE", std::to_string(options.spidev_dt_mode)},
            {"NANVIDEO_SPIDEV_EXPECT_TYPE", std::to_string(options.expect_type)},
        };
    }
    launch.environment.insert(launch.environment.end(), options.environment.begin(),
                              options.environment.end());
    daemon_ = std::make_unique<board_process>(launch);
    return *daemon_;
}

std::optional<size_t> board_fixture::wait_stdout(const std::string& exact, size_t from) {
    return daemon_->wait_for_line(output_stream::out, exact, from, e2e_deadline);
}

std::optional<size_t> board_fixture::wait_stderr(const std::string& exact, size_t from) {
    return daemon_->wait_for_line(output_stream::err, exact, from, e2e_deadline);
}

namespace {

std::vector<std::string> lines_from(board_process& daemon, output_stream stream,
                                    const std::string& first, size_t count, size_t from) {
    const std::optional<size_t> at = daemon.wait_for_line(stream, first, from, e2e_deadline);
    if (!at) return {};
    return daemon.wait_lines(stream, *at, count, e2e_deadline);
}

}  // namespace

std::vector<std::string> board_fixture::stdout_lines_from(const std::string& first, size_t count,
                                                          size_t from) {
    return lines_from(*daemon_, output_stream::out, first, count, from);
}

std::vector<std::string> board_fixture::stderr_lines_from(const std::string& first, size_t count,
                                                          size_t from) {
    return lines_from(*daemon_, output_stream::err, first, count, from);
}

const daemon_under_test& e2e_daemon() {
    static const daemon_under_test chosen = {
        environment_or("NANVIDEO_E2E_DAEMON", NANVIDEO_DAEMON_PATH),
        environment_or("NANVIDEO_E2E_SPIDEV_LIB", NANVIDEO_SPIDEV_LIB),
        environment_or("NANVIDEO_E2E_QEMU", ""),
    };
    return chosen;
}

const std::string& e2e_busybox() {
    static const std::string chosen = environment_or("NANVIDEO_E2E_BUSYBOX", "");
    return chosen;
}

std::vector<std::string> sanitizer_report_lines(const std::vector<std::string>& lines) {
    std::vector<std::string> report;
    for (const std::string& line : lines)
        if (starts_sanitizer_report(line)) report.push_back(line);
    return report;
}

board_test::board_test() : board(test_name()) {}

int board_fixture::exit_code() {
    const std::optional<int> status = wait_exit();
    if (!status) {
        ADD_FAILURE() << "the program did not end";
        return -1;
    }
    if (!WIFEXITED(*status)) {
        ADD_FAILURE() << describe_wait_status(*status);
        return -1;
    }
    return WEXITSTATUS(*status);
}

std::string mount_namespace(pid_t pid) {
    char target[256] = {};
    const std::string link = "/proc/" + std::to_string(pid) + "/ns/mnt";
    const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
    return n > 0 ? std::string(target, static_cast<size_t>(n)) : "";
}

std::vector<std::string> board_processes(const std::string& mount_ns) {
    std::vector<std::string> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = readdir(proc)) {
        const std::string name = entry->d_name;
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (mount_namespace(static_cast<pid_t>(std::stol(name))) != mount_ns) continue;
        std::ifstream in("/proc/" + name + "/cmdline", std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        std::string cmdline = text.str();
        for (char& c : cmdline)
            if (c == '\0') c = ' ';
        found.push_back(cmdline);
    }
    closedir(proc);
    return found;
}

bool wait_board_processes(const std::string& mount_ns,
                          const std::function<bool(const std::vector<std::string>&)>& done) {
    const auto deadline = std::chrono::steady_clock::now() + e2e_deadline;
    while (!done(board_processes(mount_ns))) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}
