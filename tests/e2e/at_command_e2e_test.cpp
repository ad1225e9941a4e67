// The device parameters and the AT commands end to end: the real daemon on the simulated board,
// its boot environment behind the real fw_printenv and fw_setenv, clients over TCP inside the
// board's network namespace, and the stand-ins of reboot and /bin/usb.sh.
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "board_world.hpp"
#include "client_reader.hpp"
#include "daemon_children.hpp"
#include "expected_lines.hpp"
#include "stream_parse.hpp"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string default_record = board_world::default_vemuparam;
const std::string default_query_reply = default_record + "\r\nOK\r\n";
const std::string version_reply = std::string(board_world::default_zqversion) + "\r\nOK\r\n";

const std::string ok_reply = "OK\r\n";
const std::string invalid_format = "ERROR: Invalid input format\r\n";
const std::string missing_field = "ERROR: Missing required field\r\n";
const std::string bad_pmk = "ERROR: Invalid PMK length (must be 32 characters)\r\n";
const std::string bad_password = "ERROR: Invalid password length (8-63 ASCII)\r\n";
const std::string bad_hostname =
    "ERROR: Invalid hostname format or empty, hostname format (a-z/A-Z/0-9/-, no leading/trailing "
    "-, ends with .local)\r\n";
const std::string buffer_overflow = "ERROR: Buffer overflow\r\n";
const std::string bad_name = "ERROR: Invalid name characters or empty\r\n";
const std::string command_failed = "ERROR: Command execution failed\r\n";

const std::string param_ok_line = "Parameter initialization successful.";
const std::string param_failed_line = "Parameter initialization failed.";
const std::string add_func_done = "=== add_func custom logic execution completed ===";
const std::string batch_done = "=== All commands execution completed ===";
const std::string truncated_line = "Warning: Command output exceeds buffer limit, truncated!";

// The longest parameter text the daemon reads: its buffers hold 732 bytes with the NUL.
constexpr size_t stored_text_limit = 731;

// An absence cannot be waited for: a client that must receive nothing is watched this long
// after everything that would have reached it has been handed to the daemon. A slow machine can
// only make such a check pass wrongly, never fail wrongly; the matching positive tests wait for
// the same bytes with the full deadline.
constexpr std::chrono::milliseconds quiet_window = 500ms;

// A parameter value that the shell would run, expand or unquote between double quotes.
constexpr const char* shell_pmk = "`touch${IFS}/tmp/pwned`\"\\$HOME!!";
constexpr const char* shell_password = "$(touch${IFS}/tmp/pwned)\"q\\`touch${IFS}/tmp/pwned`$$\\\"";

std::string record_text(const std::string& name, const std::string& pmk, const std::string& password,
                        const std::string& hostname) {
    return "name:" + name + " pmk:" + pmk + " password:" + password + " hostname:" + hostname;
}

// A value as it must appear between double quotes in the daemon's fw_setenv command.
std::string double_quoted_form(const std::string& value) {
    std::string out;
    for (char c : value) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out;
}

