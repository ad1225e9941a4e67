// nanvideo-demo: the daemon on the simulated board doing its main job. A video source plays an
// H.264 test pattern (made with ffmpeg, kept in the build tree) over the emulated SPI bus; a
// checking client on port 554 compares every byte it gets with the file and the demo prints one
// status line a second; a host port is forwarded into the board so that a player on this
// machine shows the picture. The daemon's own output goes to a log file (or, with --verbose, to
// the terminal). The demo stops after a number of seconds or on Ctrl-C and leaves nothing
// behind but the log and the cached video.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "board_process.hpp"
#include "board_world.hpp"
#include "demo_checker.hpp"
#include "demo_status.hpp"
#include "port_forward.hpp"
#include "test_pattern.hpp"
#include "video_source.hpp"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using clock_type = std::chrono::steady_clock;

constexpr unsigned default_seconds = 30;
constexpr unsigned default_bits_per_second = 2000000;
constexpr uint16_t default_host_port = 8554;
constexpr uint16_t daemon_port = 554;
constexpr milliseconds status_period{1000};
constexpr milliseconds stop_grace{3000};
constexpr milliseconds connect_retry{20};
constexpr milliseconds bring_up_deadline{30000};
// The checking client has drained the ring once nothing more came for this long.
constexpr milliseconds drained_quiet{300};
constexpr milliseconds drain_deadline{5000};
constexpr uint32_t checking_connection = 1;  // the daemon's first connection
constexpr const char* socket_name = "spi.sock";
constexpr const char* socket_inside = "/run/nanvideo-board/spi.sock";
// The picture: a moving pattern with a running clock, a minute long and played in a loop.
constexpr unsigned pattern_width = 640;
constexpr unsigned pattern_height = 480;
constexpr unsigned pattern_fps = 30;
constexpr unsigned pattern_frames = 60 * pattern_fps;
constexpr double kilo = 1e3;
constexpr double mega = 1e6;
const std::string server_ready = "TCP server initialization successful (max 4 clients).";
// Bring-up's last keyword, then its command batch: the daemon idles after these.
constexpr const char* last_bring_up_banner = "=== add_func custom logic execution completed ===";
constexpr const char* batch_done = "=== All commands execution completed ===";
// A NAN peer that asks for a data path once the daemon is up: the daemon accepts on its own.
constexpr const char* demo_peer_mac = "02:11:22:33:44:55";
constexpr unsigned demo_peer_data_path = 5;

const char usage_text[] =
    "Usage: %s [--seconds N] [--bitrate N | --rate N] [--port N] [--verbose]\n"
    "Runs nanvideod on a simulated board with an H.264 test pattern streaming over its SPI link.\n"
    "A checking client on port 554 compares what it receives with the file and a status line\n"
    "shows each second what the daemon took off the bus and delivered; a host port is forwarded\n"
    "to port 554, so `ffplay -f h264 tcp://127.0.0.1:PORT` shows the picture. Once the daemon is\n"
    "up, a NAN peer asks for a data path. Ctrl-C stops it early.\n"
    "  --seconds N   how long to run, 0 for until Ctrl-C (default 30)\n"
    "  --bitrate N   the video's bit rate, paced in real time, suffix k or M (default 2M)\n"
    "  --rate N      pace at N frames (payloads of 4096 bytes) a second instead\n"
    "  --port N      the host port forwarded to the board's 554 (default 8554)\n"
    "  --verbose     show the daemon's output here instead of in its log file\n"
    "  --help        show this text\n";

struct demo_settings {
    unsigned seconds = default_seconds;
    double bits_per_second = default_bits_per_second;
    double frames_per_second = 0;  // > 0: --rate
    uint16_t host_port = default_host_port;
    bool verbose = false;
};

// A positive number with an optional k or M after it.
bool parse_rate(const char* text, double& value) {
    char* end = nullptr;
    value = strtod(text, &end);
    if (end == text) return false;
    if (*end == 'k' || *end == 'M') value *= *end++ == 'k' ? kilo : mega;
    return *end == '\0' && value > 0;
}

bool parse_count(const char* text, unsigned long max, unsigned long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoul(text, &end, 10);
    return end != text && *end == '\0' && errno == 0 && value <= max;
}

