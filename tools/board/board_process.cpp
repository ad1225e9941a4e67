#include "board_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace {

// Room for the largest message a program may write in one go on a packet socket.
constexpr size_t read_chunk = 65536;
// A paced output is read in small pieces, as a console takes characters, through a pipe that
// holds one page, as a tty's buffer.
constexpr size_t paced_chunk = 64;
constexpr int paced_pipe_bytes = 4096;
constexpr int exec_failure_status = 127;

struct pipe_pair {
    unique_fd read_end;
    unique_fd write_end;
};

pipe_pair make_pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error(std::string("pipe2: ") + strerror(errno));
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

pipe_pair make_packet_pair() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        throw std::runtime_error(std::string("socketpair: ") + strerror(errno));
    return {unique_fd(fds[0]), unique_fd(fds[1])};
}

// The environment of the launched program: ours with the launch's variables set.
std::vector<std::string> build_environment(const board_launch& launch) {
    std::vector<std::pair<std::string, std::string>> settings = launch.environment;
    // A program built with ThreadSanitizer waits a second in exit() while other threads run, to
    // catch races with them; the daemon's stop is measured, and that second is not the daemon's.
    // (Ignored by programs without ThreadSanitizer.)
    const char* tsan_options = getenv("TSAN_OPTIONS");
    settings.emplace_back("TSAN_OPTIONS",
                          std::string(tsan_options ? tsan_options : "") + ":atexit_sleep_ms=0");
    if (!launch.spidev_lib.empty()) {
        // The emulator is preloaded ahead of an instrumented program's sanitizer runtime, which
        // would otherwise refuse to start.
        const char* asan_options = getenv("ASAN_OPTIONS");
        settings.emplace_back("ASAN_OPTIONS", std::string(asan_options ? asan_options : "") +
                                                  ":verify_asan_link_order=0");
    }
    std::vector<std::string> result;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string text = *entry;
        const std::string name = text.substr(0, text.find('='));
        bool replaced = false;
        for (const auto& [key, value] : settings) replaced = replaced || key == name;
        if (!replaced) result.push_back(text);
    }
    for (const auto& [key, value] : settings) result.push_back(key + "=" + value);
    return result;
}

std::vector<std::string> build_arguments(const board_launch& launch) {
    std::vector<std::string> args = launch.wrapper;
    args.insert(args.end(), {launch.launcher, "--state", launch.state_dir});
    if (!launch.spidev_lib.empty()) {
        args.push_back("--spidev-lib");
        args.push_back(launch.spidev_lib);
    }
    if (launch.spidev_bufsiz != 0) {
        args.push_back("--spidev-bufsiz");
        args.push_back(std::to_string(launch.spidev_bufsiz));
    }
    if (!launch.qemu.empty()) {
        args.push_back("--qemu");
        args.push_back(launch.qemu);
    }
    if (launch.no_ipv6) args.push_back("--no-ipv6");
    if (!launch.busybox.empty()) {
        args.push_back("--busybox");
        args.push_back(launch.busybox);
    }
    args.push_back("--");
    args.insert(args.end(), launch.program.begin(), launch.program.end());
    return args;
}

std::vector<char*> pointers_to(std::vector<std::string>& texts) {
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

board_process::board_process(const board_launch& launch, line_callback on_line)
    : on_line_(std::move(on_line)),
      output_bytes_per_second_(launch.output_bytes_per_second),
      keep_messages_(launch.one_message_per_write) {
    // Everything the child needs is prepared before fork: after it, only exec-safe calls.
    std::vector<std::string> args = build_arguments(launch);
    std::vector<std::string> env = build_environment(launch);
    std::vector<char*> argv = pointers_to(args);
    std::vector<char*> envp = pointers_to(env);
    pipe_pair out = keep_messages_ ? make_packet_pair() : make_pipe();
    // With one socket for both, standard error's pipe ends at once: nothing writes to it.
    pipe_pair err = make_pipe();
    const int err_target = keep_messages_ ? out.write_end.get() : err.write_end.get();
    if (output_bytes_per_second_ > 0) {
        fcntl(out.write_end.get(), F_SETPIPE_SZ, paced_pipe_bytes);
        fcntl(err.write_end.get(), F_SETPIPE_SZ, paced_pipe_bytes);
    }
    unique_fd null_input(open("/dev/null", O_RDONLY | O_CLOEXEC));
    stop_fd_.reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!null_input.valid() || !stop_fd_.valid())
        throw std::runtime_error(std::string("cannot prepare the launch: ") + strerror(errno));

    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error(std::string("fork: ") + strerror(errno));
    if (pid_ == 0) {
        // The caller may block signals to wait for them; the program starts with none blocked.
        sigset_t no_signals;
        sigemptyset(&no_signals);
        sigprocmask(SIG_SETMASK, &no_signals, nullptr);
        setpgid(0, 0);
        dup2(null_input.get(), STDIN_FILENO);
        dup2(out.write_end.get(), STDOUT_FILENO);
        dup2(err_target, STDERR_FILENO);
        execvpe(argv[0], argv.data(), envp.data());
        static const char message[] = "board_process: cannot run the launcher\n";
        const ssize_t written = write(STDERR_FILENO, message, sizeof message - 1);
        (void)written;
        _exit(exec_failure_status);
    }
    setpgid(pid_, pid_);  // also here, so a signal sent right away finds the group

    readers_[0] = std::thread(
        [this, fd = std::move(out.read_end)] { read_stream(output_stream::out, fd.get()); });
    readers_[1] = std::thread(
        [this, fd = std::move(err.read_end)] { read_stream(output_stream::err, fd.get()); });
    reaper_ = std::thread([this] { reap(); });
}