std::string failure_line(int fd, int code) {
    return "AT command execution failed (fd " + std::to_string(fd) + "), error code: " +
           std::to_string(code);
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

bool ends_with(const std::string& text, const std::string& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Reads one reply: until `expected` has arrived whole, or what arrived can no longer become it
// (another reply, or more than it), or the deadline.
std::string read_reply(int fd, const std::string& expected) {
    std::string data;
    const auto deadline = std::chrono::steady_clock::now() + e2e_deadline;
    while (data.size() < expected.size() && expected.compare(0, data.size(), data) == 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        const std::string more = read_until(fd, "\r\n", left);
        if (more.empty()) break;
        data += more;
    }
    return data;
}

// Everything that arrives within the quiet window.
std::string read_quiet(int fd) {
    return read_bytes(fd, std::numeric_limits<size_t>::max(), quiet_window);
}

std::string payload_bytes(const payload_plan& plan, uint32_t first, uint32_t count) {
    std::string bytes;
    for (uint32_t n = first; n < first + count; ++n) {
        const std::vector<uint8_t> payload = plan.payload(n);
        bytes.append(payload.begin(), payload.end());
    }
    return bytes;
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool wait_for_file(const std::string& path) {
    const auto deadline = std::chrono::steady_clock::now() + e2e_deadline;
    while (access(path.c_str(), F_OK) != 0) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// ---- descriptors ----

using descriptor_map = std::map<int, std::string>;  // number -> link target

// The descriptors of a process as the host sees them; empty when it has gone.
descriptor_map process_descriptors(pid_t pid) {
    descriptor_map fds;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return fds;
    while (dirent* entry = readdir(d)) {
        if (entry->d_name[0] == '.') continue;
        char target[512] = {};
        const std::string link = dir + "/" + entry->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0) fds[atoi(entry->d_name)] = target;
    }
    closedir(d);
    return fds;
}

// "N target" lines, as the descriptor-listing stand-in writes them.
descriptor_map parse_descriptor_listing(const std::string& text) {
    descriptor_map fds;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        const size_t blank = line.find(' ');
        if (blank == std::string::npos) continue;
        fds[atoi(line.substr(0, blank).c_str())] = line.substr(blank + 1);
    }
    return fds;
}

std::string describe(const descriptor_map& fds) {
    std::string text;
    for (const auto& [fd, target] : fds) text += "  " + std::to_string(fd) + " -> " + target + "\n";
    return text;
}

// Every process below pid (children, their children, ...), at the moment of the call.
std::vector<pid_t> descendants_of(pid_t root) {
    std::map<pid_t, std::vector<pid_t>> children;
    DIR* d = opendir("/proc");
    if (d == nullptr) return {};
    while (dirent* entry = readdir(d)) {
        const pid_t pid = atoi(entry->d_name);
        if (pid <= 0) continue;
        const pid_t parent = daemon_children::parent_of(pid);
        if (parent > 0) children[parent].push_back(pid);
    }
    closedir(d);
    std::vector<pid_t> found;
    std::vector<pid_t> pending = {root};
    while (!pending.empty()) {
        const pid_t pid = pending.back();
        pending.pop_back();
        for (pid_t child : children[pid]) {
            found.push_back(child);
            pending.push_back(child);
        }
    }
    return found;
}

std::string command_line_of(pid_t pid) {
    std::string text = read_file("/proc/" + std::to_string(pid) + "/cmdline");
    std::replace(text.begin(), text.end(), '\0', ' ');
    return text;
}

// The descriptors of `child` (past its standard three, which it inherits on purpose) that are
// one of the daemon's own open files: the same socket, epoll set, pipe or file. Whatever the
// test program itself holds is not the daemon's own: descriptors that the test program inherited
// from whoever started it pass through the launcher to the daemon and on to its children.
std::vector<std::string> leaked_descriptors(const descriptor_map& daemon, const descriptor_map& child) {
    std::set<std::string> inherited;
    for (const auto& [fd, target] : process_descriptors(getpid())) inherited.insert(target);
    std::set<std::string> daemon_own;
    for (const auto& [fd, target] : daemon)
        if (fd > STDERR_FILENO && inherited.count(target) == 0) daemon_own.insert(target);
    std::vector<std::string> leaks;
    for (const auto& [fd, target] : child) {
        if (fd <= STDERR_FILENO) continue;
        // An epoll set has no name of its own; the board's programs never make one.
        if (daemon_own.count(target) != 0 || target == "anon_inode:[eventpoll]")
            leaks.push_back(std::to_string(fd) + " -> " + target);
    }
    return leaks;
}

// ---- stand-ins written for these tests ----

// A reboot that lists its own open descriptors, says that it runs, and returns only once the
// test lets it (or after about a minute, so that it never outlives a failed test by much).
std::string blocking_reboot_script() {
    return "#!/bin/sh\n"
           // The shell's own descriptors, listed by a subshell (portable: BusyBox's find has
           // no -printf).
           "(for fd in /proc/$$/fd/*; do printf '%s %s\\n' \"${fd##*/}\" \"$(readlink \"$fd\")\"; done)"
           " > \"$NANVIDEO_BOARD/reboot.fds\"\n"
           "echo started > \"$NANVIDEO_BOARD/reboot.started\"\n"
           "n=0\n"
           "while [ ! -e \"$NANVIDEO_BOARD/reboot.release\" ]; do\n"
           "  n=$((n + 1))\n"
           "  [ \"$n\" -gt 6000 ] && exit 3\n"
           "  sleep 0.01\n"
           "done\n"
           "echo returned > \"$NANVIDEO_BOARD/reboot.returned\"\n"
           "exit 0\n";
}

// Replaces both reboot stand-ins (the shell may find either first).
void install_blocking_reboot(const std::string& state) {
    for (const char* file : {"root/usr/sbin/reboot", "root/usr/bin/reboot"}) {
        const std::string path = state + "/" + file;
        std::ofstream(path, std::ios::trunc) << blocking_reboot_script();
        ASSERT_EQ(chmod(path.c_str(), 0755), 0);
    }
}

// Every file or directory named `name` below dir.
std::vector<std::string> find_named(const std::string& dir, const std::string& name) {
    std::vector<std::string> found;
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(dir, fs::directory_options::skip_permission_denied, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->path().filename() == name) found.push_back(it->path().string());
    }
    return found;
}

// What the host's /tmp holds under a name: nothing, or the file's identity and time.
std::string host_file_identity(const std::string& path) {
    struct stat st{};
    if (lstat(path.c_str(), &st) != 0) return "absent";
    return std::to_string(st.st_ino) + "@" + std::to_string(st.st_mtim.tv_sec) + "." +
           std::to_string(st.st_mtim.tv_nsec);
}

// ---- the fixture ----

struct at_client {
    unique_fd socket;
    int daemon_fd = -1;  // the client's descriptor inside the daemon, as its log lines show it
};

class at_test : public board_test {
protected:
    // Starts the daemon and waits until it idles after NAN bring-up, so that commands run on a
    // quiet board.
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(param_ok_line));
        const std::optional<size_t> add_func = board.wait_stdout(add_func_done);
        ASSERT_TRUE(add_func);
        ASSERT_TRUE(board.wait_stdout(batch_done, *add_func));
    }

    // Retried while the server is not yet listening: its start-up line comes before it listens.
    at_client connect(client_family family = client_family::ipv4) {
        at_client client;
        client.socket = connect_when_listening(board.daemon().pid(), family, e2e_deadline);
        if (!client.socket.valid()) {
            ADD_FAILURE() << "cannot connect: " << strerror(errno);
            return client;
        }
        const uint16_t port = local_port(client.socket.get());
        const std::string needle = ":" + std::to_string(port) + ", fd=";
        const std::optional<size_t> at = board.daemon().wait_for(
            output_stream::err,
            [&needle](const std::string& line) {
                return starts_with(line, "New IPv") && line.find(needle) != std::string::npos;
            },
            0, e2e_deadline);
        if (!at) {
            ADD_FAILURE() << "the daemon did not report the connection from port " << port;
            return client;
        }
        const std::string line = board.stderr_lines()[*at];
        client.daemon_fd = atoi(line.c_str() + line.find(needle) + needle.size());
        return client;
    }

    // Sends one command and expects exactly `reply` back; then, for a failing command, its line.
    void exchange(const at_client& client, const std::string& command, const std::string& reply,
                  int code = 0) {
        SCOPED_TRACE("command \"" + command + "\"");
        const size_t stderr_from = board.stderr_lines().size();
        ASSERT_TRUE(send_text(client.socket.get(), command));
        EXPECT_EQ(read_reply(client.socket.get(), reply), reply);
        if (code == 0) return;
        // Or, past ten failures in a second, the count line that stands for it.
        const std::string failure = failure_line(client.daemon_fd, code);
        EXPECT_TRUE(board.daemon().wait_for(
            output_stream::err,
            [&](const std::string& line) { return line == failure || is_failure_count(line); },
            stderr_from, e2e_deadline));
    }

    std::vector<std::string> failure_lines() const {
        std::vector<std::string> lines;
        for (const std::string& line : board.stderr_lines())
            if (starts_with(line, "AT command execution failed")) lines.push_back(line);
        return lines;
    }

    static bool is_failure_count(const std::string& line) {
        return starts_with(line, "[log] failed commands of client ");
    }

    // One client's failures as the log shows them when they come faster than ten a second:
    // the lines let through, each exactly the expected one, and count lines that stand for the
    // expected lines held back, in order. A count comes up to a second late: it is waited for.
    void expect_failure_lines_through_limit(const std::vector<std::string>& expected) {
        static const std::string count_suffix = " more not shown (at most 10 a second)";
        size_t accounted = 0;
        size_t examined = 0;
        while (accounted < expected.size()) {
            const std::vector<std::string> lines = board.stderr_lines();
            for (; examined < lines.size() && accounted < expected.size(); ++examined) {
                const std::string& line = lines[examined];
                if (starts_with(line, "AT command execution failed")) {
                    EXPECT_EQ(line, expected[accounted]);
                    ++accounted;
                } else if (is_failure_count(line)) {
                    ASSERT_GT(line.size(), count_suffix.size()) << line;
                    EXPECT_EQ(line.substr(line.size() - count_suffix.size()), count_suffix);
                    accounted += strtoul(line.c_str() + line.find(": ") + 2, nullptr, 10);
                }
            }
            if (accounted >= expected.size()) break;
            ASSERT_TRUE(board.daemon().wait_for(output_stream::err, is_failure_count, examined,
                                                e2e_deadline))
                << accounted << " of " << expected.size() << " failures accounted for";
        }
        EXPECT_EQ(accounted, expected.size());
    }

    std::string stored_record() {
        std::string value;
        EXPECT_EQ(board_world::read_boot_env(board.state_dir(), "vemuparam", &value), 0);
        return value;
    }

    std::string state_file(const std::string& name) const { return board.state_dir() + "/" + name; }

    // Expects the daemon to end after start-up with status 0 and stdout to end with `tail`.
    void expect_stopped_with(const std::vector<std::string>& tail) {
        const std::optional<int> status = board.wait_exit();
        ASSERT_TRUE(status);
        ASSERT_TRUE(WIFEXITED(*status)) << describe_wait_status(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        const std::vector<std::string> lines = board.stdout_lines();
        ASSERT_GE(lines.size(), tail.size());
        EXPECT_EQ(std::vector<std::string>(lines.end() - static_cast<long>(tail.size()), lines.end()), tail);
        // Parameters come before NAN: nothing touched the Wi-Fi device.
        EXPECT_TRUE(board_world::read_call_lines(board.state_dir(), "iw").empty());
    }

    // The lines from `first` on, as many as `expected` holds.
    void expect_lines_from(const std::string& first, const std::vector<std::string>& expected) {
        EXPECT_EQ(board.stdout_lines_from(first, expected.size()), expected);
    }
};

