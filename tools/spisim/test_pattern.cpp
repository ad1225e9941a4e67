#include "test_pattern.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "unique_fd.hpp"

namespace {

constexpr int exit_cannot_run = 127;
constexpr size_t read_chunk = 65536;

// Runs a program with standard input from /dev/null, standard output into `out` (when given)
// and standard error into `log`; its exit status, or -1 when it could not run or was killed.
int run_program(const std::vector<std::string>& command, std::string* out, const std::string& log) {
    int pipe_fds[2] = {-1, -1};
    if (out != nullptr && pipe2(pipe_fds, O_CLOEXEC) != 0) return -1;
    unique_fd read_end(pipe_fds[0]);
    unique_fd write_end(pipe_fds[1]);
    std::vector<char*> argv;
    for (const std::string& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        const int null_fd = open("/dev/null", O_RDWR | O_CLOEXEC);
        const int log_fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        const int out_fd = out != nullptr ? write_end.get() : null_fd;
        if (null_fd < 0 || log_fd < 0 || dup2(null_fd, STDIN_FILENO) < 0 ||
            dup2(out_fd, STDOUT_FILENO) < 0 || dup2(log_fd, STDERR_FILENO) < 0)
            _exit(exit_cannot_run);
        execvp(argv[0], argv.data());
        _exit(exit_cannot_run);
    }
    write_end.reset();
    if (out != nullptr) {
        char buffer[read_chunk];
        for (;;) {
            const ssize_t n = read(read_end.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            out->append(buffer, static_cast<size_t>(n));
        }
    }
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string failure(const char* program, int status, const std::string& log) {
    if (status == exit_cannot_run)
        return std::string(program) + " cannot run (tools/install-deps test installs ffmpeg)";
    return std::string(program) + " failed; see " + log;
}

}  // namespace

std::string test_pattern::file_name() const {
    return "testsrc2-" + std::to_string(width) + "x" + std::to_string(height) + "-" +
           std::to_string(frames_per_second) + "fps-" + std::to_string(frames) + "f-" +
           std::to_string(bits_per_second) + "bps" +
           (grain > 0 ? "-grain" + std::to_string(grain) : "") + ".h264";
}

std::string make_test_pattern(const std::string& cache_dir, const test_pattern& pattern,
                              std::string& error) {
    const std::string path = cache_dir + "/" + pattern.file_name();
    struct stat info {};
    if (stat(path.c_str(), &info) == 0 && info.st_size > 0) return path;
    std::error_code ec;
    std::filesystem::create_directories(cache_dir, ec);
    const std::string aside = path + ".part" + std::to_string(getpid());
    const std::string log = path + ".log";
    std::string source = "testsrc2=size=" + std::to_string(pattern.width) + "x" +
                         std::to_string(pattern.height) +
                         ":rate=" + std::to_string(pattern.frames_per_second);
    if (pattern.grain > 0) source += ",noise=alls=" + std::to_string(pattern.grain) + ":allf=t";
    const std::string rate = std::to_string(pattern.bits_per_second);
    std::vector<std::string> command = {"ffmpeg", "-nostdin", "-y", "-loglevel", "error", "-f",
                                        "lavfi", "-i", source, "-frames:v",
                                        std::to_string(pattern.frames), "-c:v", "libx264",
                                        "-b:v", rate};
    if (pattern.grain > 0) {
        // A cap with one second of buffer keeps each second near the rate asked for.
        command.insert(command.end(), {"-preset", "veryfast", "-maxrate", rate, "-bufsize", rate});
    }
    command.insert(command.end(), {"-g", std::to_string(pattern.frames_per_second), "-x264-params",
                                   "repeat-headers=1", "-f", "h264", aside});
    const int status = run_program(command, nullptr, log);
    if (status != 0 || rename(aside.c_str(), path.c_str()) != 0) {
        error = status != 0 ? failure("ffmpeg", status, log)
                            : "cannot rename " + aside + ": " + strerror(errno);
        unlink(aside.c_str());
        return "";
    }
    return path;
}

std::optional<unsigned> count_decoded_frames(const std::string& path, std::string& error) {
    std::string out;
    const std::string log = path + ".ffprobe.log";
    const int status = run_program({"ffprobe", "-v", "error", "-f", "h264", "-count_frames",
                                    "-select_streams", "v:0", "-show_entries",
                                    "stream=nb_read_frames", "-of", "csv=p=0", path},
                                   &out, log);
    char* end = nullptr;
    const unsigned long frames = strtoul(out.c_str(), &end, 10);
    if (status != 0 || end == out.c_str()) {
        error = status != 0 ? failure("ffprobe", status, log) : "ffprobe said: " + out;
        return std::nullopt;
    }
    return static_cast<unsigned>(frames);
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    unique_fd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    bytes.clear();
    uint8_t buffer[read_chunk];
    for (;;) {
        const ssize_t n = fd.valid() ? read(fd.get(), buffer, sizeof buffer) : -1;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = "cannot read " + path + ": " + strerror(errno);
            return false;
        }
        if (n == 0) return true;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}
