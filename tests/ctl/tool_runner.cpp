#include "tool_runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "unique_fd.hpp"

namespace {

constexpr int exec_failed_status = 127;

struct pipe_pair {
    unique_fd read_end;
    unique_fd write_end;
};

pipe_pair make_pipe() {
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) return {};
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// A cross-built tool runs through the same emulator as the test itself (NANVIDEO_TOOL_EMULATOR:
// its words, blank-separated; empty on the host).
std::vector<std::string> with_emulator(const std::vector<std::string>& argv) {
    std::vector<std::string> command;
    std::string word;
    for (const char* c = NANVIDEO_TOOL_EMULATOR;; ++c) {
        if (*c == ' ' || *c == '\0') {
            if (!word.empty()) command.push_back(word);
            word.clear();
            if (*c == '\0') break;
        } else {
            word += *c;
        }
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

}  // namespace

tool_result run_tool(const std::vector<std::string>& tool_argv, std::chrono::milliseconds deadline) {
    tool_result result;
    const std::vector<std::string> argv = with_emulator(tool_argv);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);

    pipe_pair out = make_pipe();
    pipe_pair err = make_pipe();
    if (!out.read_end.valid() || !err.read_end.valid()) return result;
    const pid_t pid = fork();
    if (pid < 0) return result;
    if (pid == 0) {
        // Only async-signal-safe calls between fork and exec.
        dup2(out.write_end.get(), STDOUT_FILENO);
        dup2(err.write_end.get(), STDERR_FILENO);
        execvp(args[0], args.data());
        _exit(exec_failed_status);
    }
    out.write_end.reset();
    err.write_end.reset();

    const auto until = std::chrono::steady_clock::now() + deadline;
    std::string* sinks[2] = {&result.out, &result.err};
    int fds[2] = {out.read_end.get(), err.read_end.get()};
    bool open[2] = {true, true};
    bool killed = false;
    while (open[0] || open[1]) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            until - std::chrono::steady_clock::now());
        if (left.count() <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        pollfd waits[2] = {{open[0] ? fds[0] : -1, POLLIN, 0}, {open[1] ? fds[1] : -1, POLLIN, 0}};
        const int ready = poll(waits, 2, killed ? -1 : static_cast<int>(left.count()));
        if (ready < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (!open[i] || waits[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i], buffer, sizeof buffer);
            if (n > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                open[i] = false;
            }
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!killed && WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
    return result;
}
