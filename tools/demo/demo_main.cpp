// nanvideo-demo: the daemon on the simulated board with a video source streaming into its SPI
// device. The daemon's output lines are relayed to the terminal; the demo stops after a number
// of seconds or on Ctrl-C and leaves nothing behind.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>

#include "board_process.hpp"
#include "board_world.hpp"
#include "video_source.hpp"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr unsigned default_seconds = 15;
constexpr double default_fps = 90;
constexpr milliseconds poll_step{200};
constexpr milliseconds stop_grace{3000};
constexpr const char* socket_name = "spi.sock";
constexpr const char* socket_inside = "/run/nanvideo-board/spi.sock";
constexpr milliseconds bring_up_deadline{30000};
constexpr uint64_t video_source_seed = 1;
// Bring-up's last keyword, then its command batch: the daemon idles after these.
constexpr const char* last_bring_up_banner = "=== add_func custom logic execution completed ===";
constexpr const char* batch_done = "=== All commands execution completed ===";
// A NAN peer that asks for a data path once the daemon is up: the daemon accepts on its own.
constexpr const char* demo_peer_mac = "02:11:22:33:44:55";
constexpr unsigned demo_peer_data_path = 5;

const char usage_text[] =
    "Usage: %s [--seconds N] [--fps N]\n"
    "Runs nanvideod on a simulated board, with a video source streaming frames over its SPI\n"
    "link, and shows what the daemon prints. Once the daemon is up, a NAN peer asks for a data\n"
    "path, and the demo prints how to reach port 554 with nanvideoctl. Ctrl-C stops it early.\n"
    "  --seconds N   how long to run, 0 for until Ctrl-C (default 15)\n"
    "  --fps N       frames per second from the video source (default 90)\n"
    "  --help        show this text\n";

struct demo_settings {
    unsigned seconds = default_seconds;
    double fps = default_fps;
};

// Returns -1 to go on, or the exit status.
int parse(int argc, char* argv[], demo_settings& settings) {
    enum { opt_seconds = 256, opt_fps, opt_help };
    const option long_options[] = {
        {"seconds", required_argument, nullptr, opt_seconds},
        {"fps", required_argument, nullptr, opt_fps},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        char* end = nullptr;
        switch (c) {
            case opt_seconds:
                settings.seconds = static_cast<unsigned>(strtoul(optarg, &end, 10));
                break;
            case opt_fps:
                settings.fps = strtod(optarg, &end);
                break;
            case opt_help:
                printf(usage_text, argv[0]);
                return EXIT_SUCCESS;
            default:
                fprintf(stderr, usage_text, argv[0]);
                return EXIT_FAILURE;
        }
        if (end == optarg || *end != '\0' || settings.fps <= 0) {
            fprintf(stderr, "%s: bad number: %s\n", argv[0], optarg);
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

void relay(output_stream stream, const std::string& line) {
    FILE* to = stream == output_stream::out ? stdout : stderr;
    fprintf(to, "%s\n", line.c_str());
}

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

// Runs until the time is up, a stop signal arrives or the daemon ends. False when the daemon
// ended by itself.
bool wait_for_end(board_process& daemon, unsigned run_seconds, const sigset_t& stop_signals) {
    const auto end = std::chrono::steady_clock::now() + seconds(run_seconds);
    const timespec step{0, std::chrono::nanoseconds(poll_step).count()};
    while (run_seconds == 0 || std::chrono::steady_clock::now() < end) {
        if (!daemon.running()) return false;
        if (sigtimedwait(&stop_signals, nullptr, &step) > 0) {
            printf("\nnanvideo-demo: stopping\n");
            return true;
        }
    }
    return true;
}

// The tools sit beside the demo in the build's bin directory.
std::string tool_path(const char* name) {
    std::error_code ignored;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return (self.parent_path() / name).string();
}

// Waits until bring-up has published the service, then shows the rest of the road: a peer's
// data-path request, and clients on port 554 inside the board's network namespace.
void when_up(board_process& daemon, const std::string& state, uint64_t seed) {
    std::optional<size_t> banner =
        daemon.wait_for_line(output_stream::out, last_bring_up_banner, 0, bring_up_deadline);
    if (!banner || !daemon.wait_for_line(output_stream::out, batch_done, *banner, bring_up_deadline))
        return;
    const std::string ctl = "nsenter --net=/proc/" + std::to_string(daemon.pid()) + "/ns/net " +
                            tool_path("nanvideoctl") + " ::1";
    printf("\nnanvideo-demo: the daemon is up. From another terminal (as root), on its port 554:\n"
           "  %s version\n"
           "  %s record /tmp/nanvideo-stream.bin --seconds 5\n"
           "  %s check --seed %" PRIu64 " --seconds 5\n"
           "nanvideo-demo: a NAN peer %s asks for data path %u\n\n",
           ctl.c_str(), ctl.c_str(), ctl.c_str(), seed, demo_peer_mac, demo_peer_data_path);
    board_world::inject_peer_request(state, demo_peer_mac, demo_peer_data_path);
}

int run(const demo_settings& settings, const sigset_t& stop_signals) {
    scratch_dir state;
    std::string error;
    if (board_world::populate(state.path(), board_world::options(), &error) != 0)
        throw std::runtime_error("cannot set up the board: " + error);
    video_source source(state.path() + "/" + socket_name);
    stream_options stream{.frames_per_second = settings.fps};
    stream.plan.seed = video_source_seed;
    source.start_stream(stream);
    printf("nanvideo-demo: nanvideod on a simulated board, %g frames/s over SPI, %s "
           "(Ctrl-C stops)\n",
           settings.fps,
           settings.seconds == 0 ? "until stopped"
                                 : ("for " + std::to_string(settings.seconds) + " s").c_str());

    board_process daemon(daemon_launch(state.path()), relay);
    when_up(daemon, state.path(), video_source_seed);
    const bool ran_to_the_end = wait_for_end(daemon, settings.seconds, stop_signals);

    daemon.signal(SIGTERM);
    const std::optional<int> status = daemon.wait_exit(stop_grace);
    const std::string ending =
        status ? "ended with " + describe_wait_status(*status) : "did not stop and was killed";
    printf("nanvideo-demo: %" PRIu64 " frames sent; the daemon %s%s\n", source.frames_streamed(),
           ran_to_the_end ? "" : "unexpectedly ", ending.c_str());
    return ran_to_the_end ? EXIT_SUCCESS : EXIT_FAILURE;
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