// Returns -1 to go on, or the exit status.
int parse(int argc, char* argv[], demo_settings& settings) {
    enum { opt_seconds = 256, opt_bitrate, opt_rate, opt_port, opt_verbose, opt_help };
    const option long_options[] = {
        {"seconds", required_argument, nullptr, opt_seconds},
        {"bitrate", required_argument, nullptr, opt_bitrate},
        {"rate", required_argument, nullptr, opt_rate},
        {"port", required_argument, nullptr, opt_port},
        {"verbose", no_argument, nullptr, opt_verbose},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        unsigned long value = 0;
        bool ok = true;
        switch (c) {
            case opt_seconds:
                ok = parse_count(optarg, UINT32_MAX, value);
                settings.seconds = static_cast<unsigned>(value);
                break;
            case opt_bitrate:
                ok = parse_rate(optarg, settings.bits_per_second);
                break;
            case opt_rate:
                ok = parse_rate(optarg, settings.frames_per_second);
                break;
            case opt_port:
                ok = parse_count(optarg, UINT16_MAX, value) && value > 0;
                settings.host_port = static_cast<uint16_t>(value);
                break;
            case opt_verbose:
                settings.verbose = true;
                break;
            case opt_help:
                printf(usage_text, argv[0]);
                return EXIT_SUCCESS;
            default:
                fprintf(stderr, usage_text, argv[0]);
                return EXIT_FAILURE;
        }
        if (!ok) {
            fprintf(stderr, "%s: bad value: %s\n", argv[0], optarg);
            return EXIT_FAILURE;
        }
    }
    if (optind != argc) {
        fprintf(stderr, usage_text, argv[0]);
        return EXIT_FAILURE;
    }
    return -1;
}

// The board's state lives in a fresh directory that the demo removes again.
class scratch_dir {
public:
    scratch_dir() {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/nanvideo-demo.XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr)
            throw std::runtime_error("cannot create " + pattern + ": " + strerror(errno));
        path_ = pattern;
    }
    ~scratch_dir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Where the daemon's lines go: the terminal, or the log file. One whole line per call.
class daemon_output {
public:
    daemon_output(bool verbose, const std::string& log_path) {
        if (verbose) return;
        log_ = fopen(log_path.c_str(), "we");
        if (log_ == nullptr)
            throw std::runtime_error("cannot write " + log_path + ": " + strerror(errno));
        setvbuf(log_, nullptr, _IOLBF, 0);
    }
    ~daemon_output() {
        if (log_ != nullptr) fclose(log_);
    }
    daemon_output(const daemon_output&) = delete;
    daemon_output& operator=(const daemon_output&) = delete;

    void line(output_stream stream, const std::string& text) {
        FILE* to = log_ != nullptr ? log_ : stream == output_stream::out ? stdout : stderr;
        fprintf(to, "%s\n", text.c_str());
    }

private:
    FILE* log_ = nullptr;
};

board_launch daemon_launch(const std::string& state_dir) {
    board_launch launch;
    launch.launcher = NANVIDEO_BOARD_LAUNCHER;
    launch.state_dir = state_dir;
    launch.spidev_lib = NANVIDEO_SPIDEV_LIB;
    launch.program = {NANVIDEO_DAEMON_PATH};
    launch.environment = {
        {"NANVIDEO_SPIDEV_PATH", "/dev/spidev0.0"},
        {"NANVIDEO_SPIDEV_SOCKET", socket_inside},
    };
    return launch;
}

// The tools sit beside the demo in the build's bin directory.
std::string tool_path(const char* name) {
    std::error_code ignored;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return (self.parent_path() / name).string();
}

// The daemon's server thread may bind the port a moment after start-up reports it.
unique_fd connect_checker(board_process& daemon) {
    if (!daemon.wait_for_line(output_stream::out, server_ready, 0, bring_up_deadline)) return {};
    const auto deadline = clock_type::now() + bring_up_deadline;
    for (;;) {
        unique_fd fd = connect_in_board(daemon.pid(), daemon_port);
        if (fd.valid() || errno != ECONNREFUSED || clock_type::now() >= deadline) return fd;
        struct timespec pause = {0, std::chrono::nanoseconds(connect_retry).count()};
        nanosleep(&pause, nullptr);
    }
}

std::unique_ptr<port_forward> forward_port(uint16_t host_port, pid_t board_pid) {
    try {
        auto forward = std::make_unique<port_forward>(host_port, board_pid, daemon_port);
        printf("nanvideo-demo: watch it on this machine (one viewer at a time):\n"
               "  ffplay -f h264 tcp://127.0.0.1:%u\n",
               host_port);
        return forward;
    } catch (const std::exception& e) {
        printf("nanvideo-demo: no player port: %s (--port picks another)\n", e.what());
        return nullptr;
    }
}

