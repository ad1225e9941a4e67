// Stopping the daemon from outside: SIGTERM, SIGINT and SIGSEGV while video streams to connected
// clients and a data-path acceptance is being sent kill the `iw event` child, print the
// cleanup lines and end the process with status 0 at once. A stop signal during a hung command
// leaves nothing behind. A stop during a boot-environment write waits for it (within a bound)
// and starts no other. A daemon whose `iw event` ended keeps streaming and starts a new one,
// which a later stop signal kills.
#include <dirent.h>
#include <poll.h>
#include <unistd.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_children.hpp"
#include "exec/emulated_signals.hpp"
#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "notify_listener.hpp"

namespace {

using namespace std::chrono_literals;
using steady = std::chrono::steady_clock;

const std::string bringup_end = "=== add_func custom logic execution completed ===";
const std::string batch_end = "=== All commands execution completed ===";
const std::string listener_start =
    "[nan_event_listener] Start monitoring NAN events (blocking when no data)...";
const std::string stream_restarting =
    "[nan_event_listener] iw event stream closed, restarting in 1000 ms";
const std::string stream_ended = "[nan_event_listener] iw event stream closed, exiting listener";
const std::string cleanup_done = "[sig_handler] Cleanup completed, exiting process...";

// The handler kills one child and exits; it has no reason to take anywhere near this long.
constexpr size_t bytes_before_stop = 64 * 1024;  // a client has seen video flow
constexpr auto reap_poll = 1ms;

std::string received_line(int signo) {
    return "[sig_handler] Received signal " + std::to_string(signo) +
           ", cleaning up resources...";
}

std::string killed_line(pid_t pid) {
    return "[sig_handler] Killed iw event process (PID: " + std::to_string(pid) + ")";
}

using daemon_children::iw_event_children;
using daemon_children::iw_event_cmdline;
using daemon_children::read_file;

// The daemon's children with their command lines, for failure messages.
std::string process_tree(pid_t daemon) {
    std::string text = "children of " + std::to_string(daemon) + ":";
    for (pid_t child : daemon_children::children_of(daemon)) {
        std::string cmdline = read_file("/proc/" + std::to_string(child) + "/cmdline");
        for (char& c : cmdline)
            if (c == '\0') c = ' ';
        text += " [" + std::to_string(child) + ": " + cmdline + "]";
    }
    return text;
}

// True while pid names a live `iw event -t -f` (a zombie counts: it has not been reaped).
bool is_iw_event(pid_t pid) {
    return read_file("/proc/" + std::to_string(pid) + "/cmdline") == iw_event_cmdline ||
           (kill(pid, 0) == 0 && read_file("/proc/" + std::to_string(pid) + "/comm") == "iw\n");
}

// A fresh program's signal state and its own process group, as /proc shows them: what every
// child of the daemon must start with.
std::string signal_state(pid_t pid) {
    std::istringstream status(read_file("/proc/" + std::to_string(pid) + "/status"));
    std::string state;
    for (std::string line; std::getline(status, line);)
        if (line.rfind("SigBlk:", 0) == 0 || line.rfind("SigIgn:", 0) == 0) state += line + "\n";
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    int group = -1;
    const size_t close = stat.rfind(')');
    if (close != std::string::npos) sscanf(stat.c_str() + close + 1, " %*c %*d %d", &group);
    if (group == pid) state += "own group\n";
    return e2e_daemon().qemu.empty() ? state : without_emulator_signals(state);
}
const std::string fresh_signal_state =
    "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\nown group\n";

std::string joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) text += "[" + line + "] ";
    return text;
}

std::vector<std::string> vendor_files(const std::string& state) {
    std::vector<std::string> names;
    DIR* dir = opendir((state + "/tmp").c_str());
    if (dir == nullptr) return names;
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name.rfind("nan_vendor_data_", 0) == 0) names.push_back(name);
    }
    closedir(dir);
    return names;
}

// A TCP client that keeps reading (so the daemon never times it out) until the daemon closes
// the connection.
class video_client {
public:
    explicit video_client(unique_fd fd) : fd_(std::move(fd)) {
        reader_ = std::thread([this] { drain(); });
    }
    ~video_client() {
        stop_ = true;
        reader_.join();
    }
    video_client(const video_client&) = delete;
    video_client& operator=(const video_client&) = delete;

    size_t received() const { return received_; }
    bool closed_by_daemon() const { return closed_; }