daemon_options with_world(world_setup world) {
    daemon_options options;
    options.world = std::move(world);
    return options;
}

daemon_options with_env(board_world::boot_env env, const std::string& vemuparam = default_record) {
    return with_world([env, vemuparam](const std::string& state) {
        board_world::options opts;
        opts.env = env;
        opts.vemuparam = vemuparam;
        ASSERT_EQ(board_world::populate(state, opts), 0);
    });
}

// ---- start-up ----

using ParamStartup = at_test;

TEST_F(ParamStartup, StoredRecordLoads) {
    start();
    expect_lines_from("Extracted the parambuf=" + default_record,
                      {"Extracted the parambuf=" + default_record,
                       "Parse entire parameter=" + default_record, param_ok_line});
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "fw_printenv"),
              std::vector<std::string>{"fw_printenv -n vemuparam"});
}

TEST_F(ParamStartup, MissingVariableStopsTheDaemon) {
    board.start_daemon(with_env(board_world::boot_env::no_variable));
    expect_stopped_with({"Command executed successfully!", "No parambuf found (command returned empty)!",
                         "Failed to get parameter!", expected::provision_line, param_failed_line});
}

TEST_F(ParamStartup, EmptyVariableStopsTheDaemon) {
    board.start_daemon(with_env(board_world::boot_env::empty_value));
    expect_stopped_with({"Command executed successfully!", "No parambuf found (command returned empty)!",
                         "Failed to get parameter!", expected::provision_line, param_failed_line});
}

TEST_F(ParamStartup, RecordThatDoesNotValidateStopsTheDaemon) {
    const std::string record = "name:NanCam pmk: password:secret123 hostname:nancam";
    board.start_daemon(with_env(board_world::boot_env::record, record));
    expect_stopped_with({"Command executed successfully!", "Extracted the parambuf=" + record,
                         "Failed to parse parameter!", param_failed_line});
}

// Runs of blanks separate items like one blank, so a long stored text can still be a valid
// record; the 732nd character is the first one cut.
std::string padded_record(size_t length, const std::string& hostname) {
    const std::string head = "name:NanCam pmk: password:secret123";
    const std::string tail = " hostname:" + hostname;
    return head + std::string(length - head.size() - tail.size(), ' ') + tail;
}

TEST_F(ParamStartup, StoredTextOver731CharactersIsCut) {
    // The cut takes the last "l" and leaves exactly a valid hostname.
    const std::string record = padded_record(stored_text_limit + 1, "nancam.locall");
    const std::string kept = record.substr(0, stored_text_limit);
    ASSERT_TRUE(ends_with(kept, " hostname:nancam.local"));
    start(with_env(board_world::boot_env::record, record));
    expect_lines_from(truncated_line, {truncated_line, "Command executed successfully!",
                                       "Extracted the parambuf=" + kept,
                                       "Parse entire parameter=" + default_record, param_ok_line});
}