// Once bring-up has published the service: the rest of the road, a peer's data-path request
// and clients on port 554 inside the board's network namespace.
class bring_up_watch {
public:
    bool done() const { return done_; }

    void poll(board_process& daemon, const std::string& state) {
        if (done_) return;
        if (!banner_) banner_ = daemon.wait_for_line(output_stream::out, last_bring_up_banner, 0, {});
        if (!banner_ || !daemon.wait_for_line(output_stream::out, batch_done, *banner_, {})) return;
        done_ = true;
        const std::string ctl = "nsenter --net=/proc/" + std::to_string(daemon.pid()) + "/ns/net " +
                                tool_path("nanvideoctl") + " ::1";
        printf("nanvideo-demo: the daemon is up. From another terminal (as root), on its port 554:\n"
               "  %s version\n"
               "  %s record /tmp/nanvideo-stream.h264 --seconds 5\n"
               "nanvideo-demo: a NAN peer %s asks for data path %u\n",
               ctl.c_str(), ctl.c_str(), demo_peer_mac, demo_peer_data_path);
        board_world::inject_peer_request(state, demo_peer_mac, demo_peer_data_path);
    }

private:
    std::optional<size_t> banner_;
    bool done_ = false;
};

std::string describe(const checker_figures& f) {
    char latency[32] = "-";
    if (f.median_latency_ms) snprintf(latency, sizeof latency, "%.1f ms", *f.median_latency_ms);
    const std::string exact = f.first_wrong_byte
                                  ? "first wrong byte at " + std::to_string(*f.first_wrong_byte)
                                  : "byte-exact";
    char text[192];
    snprintf(text, sizeof text,
             "%" PRIu64 " frames off the bus, %" PRIu64 " delivered, %s, latency median %s",
             f.frames_off_bus, f.frames_delivered, exact.c_str(), latency);
    return text;
}

// Prints the status each second until the time is up, a stop signal arrives or the daemon
// ends. False when the daemon ended by itself.
bool show_status(board_process& daemon, demo_checker& checker, const std::string& state,
                 unsigned run_seconds, const sigset_t& stop_signals) {
    const auto start = clock_type::now();
    bring_up_watch bring_up;
    for (unsigned second = 1; run_seconds == 0 || second <= run_seconds; ++second) {
        const auto due = start + status_period * second;
        for (;;) {
            if (!daemon.running()) return false;
            const auto now = clock_type::now();
            if (now >= due) break;
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - now);
            const timespec step{static_cast<time_t>(left.count() / 1000000000),
                                static_cast<long>(left.count() % 1000000000)};
            if (sigtimedwait(&stop_signals, nullptr, &step) > 0) {
                printf("nanvideo-demo: stopping\n");
                return true;
            }
        }
        printf("nanvideo-demo: %u s: %s\n", second, describe(checker.take_second()).c_str());
        bring_up.poll(daemon, state);
    }
    return true;
}

void wait_drained(demo_checker& checker) {
    const auto deadline = clock_type::now() + drain_deadline;
    uint64_t bytes = checker.whole_run().bytes_received;
    auto last_change = clock_type::now();
    while (clock_type::now() < deadline && clock_type::now() - last_change < drained_quiet) {
        std::this_thread::sleep_for(milliseconds(20));
        const uint64_t now = checker.whole_run().bytes_received;
        if (now != bytes) {
            bytes = now;
            last_change = clock_type::now();
        }
    }
}

std::string indented(const std::string& text) {
    std::string out;
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        out += end == start ? "\n" : "  " + text.substr(start, end - start + 1);
    return out;
}

// Stops the source, lets the checking client drain the ring, then prints the daemon's own
// status beside what the demo saw. False when a figure differs or no status came.
bool compare_with_daemon(board_process& daemon, demo_checker& checker, video_source& source) {
    source.stop_stream();
    wait_drained(checker);
    std::string problem;
    const std::optional<status_reading> status =
        ask_daemon_status(daemon.pid(), daemon_port, problem);
    if (!status) {
        printf("nanvideo-demo: no status from the daemon: %s\n", problem.c_str());
        return false;
    }
    printf("nanvideo-demo: the daemon's own status (AT+AB status on a second connection):\n%s",
           indented(status_table(*status, nullptr)).c_str());
    bool agree = true;
    const std::string accounts = compare_accounts(*status, checker.whole_run(),
                                                  source.transfers_taken(), checking_connection,
                                                  agree);
    printf("nanvideo-demo: the daemon's figures beside the demo's:\n%s", accounts.c_str());
    return agree;
}