    bool wait_received(size_t bytes, std::chrono::milliseconds timeout) const {
        return wait([&] { return received_ >= bytes; }, timeout);
    }
    bool wait_closed(std::chrono::milliseconds timeout) const {
        return wait([&] { return closed_.load(); }, timeout);
    }

private:
    template <typename Predicate>
    static bool wait(Predicate done, std::chrono::milliseconds timeout) {
        const auto deadline = steady::now() + timeout;
        while (!done()) {
            if (steady::now() >= deadline) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    void drain() {
        char buffer[16384];
        while (!stop_) {
            pollfd p{fd_.get(), POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            const ssize_t got = recv(fd_.get(), buffer, sizeof buffer, 0);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) {
                closed_ = true;
                return;
            }
            received_ += static_cast<size_t>(got);
        }
    }

    unique_fd fd_;
    std::atomic<size_t> received_{0};
    std::atomic<bool> closed_{false};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

class signal_test : public board_test {
protected:
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(listener_start));
        const std::optional<size_t> add_func = board.wait_stdout(bringup_end);
        ASSERT_TRUE(add_func);
        ASSERT_TRUE(board.wait_stdout(batch_end, *add_func));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    }

    const std::string& state() const { return board.state_dir(); }

    // Video flows from the source through the daemon to one IPv4 and one IPv6 client.
    void stream_to_clients() {
        board.source().start_stream({.frames_per_second = 200, .plan = plan_});
        for (client_family family : {client_family::ipv4, client_family::ipv6}) {
            unique_fd fd = connect_when_listening(board.daemon().pid(), family, e2e_deadline);
            ASSERT_TRUE(fd.valid()) << "connect: " << strerror(errno);
            clients_.push_back(std::make_unique<video_client>(std::move(fd)));
        }
        expect_video_flowing();
    }

    void expect_video_flowing() {
        for (const auto& client : clients_) {
            const size_t before = client->received();
            EXPECT_TRUE(client->wait_received(before + bytes_before_stop, e2e_deadline))
                << "client got " << client->received() << " bytes";
        }
    }

    // Every send of the data_rsp fails, so the acceptance is inside its attempts and 500 ms
    // pauses; returns once the second attempt has started.
    // The answer to a peer's request hangs in its vendor send: a stop that waited for it would
    // never end.
    void start_hung_acceptance() {
        const char* pattern = "iw nan0 vendor send *";
        ASSERT_EQ(board_world::add_failure(state(), {.pattern = pattern, .times = 1,
                                                     .exit_status = 0, .stall = true}),
                  0);
        const size_t calls_before = board_world::read_calls(state()).size();
        ASSERT_EQ(board_world::inject_peer_request(state(), "02:aa:bb:cc:dd:51", 5), 0);
        ASSERT_GE(board_world::wait_for_call(state(), pattern,
                                             static_cast<int>(e2e_deadline.count()), calls_before),
                  0);
    }

    // Sends the signal and waits until the daemon has been reaped; returns how long that took.
    std::chrono::microseconds stop_with(int signo) {
        const auto sent = steady::now();
        board.daemon().signal(signo);
        const auto deadline = sent + e2e_deadline;
        while (board.daemon().running() && steady::now() < deadline)
            std::this_thread::sleep_for(reap_poll);
        return std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - sent);
    }