TEST_F(ParamStartup, CutThatBreaksTheRecordStopsTheDaemon) {
    const std::string record = padded_record(stored_text_limit + 1, "nancam.local");
    board.start_daemon(with_env(board_world::boot_env::record, record));
    expect_stopped_with({truncated_line, "Command executed successfully!",
                         "Extracted the parambuf=" + record.substr(0, stored_text_limit),
                         "Failed to parse parameter!", param_failed_line});
}

TEST_F(ParamStartup, StoredShellCharactersAreReadAsTheyAre) {
    const std::string record = record_text("NanCam", shell_pmk, shell_password, "nancam.local");
    const std::string host_before = host_file_identity("/tmp/pwned");
    start(with_env(board_world::boot_env::record, record));
    expect_lines_from("Parse entire parameter=" + record,
                      {"Parse entire parameter=" + record, param_ok_line});
    at_client client = connect();
    exchange(client, "AT+AB config", record + "\r\nOK\r\n");
    EXPECT_TRUE(find_named(board.state_dir(), "pwned").empty());
    EXPECT_EQ(host_file_identity("/tmp/pwned"), host_before);
}

// ---- replies ----

struct at_case {
    std::string command;
    std::string reply;
    int code;
};

std::vector<at_case> edge_cases() {
    const std::string record_head = "AT+AB config name:Cam2 ";
    return {
        {"  at+ab VERSION\r\n", version_reply, 0},
        {"AT+ABversion", version_reply, 0},
        {"aT+aB\tVeRsIoN \t\r\n", version_reply, 0},
        {"AT+AB version extra", invalid_format, -1},
        {"AT+AB configure", invalid_format, -1},
        // One chunk, one text: the version word matches and the rest is its argument.
        {"AT+AB version\r\nAT+AB reset\r\n", invalid_format, -1},
        {"AT+AB", invalid_format, -1},
        {"AT+A", invalid_format, -1},
        {"\r\n", invalid_format, -1},
        {"    ", invalid_format, -1},
        {"AT+AB reboot", invalid_format, -1},
        {"AT+AB reset now", invalid_format, -1},
        {"AT+AB updatefw usbh_msc", invalid_format, -1},
        {"AB+AT version", invalid_format, -1},
        {record_head.substr(0, record_head.size() - 1), missing_field, -2},
        {record_head + "pmk: password: hostname:cam.local name:Cam3", missing_field, -2},
        {record_head + "pmk: password:", missing_field, -2},
        {record_head + "pmk password: hostname:cam.local", invalid_format, -1},
        {record_head + "pmk: password: colour:red", invalid_format, -1},
        {record_head + "pmk:" + std::string(31, 'k') + " password: hostname:cam.local", bad_pmk, -3},
        {record_head + "pmk:" + std::string(33, 'k') + " password: hostname:cam.local", bad_pmk, -3},
        {record_head + "pmk: password:1234567 hostname:cam.local", bad_password, -4},
        // Plain lengths 7 and 4, whatever their escaped forms: start-up would refuse them.
        {"AT+AB config name:Cam pmk: password:p\\ssw0r hostname:cam.local", bad_password, -4},
        {"AT+AB config name:Cam pmk: password:\"\"\"\" hostname:cam.local", bad_password, -4},
        // A repeated key leaves another one missing: an empty hostname, an empty name.
        {"AT+AB config name:Cam name:Cam2 pmk: password:secret123", missing_field, -2},
        {"AT+AB config pmk: pmk: password:secret123 hostname:cam.local", missing_field, -2},
        {record_head + "pmk: password: hostname:my.cam.local", bad_hostname, -5},
        {record_head + "pmk: password: hostname:", bad_hostname, -5},
        {record_head + "pmk: password: hostname:" + std::string(260, 'h') + ".local", buffer_overflow, -6},
        {record_head + "pmk: password:" + std::string(68, '"') + " hostname:cam.local", buffer_overflow, -6},
        {"AT+AB config name:Cam! pmk: password: hostname:cam.local", bad_name, -7},
        {"AT+AB config name:Ca\"m pmk: password: hostname:cam.local", bad_name, -7},
        // Nothing above changed what is stored.
        {"at+ab CONFIG \t\r\n", default_query_reply, 0},
    };
}

using AtReplies = at_test;

TEST_F(AtReplies, EveryEdgeCaseAndResultCodeGivesItsExactReply) {
    start();
    at_client client = connect(client_family::ipv4);
    std::vector<std::string> expected_failures;
    const auto first_sent = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration twelfth_answered = std::chrono::hours(1);
    for (const at_case& c : edge_cases()) {
        exchange(client, c.command, c.reply, c.code);
        if (c.code == 0) continue;
        expected_failures.push_back(failure_line(client.daemon_fd, c.code));
        if (expected_failures.size() == 12)
            twelfth_answered = std::chrono::steady_clock::now() - first_sent;
    }
    // The last command succeeded after all failures were reported: no other line came.
    expect_failure_lines_through_limit(expected_failures);
    // The command thread prints a failure's line before it takes the next command, so when the
    // twelfth was answered within a second of the first, the first eleven lines fell in one
    // second of the repeat limit: at most ten of them stand before the first count line.
    if (twelfth_answered < std::chrono::seconds(1)) {
        size_t plain_before_count = 0;
        for (const std::string& line : board.stderr_lines()) {
            if (is_failure_count(line)) break;
            if (starts_with(line, "AT command execution failed")) ++plain_before_count;
        }
        EXPECT_LE(plain_before_count, 10u);
    }
    // Nothing ran and nothing was written.
    EXPECT_TRUE(board_world::read_call_lines(board.state_dir(), "reboot").empty());
    EXPECT_TRUE(board_world::read_call_lines(board.state_dir(), "fw_setenv").empty());
    EXPECT_EQ(stored_record(), default_record);
}

TEST_F(AtReplies, RepliesGoToTheClientThatAsked) {
    start();
    at_client first = connect(client_family::ipv4);
    at_client second = connect(client_family::ipv6);
    ASSERT_NE(first.daemon_fd, second.daemon_fd);
    exchange(second, "AT+AB version", version_reply);
    exchange(first, "AT+AB nothing", invalid_format, -1);
    exchange(second, "AT+AB config name:x", missing_field, -2);
    EXPECT_EQ(read_quiet(first.socket.get()), "");
    EXPECT_EQ(failure_lines(), (std::vector<std::string>{failure_line(first.daemon_fd, -1),
                                                         failure_line(second.daemon_fd, -2)}));
}