board_process::~board_process() {
    // The whole group: the program and whatever it started. A group id stays taken while any
    // member lives, so this never reaches a stranger.
    kill(-pid_, SIGKILL);
    reaper_.join();
    // Children of the program that survived it could keep the streams open.
    const uint64_t one = 1;
    const ssize_t written = write(stop_fd_.get(), &one, sizeof one);  // cannot fail: one count
    (void)written;
    for (std::thread& reader : readers_) reader.join();
}

void board_process::read_stream(output_stream stream, int fd) {
    const size_t index = static_cast<size_t>(stream);
    std::string partial;
    char chunk[read_chunk];
    pollfd fds[2] = {{fd, POLLIN, 0}, {stop_fd_.get(), POLLIN, 0}};
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (fds[1].revents != 0 && fds[0].revents == 0) break;
        const ssize_t got = read(fd, chunk, pace_output(sizeof chunk));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        paced_read(static_cast<size_t>(got));
        if (keep_messages_) {
            std::lock_guard<std::mutex> lock(mutex_);
            messages_.emplace_back(chunk, static_cast<size_t>(got));
        }
        partial.append(chunk, static_cast<size_t>(got));
        for (size_t newline; (newline = partial.find('\n')) != std::string::npos;) {
            std::string line = partial.substr(0, newline);
            partial.erase(0, newline + 1);
            if (on_line_) on_line_(stream, line);
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lines_[index].push_back(std::move(line));
            }
            changed_.notify_all();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!partial.empty()) lines_[index].push_back(partial);  // a last line without newline
        stream_ended_[index] = true;
    }
    changed_.notify_all();
}

size_t board_process::pace_output(size_t bytes) {
    if (output_bytes_per_second_ <= 0) return bytes;
    std::chrono::steady_clock::time_point due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        due = output_due_;
    }
    std::this_thread::sleep_until(due);
    return std::min(bytes, paced_chunk);
}

// The console takes what was read at its rate from now, or from when it would have finished
// the last piece: a quiet spell earns no burst.
void board_process::paced_read(size_t bytes) {
    if (output_bytes_per_second_ <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = std::chrono::steady_clock::now();
    output_due_ = std::max(output_due_, now) +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(static_cast<double>(bytes) / output_bytes_per_second_));
}

void board_process::reap() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        exited_ = true;
        wait_status_ = status;
    }
    changed_.notify_all();
}

std::vector<std::string> board_process::messages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return messages_;
}

std::vector<std::string> board_process::lines(output_stream stream) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_[static_cast<size_t>(stream)];
}

std::optional<size_t> board_process::wait_for(output_stream stream, const line_predicate& match,
                                              size_t from, milliseconds timeout) {
    const size_t index = static_cast<size_t>(stream);
    std::unique_lock<std::mutex> lock(mutex_);
    size_t next = from;
    std::optional<size_t> found;
    changed_.wait_for(lock, timeout, [&] {
        for (; next < lines_[index].size(); ++next) {
            if (match(lines_[index][next])) {
                found = next;
                return true;
            }
        }
        return stream_ended_[index];
    });
    return found;
}

std::optional<size_t> board_process::wait_for_line(output_stream stream, const std::string& exact,
                                                   size_t from, milliseconds timeout) {
    return wait_for(stream, [&](const std::string& line) { return line == exact; }, from, timeout);
}

std::optional<size_t> board_process::wait_for_prefix(output_stream stream,
                                                     const std::string& prefix, size_t from,
                                                     milliseconds timeout) {
    return wait_for(
        stream, [&](const std::string& line) { return line.compare(0, prefix.size(), prefix) == 0; },
        from, timeout);
}

std::vector<std::string> board_process::wait_lines(output_stream stream, size_t from,
                                                   size_t count, milliseconds timeout) {
    const size_t index = static_cast<size_t>(stream);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] {
        return lines_[index].size() >= from + count || stream_ended_[index];
    });
    const std::vector<std::string>& all = lines_[index];
    const size_t begin = std::min(from, all.size());
    const size_t end = std::min(from + count, all.size());
    return std::vector<std::string>(all.begin() + static_cast<long>(begin),
                                    all.begin() + static_cast<long>(end));
}

std::optional<int> board_process::wait_exit(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    const bool ended = changed_.wait_for(lock, timeout, [this] {
        return exited_ && stream_ended_[0] && stream_ended_[1];
    });
    if (!ended) return std::nullopt;
    return wait_status_;
}

std::optional<int> board_process::wait_ended(milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return exited_; })) return std::nullopt;
    return wait_status_;
}

bool board_process::running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !exited_;
}

void board_process::signal(int signal_number) {
    if (running()) kill(pid_, signal_number);
}

std::string describe_wait_status(int wait_status) {
    if (WIFEXITED(wait_status)) return "exit status " + std::to_string(WEXITSTATUS(wait_status));
    if (WIFSIGNALED(wait_status)) {
        const int number = WTERMSIG(wait_status);
        return "killed by signal " + std::to_string(number) + " (" + strsignal(number) + ")";
    }
    return "wait status " + std::to_string(wait_status);
}

bool starts_sanitizer_report(const std::string& line) {
    static const char* const markers[] = {
        "WARNING: ThreadSanitizer:", "ERROR: ThreadSanitizer:", "FATAL: ThreadSanitizer:",
        "ERROR: AddressSanitizer:",  "ERROR: LeakSanitizer:",   ": runtime error: ",
    };
    for (const char* marker : markers)
        if (line.find(marker) != std::string::npos) return true;
    return false;
}
