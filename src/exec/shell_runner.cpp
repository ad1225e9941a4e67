// The two ways the daemon runs a shell command: captured output for the few queries whose answer
// is text, and exit status for every command that changes something.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "keyword.hpp"

namespace {

constexpr const char* shell_path = "/bin/sh";
constexpr const char* null_device = "/dev/null";
constexpr int exec_failed_status = 127;  // what a shell reports for a command it cannot run
// Output is read in pieces of at most this size; the pieces are joined in the caller's buffer,
// so the answer does not depend on it.
constexpr size_t output_piece_size = 1024;

// Owns a read pipe to a command until it has been closed (which waits for the command).
class command_pipe {
public:
    explicit command_pipe(const char* cmd) : stream_(popen(cmd, "re")) {}
    ~command_pipe() {
        if (stream_ != nullptr) pclose(stream_);
    }
    command_pipe(const command_pipe&) = delete;
    command_pipe& operator=(const command_pipe&) = delete;

    FILE* stream() const { return stream_; }
    int close() {
        int result = pclose(stream_);
        stream_ = nullptr;
        return result;
    }

private:
    FILE* stream_;
};

// Owns a forked child until it has been reaped.
class child_process {
public:
    explicit child_process(pid_t pid) : pid_(pid) {}
    ~child_process() {
        if (pid_ > 0) wait(nullptr);
    }
    child_process(const child_process&) = delete;
    child_process& operator=(const child_process&) = delete;

    // Blocks until the child ends; false (errno set) when the wait itself failed.
    bool wait(int* wait_status) {
        int status = 0;
        pid_t result;
        do {
            result = waitpid(pid_, &status, 0);
        } while (result < 0 && errno == EINTR);
        pid_ = -1;
        if (result < 0) return false;
        if (wait_status != nullptr) *wait_status = status;
        return true;
    }

private:
    pid_t pid_;
};

// Runs in the child of a threaded process, so only async-signal-safe calls. The command's output
// must never reach the daemon's; if /dev/null cannot be opened the child keeps the daemon's.
[[noreturn]] void exec_shell_quietly(const char* cmd) {
    int null_fd = open(null_device, O_WRONLY | O_CLOEXEC);
    if (null_fd >= 0) {
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO) {
            close(null_fd);
        } else if (null_fd != STDIN_FILENO) {
            // It landed on 1 or 2 itself (the daemon had closed it): keep it across the exec.
            fcntl(null_fd, F_SETFD, 0);
        }
    }
    execl(shell_path, "sh", "-c", cmd, static_cast<char*>(nullptr));
    _exit(exec_failed_status);
}

}  // namespace

bool read_command_output(FILE* stream, char* output, size_t len) {
    char piece[output_piece_size] = {};
    // fgets needs room for one character besides the NUL, or it would never reach the end.
    size_t piece_limit = len < 2 ? 2 : (len < sizeof piece ? len : sizeof piece);
    size_t total = 0;
    if (len == 0) return false;
    output[0] = '\0';
    while (fgets(piece, static_cast<int>(piece_limit), stream) != nullptr) {
        size_t room = len - total;
        int stored = snprintf(output + total, room, "%s", piece);
        if (stored < 0 || static_cast<size_t>(stored) >= room) {
            printf("Warning: Command output exceeds buffer limit, truncated!\n");
            return false;
        }
        total += static_cast<size_t>(stored);
    }
    return true;
}

void drop_final_line_feed(char* output) {
    size_t length = strlen(output);
    if (length > 0 && output[length - 1] == '\n') output[length - 1] = '\0';
}

int run_cmd_capture(const char* cmd, char* output, size_t len) {
    if (cmd == nullptr || output == nullptr) {
        printf("Error: Invalid input parameters (cmd/output is NULL)!\n");
        return -1;
    }
    if (len == 0) {
        printf("Error: Invalid input parameters (output size is 0)!\n");
        return -1;
    }
    // A stale answer must never pass for the command's: an empty output stays empty.
    output[0] = '\0';

    command_pipe pipe(cmd);
    if (pipe.stream() == nullptr) {
        printf("Error: Failed to open pipe for command: %s\n", cmd);
        return -1;
    }
    read_command_output(pipe.stream(), output, len);
    if (pipe.close() == -1) {
        printf("Error: Failed to close pipe for command: %s\n", cmd);
        return -1;
    }
    drop_final_line_feed(output);
    return 0;
}

int run_cmd_status(const char* cmd) {
    if (cmd == nullptr || cmd[0] == '\0') return -1;

    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "Error: Fork failed (errno: %d)!\n", errno);
        return -1;
    }
    if (pid == 0) exec_shell_quietly(cmd);

    child_process child(pid);
    int status = 0;
    if (!child.wait(&status)) {
        fprintf(stderr, "Error: Wait for child failed (errno: %d)!\n", errno);
        return -1;
    }
    if (!WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}