TEST_F(AtReplies, FailedQueriesReplyCommandExecutionFailed) {
    start(with_world([](const std::string& state) {
        board_world::options opts;
        opts.zqversion_present = false;
        ASSERT_EQ(board_world::populate(state, opts), 0);
    }));
    at_client client = connect();
    exchange(client, "AT+AB version", command_failed, -9);
    expect_lines_from("Executing version command", {"Executing version command",
                                                    "Command executed successfully!",
                                                    "No parambuf found (command returned empty)!",
                                                    "Failed to get parameter!"});
    ASSERT_EQ(board_world::add_failure(board.state_dir(), {"fw_printenv -n vemuparam", 1, 1}), 0);
    const size_t from = board.stdout_lines().size();
    exchange(client, "AT+AB config", command_failed, -9);
    EXPECT_TRUE(board.wait_stdout("Failed to get parameter!", from));
    // The failure was for one call only: the next query reads the record.
    exchange(client, "AT+AB config", default_query_reply);
}

// ---- writing the record ----

using AtConfigWrite = at_test;

TEST_F(AtConfigWrite, ShellCharactersRoundTripByteForByteAndNothingRuns) {
    const std::string pmk = shell_pmk;
    const std::string password = shell_password;
    ASSERT_EQ(pmk.size(), 32u);
    ASSERT_LE(password.size() + 4, 63u);  // two quotes and two backslashes escape to pairs
    const std::string record = record_text("NanCam2", pmk, password, "cam-2.local");
    const std::string host_before = host_file_identity("/tmp/pwned");
    start();
    at_client client = connect(client_family::ipv6);

    const size_t from = board.stdout_lines().size();
    exchange(client, "AT+AB config " + record + "\r\n", ok_reply);
    const std::string command = "fw_setenv vemuparam \"" +
                                record_text("NanCam2", double_quoted_form(pmk),
                                            double_quoted_form(password), "cam-2.local") +
                                "\"";
    EXPECT_TRUE(board.wait_stdout("config_write:" + command, from));

    // fw_setenv got the record as one argument, exactly as the client wrote it, and stored it.
    std::vector<board_world::call> writes;
    for (const board_world::call& c : board_world::read_calls(board.state_dir()))
        if (!c.argv.empty() && fs::path(c.argv[0]).filename() == "fw_setenv") writes.push_back(c);
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].argv, (std::vector<std::string>{"fw_setenv", "vemuparam", record}));
    EXPECT_EQ(stored_record(), record);

    // The query reads it back through fw_printenv and shows the plain values.
    exchange(client, "AT+AB config", record + "\r\nOK\r\n");

    EXPECT_TRUE(find_named(board.state_dir(), "pwned").empty());
    EXPECT_EQ(host_file_identity("/tmp/pwned"), host_before);
    EXPECT_TRUE(failure_lines().empty());
}

TEST_F(AtConfigWrite, EmptyPmkAndPasswordAreWrittenAsEmptyItems) {
    start();
    at_client client = connect();
    const std::string record = record_text("Cam_3.x-y", "", "", "c3.local");
    exchange(client, "AT+AB config " + record, ok_reply);
    EXPECT_EQ(stored_record(), record);
    exchange(client, "AT+AB config", record + "\r\nOK\r\n");
}

TEST_F(AtConfigWrite, FailedWriteKeepsTheStoredRecord) {
    start(with_world([](const std::string& state) {
        ASSERT_EQ(board_world::add_failure(state, {"fw_setenv *", -1, 1}), 0);
    }));
    at_client client = connect();
    exchange(client, "AT+AB config " + record_text("Other", "", "password1", "other.local"),
             command_failed, -9);
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "fw_setenv").size(), 3u);
    EXPECT_EQ(stored_record(), default_record);
    EXPECT_TRUE(board.wait_stdout("Command execution failed."));
    // The next query reloads what is really stored.
    exchange(client, "AT+AB config", default_query_reply);
}

TEST_F(AtConfigWrite, EveryAcceptedRecordLoadsAgainAtStartUp) {
    // Values whose escaped forms are longer than what the user typed.
    const std::string pmk = "k\"\\$`" + std::string(27, 'k');
    const std::vector<std::string> records = {
        record_text("Cam", "", std::string(31, 'p') + "\"" + std::string(31, 'p'), "cam.local"),
        record_text("Cam_2", pmk, "ab\\\\cd\\\"efgh", "cam-2.local"),
    };
    start();
    at_client client = connect();
    for (const std::string& record : records) {
        exchange(client, "AT+AB config " + record, ok_reply);
        EXPECT_EQ(stored_record(), record);
        exchange(client, "AT+AB config", record + "\r\nOK\r\n");
    }
    EXPECT_TRUE(failure_lines().empty());

    // The next start of the board loads what the last command stored.
    const std::string stored = stored_record();
    // Named after this board's state, which tells the BusyBox run of the test from the plain one.
    board_fixture next(board.state_dir().substr(board.state_dir().rfind('/') + 1) + ".next");
    next.start_daemon(with_env(board_world::boot_env::record, stored));
    const std::optional<size_t> parsed = next.wait_stdout("Parse entire parameter=" + records.back());
    ASSERT_TRUE(parsed);
    EXPECT_TRUE(next.wait_stdout(param_ok_line, *parsed));
    // The server's line comes before it listens; the parameter lines after it prove nothing.
    unique_fd again =
        connect_when_listening(next.daemon().pid(), client_family::ipv4, e2e_deadline);
    ASSERT_TRUE(again.valid()) << strerror(errno);
    ASSERT_TRUE(send_text(again.get(), "AT+AB config"));
    EXPECT_EQ(read_reply(again.get(), records.back() + "\r\nOK\r\n"), records.back() + "\r\nOK\r\n");
}