int run(const demo_settings& settings, const sigset_t& stop_signals) {
    const std::string demo_dir = NANVIDEO_DEMO_DIR;
    test_pattern pattern{.width = pattern_width, .height = pattern_height,
                         .frames_per_second = pattern_fps, .frames = pattern_frames,
                         .bits_per_second = static_cast<unsigned>(settings.bits_per_second)};
    printf("nanvideo-demo: the test pattern %s (ffmpeg makes it once)\n", pattern.file_name().c_str());
    std::string error;
    const std::string video = make_test_pattern(demo_dir + "/media", pattern, error);
    if (video.empty()) throw std::runtime_error(error);
    std::vector<uint8_t> video_bytes;
    if (!read_whole_file(video, video_bytes, error)) throw std::runtime_error(error);

    scratch_dir state;
    if (board_world::populate(state.path(), board_world::options(), &error) != 0)
        throw std::runtime_error("cannot set up the board: " + error);
    video_source source(state.path() + "/" + socket_name);
    stream_options stream{.frames_per_second = settings.frames_per_second,
                          .feed = std::make_shared<byte_feed>(video, true)};
    if (settings.frames_per_second == 0) stream.bits_per_second = settings.bits_per_second;
    source.start_stream(stream);
    printf("nanvideo-demo: nanvideod on a simulated board, %g %s over SPI, %s (Ctrl-C stops)\n",
           settings.frames_per_second > 0 ? settings.frames_per_second : settings.bits_per_second / mega,
           settings.frames_per_second > 0 ? "frames/s" : "Mbit/s",
           settings.seconds == 0 ? "until stopped"
                                 : ("for " + std::to_string(settings.seconds) + " s").c_str());

    std::filesystem::create_directories(demo_dir);
    const std::string log_path = demo_dir + "/nanvideod.log";
    daemon_output output(settings.verbose, log_path);
    if (!settings.verbose)
        printf("nanvideo-demo: the daemon's output goes to %s (--verbose shows it here)\n",
               log_path.c_str());
    board_process daemon(daemon_launch(state.path()),
                         [&output](output_stream s, const std::string& line) { output.line(s, line); });

    unique_fd checker_fd = connect_checker(daemon);
    if (!checker_fd.valid()) throw std::runtime_error("the checking client cannot reach port 554");
    demo_checker checker(std::move(checker_fd), std::move(video_bytes), source);
    printf("nanvideo-demo: a checking client on port 554 compares every byte with the file\n");
    std::unique_ptr<port_forward> forward = forward_port(settings.host_port, daemon.pid());

    const bool ran_to_the_end =
        show_status(daemon, checker, state.path(), settings.seconds, stop_signals);
    const uint64_t viewers = forward ? forward->viewers_served() : 0;
    forward.reset();
    const bool accounts_agree = ran_to_the_end && compare_with_daemon(daemon, checker, source);
    checker.stop();
    daemon.signal(SIGTERM);
    const std::optional<int> status = daemon.wait_exit(stop_grace);
    const std::string ending =
        status ? "ended with " + describe_wait_status(*status) : "did not stop and was killed";
    const checker_figures whole = checker.whole_run();
    printf("nanvideo-demo: summary: %s; %" PRIu64 " viewers served; the daemon's figures %s; "
           "the daemon %s%s\n",
           describe(whole).c_str(), viewers, accounts_agree ? "agree" : "do not agree",
           ran_to_the_end ? "" : "unexpectedly ", ending.c_str());
    const bool job_done = whole.frames_delivered > 0 && !whole.first_wrong_byte && accounts_agree;
    return ran_to_the_end && job_done ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int main(int argc, char* argv[]) {
    demo_settings settings;
    if (int status = parse(argc, argv, settings); status >= 0) return status;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before any thread starts: only sigtimedwait sees them, and the daemon, in a
    // process group of its own, gets what the demo sends it.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        return run(settings, stop_signals);
    } catch (const std::exception& e) {
        fprintf(stderr, "nanvideo-demo: %s\n", e.what());
        return EXIT_FAILURE;
    }
}