    void expect_exit_status_zero() {
        const std::optional<int> status = board.wait_exit();
        ASSERT_TRUE(status);
        ASSERT_TRUE(WIFEXITED(*status)) << describe_wait_status(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
    }

    size_t count(const std::vector<std::string>& lines, const std::string& line) const {
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }

    size_t index_of(const std::vector<std::string>& lines, const std::string& line) const {
        return static_cast<size_t>(std::find(lines.begin(), lines.end(), line) - lines.begin());
    }

    payload_plan plan_{.seed = 11, .derived_length = false, .fixed_length = 4000};
    std::vector<std::unique_ptr<video_client>> clients_;
};

// ---- a stop signal in the middle of everything ----

class SignalStop : public signal_test, public testing::WithParamInterface<int> {};

TEST_P(SignalStop, KillsTheIwEventChildAndAHungSendAndExitsWithStatusZero) {
    const int signo = GetParam();
    start();
    ASSERT_NO_FATAL_FAILURE(stream_to_clients());
    // The listener starts `iw event` on a thread of its own: once the call is logged, the child
    // runs as iw.
    ASSERT_GE(board_world::wait_for_call(state(), "iw event -t -f",
                                         static_cast<int>(e2e_deadline.count())),
              0);
    const std::vector<pid_t> children = iw_event_children(board.daemon().pid());
    ASSERT_EQ(children.size(), 1u) << process_tree(board.daemon().pid());
    const pid_t child = children[0];
    // The daemon ignores SIGPIPE; its child must not, or it outlives a reader that has gone.
    EXPECT_EQ(signal_state(child), fresh_signal_state);
    const std::string ns = mount_namespace(board.daemon().pid());
    ASSERT_FALSE(ns.empty());
    ASSERT_NO_FATAL_FAILURE(start_hung_acceptance());

    const std::chrono::microseconds took = stop_with(signo);
    ASSERT_FALSE(board.daemon().running());
    printf("signal %d: daemon reaped %.3f ms after the signal was sent\n", signo,
           static_cast<double>(took.count()) / 1000.0);
    expect_exit_status_zero();

    const std::vector<std::string> out = board.stdout_lines();
    const size_t received = index_of(out, received_line(signo));
    const size_t killed = index_of(out, killed_line(child));
    const size_t done = index_of(out, cleanup_done);
    ASSERT_LT(received, out.size());
    ASSERT_LT(killed, out.size());
    ASSERT_LT(done, out.size());
    EXPECT_LT(received, killed);
    EXPECT_LT(killed, done);
    EXPECT_EQ(count(out, received_line(signo)), 1u);
    EXPECT_EQ(count(out, killed_line(child)), 1u);
    EXPECT_EQ(count(out, cleanup_done), 1u);
    // The handler's output starts on a line of its own.
    ASSERT_GT(received, 0u);
    EXPECT_EQ(out[received - 1], "");
    // The signal came while the acceptance was still being sent: its attempts never ran out.
    EXPECT_EQ(count(out, stream_restarting), 0u);

    // The child was reaped, not left behind: its id names no `iw event` any more.
    EXPECT_FALSE(is_iw_event(child));
    EXPECT_TRUE(iw_event_children(board.daemon().pid()).empty());
    // Both clients see the connection end.
    for (const auto& client : clients_) EXPECT_TRUE(client->wait_closed(e2e_deadline));
    // The process ends inside the send; the signal path removes its record file, and the hung
    // send was killed, not left to the board.
    EXPECT_EQ(vendor_files(state()), std::vector<std::string>{});
    EXPECT_TRUE(wait_board_processes(ns, [](const std::vector<std::string>& left) {
        return left.empty();
    })) << joined(board_processes(ns));
}

std::string signal_name(const testing::TestParamInfo<int>& param) {
    switch (param.param) {
        case SIGTERM: return "Sigterm";
        case SIGINT: return "Sigint";
        case SIGSEGV: return "Sigsegv";
        case SIGBUS: return "Sigbus";
        case SIGILL: return "Sigill";
        case SIGFPE: return "Sigfpe";
        case SIGABRT: return "Sigabrt";
        default: return "Signal" + std::to_string(param.param);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalStop,
                         testing::Values(SIGTERM, SIGINT, SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT),
                         signal_name);

// Records the hung writes below store.
const std::string new_record = "name:Cam2 pmk: password:secret456 hostname:cam2.local";
const std::string later_record = "name:Cam3 pmk: password:secret789 hostname:cam3.local";

// ---- a stop signal while the server loop is stuck ----

// The thread of process pid that carries this name, or 0.
pid_t thread_named(pid_t pid, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return 0;
    pid_t found = 0;
    while (const dirent* entry = readdir(dir)) {
        const std::string tid = entry->d_name;
        if (tid[0] == '.' || read_file(tasks + "/" + tid + "/comm") != name + "\n") continue;
        found = static_cast<pid_t>(std::stol(tid));
    }
    closedir(dir);
    return found;
}

// Holds one thread of the daemon where it stands, the others running on, as a loop stuck in a
// call would be; released when the process ends.
class held_thread {
public:
    explicit held_thread(pid_t tid) : tid_(tid) {
        int status = 0;
        held_ = ptrace(PTRACE_SEIZE, tid_, nullptr, nullptr) == 0 &&
                ptrace(PTRACE_INTERRUPT, tid_, nullptr, nullptr) == 0 &&
                waitpid(tid_, &status, __WALL) == tid_ && WIFSTOPPED(status);
    }
    ~held_thread() {
        if (!held_) return;
        // The tracer reaps the thread it traces, or the process it belongs to stays a zombie.
        int status = 0;
        while (waitpid(tid_, &status, __WALL) == tid_ && !WIFEXITED(status) &&
               !WIFSIGNALED(status))
            ptrace(PTRACE_CONT, tid_, nullptr, nullptr);
    }
    held_thread(const held_thread&) = delete;
    held_thread& operator=(const held_thread&) = delete;

    bool held() const { return held_; }

private:
    pid_t tid_;
    bool held_ = false;
};

using SignalWhileTheServerIsStuck = signal_test;

// The watchdog's stop comes exactly when the server loop no longer turns.
TEST_F(SignalWhileTheServerIsStuck, TheStopStillEndsTheProcess) {
    start();
    ASSERT_NO_FATAL_FAILURE(stream_to_clients());
    const pid_t server = thread_named(board.daemon().pid(), "tcp-server");
    ASSERT_GT(server, 0);
    auto held = std::make_unique<held_thread>(server);
    ASSERT_TRUE(held->held()) << "ptrace: " << strerror(errno);

    board.daemon().signal(SIGTERM);
    ASSERT_TRUE(board.wait_stdout(cleanup_done));
    held.reset();
    expect_exit_status_zero();
    const std::vector<std::string> out = board.stdout_lines();
    EXPECT_EQ(count(out, received_line(SIGTERM)), 1u);
    EXPECT_EQ(count(out, cleanup_done), 1u);
    EXPECT_TRUE(iw_event_children(board.daemon().pid()).empty());
}

// ---- a stop signal during a boot-environment write ----

constexpr unsigned short_write_bound_ms = 1500;

class SignalDuringWrite : public signal_test {
protected:
    // The daemon runs a configuration write whose fw_setenv hangs until released; returns the
    // pid of that fw_setenv's shell once the call is logged.
    void start_hung_write(const std::vector<std::pair<std::string, std::string>>& environment,
                          const std::string& pattern = "fw_setenv *",
                          const std::string& command = "AT+AB config " + new_record) {
        start({.environment = environment});
        ASSERT_EQ(board_world::add_failure(state(), {.pattern = pattern, .times = 1,
                                                     .exit_status = 0, .stall = true}),
                  0);
        writer_ = connect_when_listening(board.daemon().pid(), client_family::ipv4, e2e_deadline);
        ASSERT_TRUE(writer_.valid()) << "connect: " << strerror(errno);
        ASSERT_TRUE(send_text(writer_.get(), command));
        ASSERT_GE(board_world::wait_for_call(state(), pattern,
                                             static_cast<int>(e2e_deadline.count())),
                  0);
    }

    // The line the handler prints once it waits, with the write's pid.
    std::optional<std::string> wait_line() {
        static const std::regex waiting(R"(^\[sig_handler\] fw_setenv \(PID: [0-9]+\) still )"
                                        R"(running, waiting for it to finish, at most [0-9]+ ms$)");
        const std::optional<size_t> at = board.daemon().wait_for(
            output_stream::out,
            [](const std::string& line) { return std::regex_match(line, waiting); }, 0,
            e2e_deadline);
        if (!at) return std::nullopt;
        return board.stdout_lines()[*at];
    }

    // "fw_setenv (PID: N)" of the handler's waiting line.
    static std::string write_name(const std::string& waiting) {
        return waiting.substr(sizeof "[sig_handler] " - 1,
                              waiting.find(')') + 1 - (sizeof "[sig_handler] " - 1));
    }

    std::chrono::microseconds wait_reaped(steady::time_point since) {
        while (board.daemon().running() && steady::now() < since + e2e_deadline)
            std::this_thread::sleep_for(reap_poll);
        return std::chrono::duration_cast<std::chrono::microseconds>(steady::now() - since);
    }

    unique_fd writer_;
};

double ms(std::chrono::microseconds took) { return static_cast<double>(took.count()) / 1000.0; }

TEST_F(SignalDuringWrite, TheStopWaitsForTheWriteAndStartsNoOther) {
    notify_listener manager(state());
    ASSERT_TRUE(manager.bound());
    ASSERT_NO_FATAL_FAILURE(start_hung_write({manager.variable()}));
    ASSERT_EQ(manager.until("READY=1", e2e_deadline).back(), "READY=1");

    board.daemon().signal(SIGTERM);
    const std::optional<std::string> waiting = wait_line();
    ASSERT_TRUE(waiting);
    // The manager hears that the daemon stops, then is asked for more time while it waits.
    const std::vector<std::string> stopping = manager.until("STOPPING=1", e2e_deadline);
    ASSERT_FALSE(stopping.empty());
    EXPECT_EQ(stopping.back(), "STOPPING=1");
    EXPECT_EQ(manager.next(e2e_deadline), "EXTEND_TIMEOUT_USEC=15000000");
    // A second stop signal neither ends the wait nor starts another one.
    board.daemon().signal(SIGTERM);
    board.daemon().signal(SIGINT);
    // A client asks for another write after the signal: it must never start.
    unique_fd later = connect_in_namespace(board.daemon().pid(), client_family::ipv6);
    ASSERT_TRUE(later.valid()) << "connect: " << strerror(errno);
    ASSERT_TRUE(send_text(later.get(), "AT+AB config " + later_record));
    ASSERT_TRUE(board.daemon().running());

    const auto released = steady::now();
    ASSERT_EQ(board_world::release_stalls(state()), 0);
    const std::chrono::microseconds took = wait_reaped(released);
    ASSERT_FALSE(board.daemon().running());
    printf("stop during a write: daemon reaped %.3f ms after the write was released\n", ms(took));
    expect_exit_status_zero();

    const std::vector<std::string> out = board.stdout_lines();
    const std::string finished = "[sig_handler] " + write_name(*waiting) + " finished";
    EXPECT_EQ(count(out, received_line(SIGTERM)), 1u);
    EXPECT_EQ(count(out, received_line(SIGINT)), 0u);
    EXPECT_EQ(count(out, finished), 1u);
    EXPECT_LT(index_of(out, *waiting), index_of(out, finished));
    EXPECT_LT(index_of(out, finished), index_of(out, cleanup_done));
    EXPECT_EQ(count(out, cleanup_done), 1u);
    // The write was whole; the later one never ran.
    std::string stored;
    EXPECT_EQ(board_world::read_boot_env(state(), "vemuparam", &stored), 0);
    EXPECT_EQ(stored, new_record);
    EXPECT_EQ(board_world::read_call_lines(state(), "fw_setenv").size(), 1u);
    // Nothing is said to the manager after the stop's own messages.
    while (std::optional<std::string> message = manager.next(std::chrono::milliseconds(0)))
        EXPECT_EQ(*message, "EXTEND_TIMEOUT_USEC=15000000");
}

TEST_F(SignalDuringWrite, AWriteThatNeverEndsIsLeftAtTheBound) {
    const std::string bound = std::to_string(short_write_bound_ms);
    ASSERT_NO_FATAL_FAILURE(start_hung_write({{"NANVIDEOD_BOOT_ENV_WAIT_MS", bound}}));
    const std::string ns = mount_namespace(board.daemon().pid());

    const auto sent = steady::now();
    board.daemon().signal(SIGTERM);
    const std::optional<std::string> waiting = wait_line();
    ASSERT_TRUE(waiting);
    EXPECT_TRUE(waiting->ends_with(", at most " + bound + " ms")) << *waiting;
    const std::chrono::microseconds took = wait_reaped(sent);
    ASSERT_FALSE(board.daemon().running());
    printf("stop during a write that never ends: daemon reaped %.3f ms after the signal, bound "
           "%u ms\n",
           ms(took), short_write_bound_ms);
    EXPECT_GE(took, std::chrono::milliseconds(short_write_bound_ms));
    expect_exit_status_zero();
    const std::vector<std::string> out = board.stdout_lines();
    const std::string left = "[sig_handler] " + write_name(*waiting) + " still running after " +
                             bound + " ms, not waiting any longer";
    EXPECT_EQ(count(out, left), 1u);
    EXPECT_LT(index_of(out, left), index_of(out, cleanup_done));
    EXPECT_EQ(count(out, cleanup_done), 1u);

    // The write goes on after the daemon, and stores whole when it ends.
    ASSERT_EQ(board_world::release_stalls(state()), 0);
    EXPECT_TRUE(wait_board_processes(ns, [](const std::vector<std::string>& left_over) {
        return left_over.empty();
    })) << joined(board_processes(ns));
    std::string stored;
    EXPECT_EQ(board_world::read_boot_env(state(), "vemuparam", &stored), 0);
    EXPECT_EQ(stored, new_record);
}

// A crash ends the daemon at once but for the write: once it has gone, its supervisor would
// kill the write half done.
TEST_F(SignalDuringWrite, ACrashWaitsForTheWriteWithinTheBound) {
    const std::string bound = std::to_string(short_write_bound_ms);
    ASSERT_NO_FATAL_FAILURE(start_hung_write({{"NANVIDEOD_BOOT_ENV_WAIT_MS", bound}}));
    const auto sent = steady::now();
    board.daemon().signal(SIGBUS);
    const std::chrono::microseconds took = wait_reaped(sent);
    ASSERT_FALSE(board.daemon().running());
    EXPECT_GE(took, std::chrono::milliseconds(short_write_bound_ms));
    expect_exit_status_zero();
    const std::vector<std::string> out = board.stdout_lines();
    EXPECT_EQ(count(out, received_line(SIGBUS)), 1u);
    EXPECT_EQ(count(out, cleanup_done), 1u);
    ASSERT_EQ(board_world::release_stalls(state()), 0);
}

// A firmware update that never ends (or that waits for the stop itself) is waited for up to the
// cap, and then left to the service manager.
TEST_F(SignalDuringWrite, AFirmwareUpdateIsWaitedForUpToTheCap) {
    const std::string cap = std::to_string(short_write_bound_ms);
    ASSERT_NO_FATAL_FAILURE(start_hung_write({{"NANVIDEOD_STOP_WAIT_CAP_MS", cap}},
                                             "usb.sh *", "AT+AB updatefw"));
    board.daemon().signal(SIGTERM);
    ASSERT_TRUE(board.wait_stdout(cleanup_done));
    expect_exit_status_zero();
    const std::vector<std::string> out = board.stdout_lines();
    static const std::regex waiting(R"(^\[sig_handler\] /bin/usb\.sh \(PID: ([0-9]+)\) still )"
                                    R"(running, waiting for it to finish$)");
    const auto line = std::find_if(out.begin(), out.end(), [](const std::string& text) {
        return std::regex_match(text, waiting);
    });
    ASSERT_NE(line, out.end());
    const std::string name = write_name(*line);
    const std::string left =
        "[sig_handler] " + name + " still running after " + cap + " ms, not waiting any longer";
    EXPECT_EQ(std::vector<std::string>(line, out.end()),
              (std::vector<std::string>{*line, left, cleanup_done}));
    ASSERT_EQ(board_world::release_stalls(state()), 0);
}

// ---- whole lines ----

bool one_whole_line(const std::string& message) {
    return message.find('\n') == message.size() - 1;
}

using WholeLines = signal_test;

// Whatever else writes to the same output (a child's error, a console), each line of the daemon
// arrives whole: one write, no longer than a pipe takes in one piece.
TEST_F(WholeLines, EachWriteIsOneLineOfAtMost4096Bytes) {
    start({.one_message_per_write = true});
    unique_fd client =
        connect_when_listening(board.daemon().pid(), client_family::ipv4, e2e_deadline);
    ASSERT_TRUE(client.valid()) << "connect: " << strerror(errno);
    const std::string unprintable(1023, '\x01');
    ASSERT_EQ(send(client.get(), unprintable.data(), unprintable.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(unprintable.size()));
    ASSERT_TRUE(board.daemon().wait_for_prefix(output_stream::out, "Received data from (fd ", 0,
                                               e2e_deadline));
    stop_with(SIGTERM);
    expect_exit_status_zero();
    ASSERT_TRUE(board.wait_stdout(cleanup_done));
    const std::vector<std::string> messages = board.daemon().messages();
    for (const std::string& message : messages) {
        EXPECT_LE(message.size(), 4096u) << message.substr(0, 80);
        EXPECT_TRUE(one_whole_line(message)) << message.substr(0, 200);
    }
    EXPECT_EQ(messages.back(), cleanup_done + "\n");
}

// On a console as slow as the board's, a burst of long lines is still queued when the stop comes:
// every one is out before the stop's last line, which is the last of all.
TEST_F(WholeLines, LinesQueuedBeforeTheStopAreOutBeforeItsLastLine) {
    constexpr double console_bytes_per_second = 11520;  // 115200 baud
    constexpr int long_lines = 8;
    start({.output_bytes_per_second = console_bytes_per_second});
    unique_fd client =
        connect_when_listening(board.daemon().pid(), client_family::ipv4, e2e_deadline);
    ASSERT_TRUE(client.valid()) << "connect: " << strerror(errno);
    // Printable, so each line stays about 1 KiB: the backlog (under a second of console time)
    // stays well inside the stop's 3 s bound for writing it out, however busy the machine.
    const std::string long_text(1023, 'x');
    for (int sent = 0; sent < long_lines; ++sent) {
        ASSERT_TRUE(send_text(client.get(), long_text));
        // Replied: its line is queued.
        ASSERT_FALSE(read_until(client.get(), "\r\n", e2e_deadline).empty());
    }
    board.daemon().signal(SIGTERM);
    expect_exit_status_zero();
    const std::vector<std::string> out = board.stdout_lines();
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), cleanup_done);
    EXPECT_EQ(std::count_if(out.begin(), out.end(),
                            [](const std::string& line) {
                                return line.rfind("Received data from (fd ", 0) == 0;
                            }),
              long_lines);
}

// ---- the daemon killed outright ----

using SignalKill = signal_test;

// Started by hand, with no service manager to clean up after it, the daemon is killed with no
// chance to stop its children: its `iw event` goes with it, or each restart would add one more.
TEST_F(SignalKill, TheIwEventChildGoesWithTheDaemon) {
    start({.environment = {{"NANVIDEO_IW_EVENT_DEAF", "1"}}});
    const std::string ns = mount_namespace(board.daemon().pid());
    ASSERT_FALSE(ns.empty());
    ASSERT_GE(board_world::wait_for_call(state(), "iw event -t -f",
                                         static_cast<int>(e2e_deadline.count())),
              0);
    ASSERT_EQ(iw_event_children(board.daemon().pid()).size(), 1u)
        << process_tree(board.daemon().pid());

    board.daemon().signal(SIGKILL);
    const std::optional<int> status = board.daemon().wait_ended(e2e_deadline);
    ASSERT_TRUE(status);
    EXPECT_EQ(describe_wait_status(*status), describe_wait_status(SIGKILL));
    EXPECT_TRUE(wait_board_processes(ns, [](const std::vector<std::string>& left) {
        return std::find(left.begin(), left.end(), "iw event -t -f ") == left.end();
    })) << joined(board_processes(ns));
}

// ---- `iw event` ends ----

using SignalAfterRestart = signal_test;

TEST_F(SignalAfterRestart, AnEndedEventStreamIsStartedAgainAndTheNewChildIsKilled) {
    start({.world = [](const std::string& s) {
        board_world::add_failure(s, {"iw event*", 1, 1});
    }});
    ASSERT_TRUE(board.wait_stdout(stream_restarting));
    ASSERT_TRUE(board.daemon().running());
    // Video flows while the listener waits to start again.
    ASSERT_NO_FATAL_FAILURE(stream_to_clients());
    ASSERT_GE(board_world::wait_for_call(state(), "iw event -t -f",
                                         static_cast<int>(e2e_deadline.count()), 1),
              0);
    const std::optional<size_t> first_start = board.wait_stdout(listener_start, 0);
    ASSERT_TRUE(first_start);
    ASSERT_TRUE(board.wait_stdout(listener_start, *first_start + 1));
    std::vector<pid_t> children;
    const auto deadline = steady::now() + e2e_deadline;
    while ((children = iw_event_children(board.daemon().pid())).empty() &&
           steady::now() < deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(children.size(), 1u) << process_tree(board.daemon().pid());
    EXPECT_EQ(signal_state(children[0]), fresh_signal_state);

    stop_with(SIGTERM);
    ASSERT_FALSE(board.daemon().running());
    expect_exit_status_zero();

    const std::vector<std::string> out = board.stdout_lines();
    EXPECT_EQ(count(out, stream_restarting), 1u);
    EXPECT_EQ(count(out, stream_ended), 0u);
    EXPECT_EQ(count(out, killed_line(children[0])), 1u);
    EXPECT_EQ(count(out, cleanup_done), 1u);
    EXPECT_FALSE(is_iw_event(children[0]));
    for (const auto& client : clients_) EXPECT_TRUE(client->wait_closed(e2e_deadline));
}

}  // namespace