// ---- clients take turns ----

class AtTurns : public at_test {
protected:
    // From now on every fw_setenv hangs until released.
    void hang_writes() {
        ASSERT_EQ(board_world::add_failure(board.state_dir(), {.pattern = "fw_setenv *",
                                                              .times = -1,
                                                              .exit_status = 0,
                                                              .stall = true}),
                  0);
    }

    // Sends one chunk and waits until the daemon has read it.
    void send_taken(const at_client& client, const std::string& text) {
        const size_t from = board.stdout_lines().size();
        ASSERT_TRUE(send_text(client.socket.get(), text));
        ASSERT_TRUE(board.wait_stdout("Received data from (fd " +
                                          std::to_string(client.daemon_fd) + "): " + text,
                                      from));
    }

    // The chunk's line comes before the server thread hands the chunk to the command thread. A
    // status asked on an idle connection is answered by the server thread itself, once it is done
    // with what came before: its reply shows every earlier chunk queued.
    void wait_queued(const at_client& idle) {
        ASSERT_TRUE(send_text(idle.socket.get(), "AT+AB status\r\n"));
        const std::string reply = read_until(idle.socket.get(), "\r\nOK\r\n", e2e_deadline);
        ASSERT_GE(reply.size(), 6u);
        ASSERT_EQ(reply.substr(reply.size() - 6), "\r\nOK\r\n");
    }

    static std::string write_of(const std::string& name) {
        return "AT+AB config " + record_text(name, "", "", "cam.local");
    }
};

// A client with three configuration writes queued behind a hung one holds another client's
// version query up for the running write alone.
TEST_F(AtTurns, AnotherClientsQueryWaitsForTheRunningCommandOnly) {
    start();
    at_client writer = connect();
    at_client asker = connect();
    at_client watcher = connect();
    hang_writes();
    send_taken(writer, write_of("Cam2"));
    ASSERT_GE(board_world::wait_for_call(board.state_dir(), "fw_setenv *",
                                         static_cast<int>(e2e_deadline.count())),
              0);
    send_taken(writer, write_of("Cam3"));
    send_taken(writer, write_of("Cam4"));
    send_taken(asker, "AT+AB version");
    // Queued before the write ends, or the next write would run (and hang) before it.
    wait_queued(watcher);

    ASSERT_EQ(board_world::release_stalls(board.state_dir()), 0);
    EXPECT_EQ(read_reply(writer.socket.get(), ok_reply), ok_reply);
    EXPECT_EQ(read_reply(asker.socket.get(), version_reply), version_reply);

    ASSERT_EQ(board_world::clear_failures(board.state_dir()), 0);
    EXPECT_EQ(read_reply(writer.socket.get(), ok_reply + ok_reply), ok_reply + ok_reply);
    EXPECT_EQ(stored_record(), record_text("Cam4", "", "", "cam.local"));
}

// The status comes while another client's configuration write hangs, before the write's reply.
TEST_F(AtTurns, StatusIsAnsweredWhileAnotherClientsWriteHangs) {
    start();
    at_client writer = connect();
    at_client asker = connect(client_family::ipv6);
    hang_writes();
    send_taken(writer, write_of("Cam2"));
    ASSERT_GE(board_world::wait_for_call(board.state_dir(), "fw_setenv *",
                                         static_cast<int>(e2e_deadline.count())),
              0);

    ASSERT_TRUE(send_text(asker.socket.get(), "AT+AB status\r\n"));
    const std::string reply = read_until(asker.socket.get(), "\r\nOK\r\n", e2e_deadline);
    EXPECT_EQ(reply.rfind("uptime_s=", 0), 0u) << reply;
    EXPECT_NE(reply.find("\r\nclients=2\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nclient0_at_commands=1\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("\r\nclient1_at_commands=1\r\n"), std::string::npos) << reply;
    ASSERT_GE(reply.size(), 6u);
    EXPECT_EQ(reply.substr(reply.size() - 6), "\r\nOK\r\n");
    char byte = 0;
    EXPECT_EQ(recv(writer.socket.get(), &byte, 1, MSG_DONTWAIT), -1);  // the write still hangs

    ASSERT_EQ(board_world::clear_failures(board.state_dir()), 0);
    EXPECT_EQ(read_reply(writer.socket.get(), ok_reply), ok_reply);
}

// ---- video ----

class AtVideo : public at_test {
protected:
    static constexpr uint32_t batch_frames = 20;

    // Streams a batch of frames and waits until the daemon has checked every one of them.
    void stream_batch(uint32_t first_frame) {
        board.source().start_stream({.frames_per_second = 100,
                                     .count = batch_frames,
                                     .plan = plan,
                                     .first_frame = first_frame,
                                     .first_sequence = static_cast<uint8_t>(first_frame)});
        ASSERT_TRUE(board.source().wait_stream_done(e2e_deadline));
        // A frame only the frame check refuses; its line comes after every frame before it.
        const size_t from = board.stdout_lines().size();
        ASSERT_TRUE(board.source().send(frame_transfer(plan, 0, 0, frame_fault::bad_sync), e2e_deadline));
        ASSERT_TRUE(board.wait_stdout("Invalid frame (sync=0x55AA len=1000)", from));
    }

    // Starts the daemon with two clients that have received the first batch whole, so that
    // nothing is left to send.
    void start_with_video() {
        start();
        first = connect(client_family::ipv4);
        second = connect(client_family::ipv6);
        stream_batch(0);
        const std::string expected = payload_bytes(plan, 0, batch_frames);
        EXPECT_EQ(read_bytes(first.socket.get(), expected.size(), e2e_deadline), expected);
        EXPECT_EQ(read_bytes(second.socket.get(), expected.size(), e2e_deadline), expected);
    }

    payload_plan plan{.seed = 11, .derived_length = false, .fixed_length = 1000};
    at_client first;
    at_client second;
};

TEST_F(AtVideo, ConfigurationQueryStopsVideoForEveryClient) {
    start_with_video();
    // The ring is empty: the reply is all the client gets.
    exchange(first, "AT+AB config", default_query_reply);
    stream_batch(batch_frames);
    EXPECT_EQ(read_quiet(first.socket.get()), "");
    EXPECT_EQ(read_quiet(second.socket.get()), "");
    // A client that comes later gets no video either, and its commands still work.
    at_client later = connect(client_family::ipv4);
    exchange(later, "AT+AB version", version_reply);
    stream_batch(2 * batch_frames);
    EXPECT_EQ(read_quiet(later.socket.get()), "");
    EXPECT_EQ(read_quiet(first.socket.get()), "");
}

TEST_F(AtVideo, VersionQueryKeepsVideo) {
    start_with_video();
    exchange(first, "AT+AB version", version_reply);
    stream_batch(batch_frames);
    const std::string expected = payload_bytes(plan, batch_frames, batch_frames);
    EXPECT_EQ(read_bytes(first.socket.get(), expected.size(), e2e_deadline), expected);
    EXPECT_EQ(read_bytes(second.socket.get(), expected.size(), e2e_deadline), expected);
}

TEST_F(AtVideo, FailedConfigurationQueryKeepsVideo) {
    start_with_video();
    ASSERT_EQ(board_world::add_failure(board.state_dir(), {"fw_printenv -n vemuparam", 1, 1}), 0);
    exchange(first, "AT+AB config", command_failed, -9);
    stream_batch(batch_frames);
    const std::string expected = payload_bytes(plan, batch_frames, batch_frames);
    EXPECT_EQ(read_bytes(first.socket.get(), expected.size(), e2e_deadline), expected);
    EXPECT_EQ(read_bytes(second.socket.get(), expected.size(), e2e_deadline), expected);
}

// ---- reset and updatefw ----

using AtDeviceCommands = at_test;

TEST_F(AtDeviceCommands, ResetAndUpdatefwRunTheirCommands) {
    start();
    at_client client = connect();
    size_t from = board.stdout_lines().size();
    exchange(client, "AT+AB reset", ok_reply);
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "reboot"), std::vector<std::string>{"reboot"});
    EXPECT_TRUE(board.wait_stdout("Executing reset command", from));
    EXPECT_TRUE(board.wait_stdout("reset:reboot", from));
    EXPECT_TRUE(board.wait_stdout("Command [1] executed successfully!", from));

    from = board.stdout_lines().size();
    exchange(client, "at+ab UPDATEFW\r\n", ok_reply);
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "usb.sh"),
              std::vector<std::string>{"/bin/usb.sh -r usbh_msc"});
    EXPECT_TRUE(board.wait_stdout("Executing updatefw command", from));
    EXPECT_TRUE(board.wait_stdout("updatefw:/bin/usb.sh -r usbh_msc", from));
    EXPECT_TRUE(failure_lines().empty());
}

