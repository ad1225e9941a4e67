// record: the stream as it comes, into a file or standard output, with a live progress line
// when standard error is a terminal.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl_commands.hpp"
#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"
#include "video_stream.hpp"

namespace {

constexpr int64_t ms_per_second = 1000;
constexpr double frame_bytes = 4096;
constexpr int64_t progress_interval_ms = 250;
constexpr mode_t output_mode = 0644;

bool write_all(int fd, const uint8_t* data, size_t length) {
    size_t written = 0;
    while (written < length) {
        const ssize_t n = write(fd, data + written, length - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

double frames_per_second(uint64_t bytes, double elapsed_s) {
    return elapsed_s > 0 ? static_cast<double>(bytes) / frame_bytes / elapsed_s : 0;
}

class recording {
public:
    recording(const ctl_options& options, int out_fd)
        : options_(options), out_fd_(out_fd), show_progress_(isatty(STDERR_FILENO) == 1) {}

    bool take(const uint8_t* data, size_t length) {
        size_t keep = length;
        if (options_.bytes != 0 && options_.bytes - saved_ < keep)
            keep = static_cast<size_t>(options_.bytes - saved_);
        if (!write_all(out_fd_, data, keep)) {
            write_errno_ = errno;
            return false;
        }
        saved_ += keep;
        if (show_progress_ && mono_now_ms() - shown_ms_ >= progress_interval_ms) show();
        return options_.bytes == 0 || saved_ < options_.bytes;
    }

    void finish() {
        if (show_progress_ && shown_ms_ != 0) {
            show();
            fputc('\n', stderr);
        }
        const double elapsed = elapsed_s();
        const std::string where =
            options_.record_path == "-" ? "standard output" : options_.record_path;
        fprintf(stderr, "Saved %" PRIu64 " bytes (%.1f frames of 4096 bytes) to %s\n", saved_,
                static_cast<double>(saved_) / frame_bytes, where.c_str());
        fprintf(stderr, "Elapsed %.1f s, %.1f frames per second\n", elapsed,
                frames_per_second(saved_, elapsed));
    }

    int write_errno() const { return write_errno_; }

private:
    double elapsed_s() const {
        return static_cast<double>(mono_now_ms() - start_ms_) / ms_per_second;
    }

    void show() {
        shown_ms_ = mono_now_ms();
        fprintf(stderr, "\r%s", progress_line(saved_, elapsed_s()).c_str());
        fflush(stderr);
    }

    const ctl_options& options_;
    int out_fd_;
    bool show_progress_;
    int64_t start_ms_ = mono_now_ms();
    int64_t shown_ms_ = 0;
    uint64_t saved_ = 0;
    int write_errno_ = 0;
};

int file_problem(const std::string& path, int error) {
    fprintf(stderr, "nanvideoctl: cannot write %s: %s\n", path.c_str(), strerror(error));
    return exit_file_error;
}

}  // namespace

std::string progress_line(uint64_t bytes, double elapsed_s) {
    char text[96];
    snprintf(text, sizeof text, "%12" PRIu64 " bytes %8.1f frames/s %8.1f s", bytes,
             frames_per_second(bytes, elapsed_s), elapsed_s);
    return text;
}

int run_record(const ctl_options& options) {
    unique_fd file;
    int out_fd = STDOUT_FILENO;
    if (options.record_path != "-") {
        file.reset(open(options.record_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        output_mode));
        if (!file.valid()) return file_problem(options.record_path, errno);
        out_fd = file.get();
    }
    const int64_t stall_ms = static_cast<int64_t>(options.timeout_s * ms_per_second);
    unique_fd fd = connect_or_say_why(options.host, options.port, options.timeout_s);
    if (!fd.valid()) return exit_unreachable;
    stop_on_interrupt();

    recording rec(options, out_fd);
    stream_limits limits;
    limits.stall_ms = stall_ms;
    if (options.seconds > 0)
        limits.end_ms = mono_now_ms() + static_cast<int64_t>(options.seconds * ms_per_second);
    int read_errno = 0;
    const stream_end end = read_stream(
        fd.get(), limits,
        [&rec](const uint8_t* data, size_t length) { return rec.take(data, length); }, read_errno);
    rec.finish();

    if (rec.write_errno() != 0) return file_problem(options.record_path, rec.write_errno());
    if (file.valid() && close(file.release()) != 0) return file_problem(options.record_path, errno);
    const char* host = options.host.c_str();
    switch (end) {
        case stream_end::finished:
        case stream_end::interrupted:
            return exit_ok;
        default:
            return report_early_end(end, host, options.timeout_s, read_errno);
    }
}
