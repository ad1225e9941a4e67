#pragma once
// A board state directory of the test's own, with the stand-ins installed, and ways to run them
// as the daemon does: through /bin/sh with the stand-ins first on the search path.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "board_world.hpp"
#include "sim_state.hpp"

namespace wifisim_test {

struct run_result {
    std::string out;
    std::string err;
    int status = -1;  // exit status, or 128 + signal
};

inline std::string read_text(const std::string& path) {
    std::string text;
    wifisim::read_whole_file(path, &text);
    return text;
}

// Bytes read so far from a child's standard output, split into lines as the daemon reads them.
inline std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

class BoardTest : public testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/wifisim_test_XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        state = pattern;
        repopulate(board_world::options());
        const char* path = getenv("PATH");
        old_path = path != nullptr ? path : "/usr/bin:/bin";
        setenv("PATH", (state + "/root/usr/sbin:" + state + "/root/usr/bin:" + old_path).c_str(), 1);
        setenv(wifisim::board_env_name, state.c_str(), 1);
    }

    void TearDown() override {
        setenv("PATH", old_path.c_str(), 1);
        unsetenv(wifisim::board_env_name);
        run_result r = run("rm -rf '" + state + "'");
        EXPECT_EQ(r.status, 0);
    }

    void repopulate(const board_world::options& opts) {
        std::string error;
        ASSERT_EQ(board_world::populate(state, opts, &error), 0) << error;
    }

    // "/bin/sh" "-c" command, as the daemon's runners start it.
    run_result run(const std::string& command, const std::string& input = "") {
        run_result result;
        const std::string err_path = state + "/stderr.txt";
        int out_pipe[2];
        int in_pipe[2];
        if (pipe2(out_pipe, O_CLOEXEC) != 0 || pipe2(in_pipe, O_CLOEXEC) != 0) return result;
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(in_pipe[0], STDIN_FILENO);
            dup2(out_pipe[1], STDOUT_FILENO);
            int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(err, STDERR_FILENO);
            execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(out_pipe[1]);
        close(in_pipe[0]);
        if (!input.empty() && write(in_pipe[1], input.data(), input.size()) < 0) result.err = "stdin";
        close(in_pipe[1]);
        char buffer[4096];
        ssize_t n;
        while ((n = read(out_pipe[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
        close(out_pipe[0]);
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        result.err = read_text(err_path);
        return result;
    }

    std::string path(const char* below) const { return state + "/" + below; }

    std::string state;
    std::string old_path;
};

// A running `iw event ...` with its standard output on a pipe, as the daemon's listener has it.
class event_stream {
public:
    explicit event_stream(const std::string& arguments) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            dup2(fds[1], STDOUT_FILENO);
            execl("/bin/sh", "sh", "-c", ("exec iw " + arguments).c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        close(fds[1]);
        fd_ = fds[0];
    }
    event_stream(const event_stream&) = delete;
    event_stream& operator=(const event_stream&) = delete;
    ~event_stream() {
        stop();
        close_output();
    }

    // Reads until the output holds at least `count` lines (at most 10 s: a hung stream fails
    // the test instead of hanging it).
    std::vector<std::string> lines(size_t count) {
        constexpr int give_up_ms = 10000;
        while (split_lines(text_).size() < count) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, give_up_ms) <= 0) break;
            char buffer[4096];
            ssize_t n = read(fd_, buffer, sizeof buffer);
            if (n <= 0) break;
            text_.append(buffer, static_cast<size_t>(n));
        }
        return split_lines(text_);
    }

    const std::string& text() const { return text_; }

    bool running() { return pid_ > 0 && waitpid(pid_, &status_, WNOHANG) == 0; }

    // Waits for the child to end on its own; returns its wait status.
    int wait_end() {
        if (pid_ <= 0) return status_;
        waitpid(pid_, &status_, 0);
        pid_ = -1;
        return status_;
    }

    int stop() {
        if (pid_ <= 0) return status_;
        kill(pid_, SIGTERM);
        return wait_end();
    }

    void close_output() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }

private:
    pid_t pid_ = -1;
    int fd_ = -1;
    int status_ = 0;
    std::string text_;
};

// The payload bytes of "vendor event: " data text: pairs at positions 0, 3, 6, ...
inline std::vector<unsigned char> data_bytes(const std::string& text) {
    std::vector<unsigned char> bytes;
    for (size_t at = 0; at + 1 < text.size(); at += 3)
        bytes.push_back(static_cast<unsigned char>(std::stoi(text.substr(at, 2), nullptr, 16)));
    return bytes;
}

struct decoded_event {
    int subcmd = -1;
    std::vector<unsigned char> payload;
};

// Collects vendor events from `iw event` lines the way the daemon reads them: a header holds
// "vendor event 00e04c:" and the subcommand (maybe joined with the first data line), data lines
// hold "vendor event: " and the bytes; other lines are ignored.
inline std::vector<decoded_event> decode_vendor_events(const std::vector<std::string>& lines) {
    static const std::string header = "vendor event 00e04c:";
    static const std::string data = "vendor event: ";
    std::vector<decoded_event> events;
    for (const std::string& line : lines) {
        size_t h = line.find(header);
        if (h != std::string::npos) {
            decoded_event e;
            e.subcmd = atoi(line.c_str() + h + header.size());
            size_t d = line.find(data, h + header.size());
            if (d != std::string::npos) e.payload = data_bytes(line.substr(d + data.size()));
            events.push_back(e);
            continue;
        }
        size_t d = line.find(data);
        if (d != std::string::npos && !events.empty()) {
            std::vector<unsigned char> more = data_bytes(line.substr(d + data.size()));
            events.back().payload.insert(events.back().payload.end(), more.begin(), more.end());
        }
    }
    return events;
}

}  // namespace wifisim_test