TEST_F(AtDeviceCommands, ThreeFailedAttemptsReplyCommandExecutionFailed) {
    start(with_world([](const std::string& state) {
        ASSERT_EQ(board_world::add_failure(state, {"reboot", -1, 1}), 0);
        ASSERT_EQ(board_world::add_failure(state, {"usb.sh -r usbh_msc", -1, 7}), 0);
    }));
    at_client client = connect();
    size_t from = board.stdout_lines().size();
    exchange(client, "AT+AB reset", command_failed, -9);
    // The reply came after the third attempt.
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "reboot").size(), 3u);
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const std::string suffix = "] Executing command [1/1] (retry " + std::to_string(attempt) + "): reboot";
        EXPECT_TRUE(board.daemon().wait_for(
            output_stream::out, [&suffix](const std::string& l) { return ends_with(l, suffix); }, from,
            e2e_deadline));
    }
    EXPECT_TRUE(board.wait_stdout("Command execution failed.", from));
    EXPECT_TRUE(board.daemon().wait_for(
        output_stream::err,
        [](const std::string& l) {
            return ends_with(l, "] Error: Executing command failed (exit code: 1, retries: 3)!");
        },
        0, e2e_deadline));

    from = board.stdout_lines().size();
    exchange(client, "AT+AB updatefw", command_failed, -9);
    EXPECT_EQ(board_world::read_call_lines(board.state_dir(), "usb.sh").size(), 3u);
    EXPECT_TRUE(board.daemon().wait_for(
        output_stream::err,
        [](const std::string& l) {
            return ends_with(l, "] Error: Executing command failed (exit code: 7, retries: 3)!");
        },
        0, e2e_deadline));
    EXPECT_EQ(failure_lines(), (std::vector<std::string>{failure_line(client.daemon_fd, -9),
                                                         failure_line(client.daemon_fd, -9)}));
}

TEST_F(AtDeviceCommands, ReplyComesOnlyAfterTheCommandReturned) {
    start(with_world(install_blocking_reboot));
    at_client client = connect();
    ASSERT_TRUE(send_text(client.socket.get(), "AT+AB reset"));
    ASSERT_TRUE(wait_for_file(state_file("reboot.started")));
    EXPECT_EQ(read_quiet(client.socket.get()), "");
    board.write_state_file("reboot.release", "");
    EXPECT_EQ(read_reply(client.socket.get(), ok_reply), ok_reply);
    EXPECT_EQ(read_file(state_file("reboot.returned")), "returned\n");
}

// The command runs on its own thread: video flows to every client while it runs, and the reply
// comes after the command returned, whole, between two payloads.
TEST_F(AtDeviceCommands, VideoFlowsWhileACommandRuns) {
    start(with_world(install_blocking_reboot));
    const payload_plan plan{.seed = 12, .derived_length = false, .fixed_length = 1000};
    at_client asker = connect(client_family::ipv4);
    at_client watcher = connect(client_family::ipv6);
    client_reader asker_reader(asker.socket.get());
    client_reader watcher_reader(watcher.socket.get());
    board.source().start_stream({.frames_per_second = lane_rate(90), .plan = plan});
    ASSERT_TRUE(watcher_reader.wait_for_size(plan.fixed_length, e2e_deadline));

    ASSERT_TRUE(send_text(asker.socket.get(), "AT+AB reset"));
    ASSERT_TRUE(wait_for_file(state_file("reboot.started")));
    const size_t at_start = watcher_reader.size();
    ASSERT_TRUE(watcher_reader.wait_for_size(at_start + 101 * plan.fixed_length, e2e_deadline));
    EXPECT_TRUE(parse_stream(asker_reader.data(), plan, ok_reply).replies_after.empty());
    board.write_state_file("reboot.release", "");

    parsed_stream asked;
    const auto deadline = std::chrono::steady_clock::now() + e2e_deadline;
    do {
        ASSERT_TRUE(asker_reader.wait_for_size(asker_reader.size() + plan.fixed_length, e2e_deadline));
        asked = parse_stream(asker_reader.data(), plan, ok_reply);
    } while (asked.replies_after.empty() && asked.problem.empty() &&
             std::chrono::steady_clock::now() < deadline);
    EXPECT_EQ(read_file(state_file("reboot.returned")), "returned\n");
    board.source().stop_stream();
    EXPECT_EQ(asked.problem, "");
    ASSERT_EQ(asked.replies_after.size(), 1u);
    EXPECT_GT(asked.replies_after[0], 100u);
    const parsed_stream watched = parse_stream(watcher_reader.data(), plan, "");
    EXPECT_EQ(watched.problem, "");
    ASSERT_GT(watched.frames.size(), 101u);
    EXPECT_EQ(watched.frames.back() - watched.frames.front() + 1, watched.frames.size());
    EXPECT_TRUE(failure_lines().empty());
}

// A reply belongs to the connection that asked: a client given the descriptor of one that left
// while its command ran never receives that command's reply.
TEST_F(AtDeviceCommands, ReplyOfAClientThatLeftGoesToNoLaterClient) {
    start(with_world(install_blocking_reboot));
    at_client leaving = connect(client_family::ipv4);
    ASSERT_TRUE(send_text(leaving.socket.get(), "AT+AB reset"));
    ASSERT_TRUE(wait_for_file(state_file("reboot.started")));
    leaving.socket.reset();
    ASSERT_TRUE(board.wait_stderr("Client fd " + std::to_string(leaving.daemon_fd) + " closed/error"));

    at_client later = connect(client_family::ipv6);
    ASSERT_EQ(later.daemon_fd, leaving.daemon_fd);
    board.write_state_file("reboot.release", "");
    EXPECT_TRUE(board.wait_stderr("Failed to send AT response to (fd " +
                                  std::to_string(leaving.daemon_fd) + "): Broken pipe"));
    EXPECT_EQ(read_quiet(later.socket.get()), "");
    exchange(later, "AT+AB version", version_reply);
}

TEST_F(AtDeviceCommands, ChildrenHoldNoneOfTheDaemonsDescriptors) {
    start(with_world(install_blocking_reboot));
    const pid_t daemon_pid = board.daemon().pid();
    at_client watcher = connect(client_family::ipv6);
    at_client client = connect(client_family::ipv4);
    ASSERT_TRUE(send_text(client.socket.get(), "AT+AB reset"));
    ASSERT_TRUE(wait_for_file(state_file("reboot.started")));

    // While reboot runs: the daemon's descriptors and those of every process below it.
    const descriptor_map daemon_fds = process_descriptors(daemon_pid);
    std::map<pid_t, descriptor_map> children;
    for (pid_t pid : descendants_of(daemon_pid)) children[pid] = process_descriptors(pid);
    std::map<pid_t, std::string> names;
    for (const auto& [pid, fds] : children) names[pid] = command_line_of(pid);
    board.write_state_file("reboot.release", "");
    EXPECT_EQ(read_reply(client.socket.get(), ok_reply), ok_reply);

    // The check means something only if the daemon holds what it must not hand on.
    ASSERT_EQ(daemon_fds.count(client.daemon_fd), 1u) << describe(daemon_fds);
    ASSERT_EQ(daemon_fds.count(watcher.daemon_fd), 1u) << describe(daemon_fds);
    EXPECT_TRUE(starts_with(daemon_fds.at(client.daemon_fd), "socket:[")) << describe(daemon_fds);
    size_t sockets = 0;
    bool epoll_set = false;
    for (const auto& [fd, target] : daemon_fds) {
        if (fd > STDERR_FILENO && starts_with(target, "socket:[")) ++sockets;
        if (target == "anon_inode:[eventpoll]") epoll_set = true;
    }
    EXPECT_GE(sockets, 4u) << "SPI device, listening socket and two clients\n" << describe(daemon_fds);
    EXPECT_TRUE(epoll_set) << describe(daemon_fds);
    // Held by a child, the daemon's own client socket and epoll set would count as leaks.
    const std::vector<std::string> own = leaked_descriptors(daemon_fds, daemon_fds);
    for (const std::string& expected :
         {std::to_string(client.daemon_fd) + " -> " + daemon_fds.at(client.daemon_fd),
          std::to_string(watcher.daemon_fd) + " -> " + daemon_fds.at(watcher.daemon_fd)}) {
        EXPECT_NE(std::find(own.begin(), own.end(), expected), own.end()) << expected;
    }
    EXPECT_GE(own.size(), sockets + 1) << describe(daemon_fds);

    // What reboot itself saw.
    const descriptor_map reboot_fds = parse_descriptor_listing(read_file(state_file("reboot.fds")));
    ASSERT_FALSE(reboot_fds.empty());
    EXPECT_TRUE(leaked_descriptors(daemon_fds, reboot_fds).empty())
        << "reboot holds:\n" << describe(reboot_fds) << "daemon holds:\n" << describe(daemon_fds);

    // Every other child (the shell, iw event, ...).
    EXPECT_FALSE(children.empty());
    for (const auto& [pid, fds] : children) {
        EXPECT_TRUE(leaked_descriptors(daemon_fds, fds).empty())
            << "process " << pid << " (" << names[pid] << ") holds:\n"
            << describe(fds) << "daemon holds:\n"
            << describe(daemon_fds);
    }
}

}  // namespace
