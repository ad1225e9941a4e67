// nanvideo-source: a video source for the simulated SPI bus, for the demo and for use by hand.
// It listens where NANVIDEO_SPIDEV_SOCKET of the daemon's emulator points and streams frames.
#include <getopt.h>
#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "video_source.hpp"

namespace {

constexpr std::chrono::milliseconds poll_step{200};

const char usage_text[] =
    "Usage: %s --socket PATH [options]\n"
    "Streams video frames to the daemon's simulated SPI device: numbered test payloads, or a\n"
    "real byte stream (an H.264 file, say) cut into payloads of 4096 bytes.\n"
    "  --socket PATH        where to listen (the emulator's NANVIDEO_SPIDEV_SOCKET)\n"
    "  --fps N              frames per second, 0 for as fast as taken (default 90)\n"
    "  --bitrate N          pace by payload bits instead: N bits per second (suffix k or M)\n"
    "  --count N            frames to send, 0 for no end (default 0)\n"
    "  --file PATH          payloads cut from this file ('-' for standard input) instead of\n"
    "                       the numbered ones; the stream ends at its end\n"
    "  --loop               with --file: start again at its end\n"
    "  --length N           payload bytes per frame, 0 to 4096 (default 4096)\n"
    "  --derived-length     payload length of each frame derived from the seed\n"
    "  --garbage            noise instead of frames (a camera that sends nothing)\n"
    "  --seed N             payload seed (default 1)\n"
    "  --first-frame N      number of the first frame (default 0)\n"
    "  --first-sequence N   sequence byte of the first frame (default 0)\n"
    "  --help               show this text\n";

enum option_id {  // in the order of long_options
    opt_socket = 256,
    opt_fps,
    opt_bitrate,
    opt_count,
    opt_file,
    opt_loop,
    opt_length,
    opt_derived_length,
    opt_garbage,
    opt_seed,
    opt_first_frame,
    opt_first_sequence,
    opt_help,
};

const option long_options[] = {
    {"socket", required_argument, nullptr, opt_socket},
    {"fps", required_argument, nullptr, opt_fps},
    {"bitrate", required_argument, nullptr, opt_bitrate},
    {"count", required_argument, nullptr, opt_count},
    {"file", required_argument, nullptr, opt_file},
    {"loop", no_argument, nullptr, opt_loop},
    {"length", required_argument, nullptr, opt_length},
    {"derived-length", no_argument, nullptr, opt_derived_length},
    {"garbage", no_argument, nullptr, opt_garbage},
    {"seed", required_argument, nullptr, opt_seed},
    {"first-frame", required_argument, nullptr, opt_first_frame},
    {"first-sequence", required_argument, nullptr, opt_first_sequence},
    {"help", no_argument, nullptr, opt_help},
    {nullptr, 0, nullptr, 0},
};

bool parse_unsigned(const char* text, unsigned long long max, unsigned long long& value) {
    char* end = nullptr;
    errno = 0;
    value = strtoull(text, &end, 10);
    return *text != '\0' && *end == '\0' && errno == 0 && value <= max;
}

constexpr double kilo = 1e3;
constexpr double mega = 1e6;

// A positive number with an optional k or M after it.
bool parse_rate(const char* text, double& value) {
    char* end = nullptr;
    value = strtod(text, &end);
    if (end == text) return false;
    if (*end == 'k') {
        value *= kilo;
        ++end;
    } else if (*end == 'M') {
        value *= mega;
        ++end;
    }
    return *end == '\0' && value > 0;
}

struct source_settings {
    std::string socket_path;
    stream_options stream;
    std::string file;
    bool loop = false;
};

// Returns -1 to go on, or the exit status.
int parse(int argc, char* argv[], source_settings& settings) {
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        unsigned long long value = 0;
        bool ok = true;
        switch (c) {
            case opt_socket:
                settings.socket_path = optarg;
                break;
            case opt_fps:
                settings.stream.frames_per_second = strtod(optarg, nullptr);
                ok = settings.stream.frames_per_second >= 0;
                break;
            case opt_bitrate:
                ok = parse_rate(optarg, settings.stream.bits_per_second);
                break;
            case opt_file:
                settings.file = optarg;
                break;
            case opt_loop:
                settings.loop = true;
                break;
            case opt_count:
                ok = parse_unsigned(optarg, UINT64_MAX, value);
                settings.stream.count = value;
                break;
            case opt_length:
                ok = parse_unsigned(optarg, source_max_payload, value);
                settings.stream.plan.fixed_length = static_cast<uint32_t>(value);
                break;
            case opt_derived_length:
                settings.stream.plan.derived_length = true;
                break;
            case opt_garbage:
                settings.stream.garbage = true;
                break;
            case opt_seed:
                ok = parse_unsigned(optarg, UINT64_MAX, value);
                settings.stream.plan.seed = value;
                break;
            case opt_first_frame:
                ok = parse_unsigned(optarg, UINT32_MAX, value);
                settings.stream.first_frame = static_cast<uint32_t>(value);
                break;
            case opt_first_sequence:
                ok = parse_unsigned(optarg, UINT8_MAX, value);
                settings.stream.first_sequence = static_cast<uint8_t>(value);
                break;
            case opt_help:
                printf(usage_text, argv[0]);
                return EXIT_SUCCESS;
            default:
                fprintf(stderr, usage_text, argv[0]);
                return EXIT_FAILURE;
        }
        if (!ok) {
            fprintf(stderr, "%s: bad value for --%s: %s\n", argv[0],
                    long_options[c - opt_socket].name, optarg);
            return EXIT_FAILURE;
        }
    }
    if (settings.socket_path.empty() || optind != argc || (settings.loop && settings.file.empty())) {
        fprintf(stderr, usage_text, argv[0]);
        return EXIT_FAILURE;
    }
    return -1;
}

// Streams until the count is sent or SIGINT/SIGTERM arrives.
void run(video_source& source, const stream_options& stream, const sigset_t& stop_signals) {
    source.start_stream(stream);
    bool announced = false;
    const timespec step{0, std::chrono::nanoseconds(poll_step).count()};
    for (;;) {
        if (sigtimedwait(&stop_signals, nullptr, &step) > 0) return;
        if (!announced && source.connected()) {
            printf("nanvideo-source: the daemon opened the device\n");
            announced = true;
        }
        if (source.stream_done()) return;
    }
}

}  // namespace

int main(int argc, char* argv[]) {
    source_settings settings;
    if (int status = parse(argc, argv, settings); status >= 0) return status;
    setvbuf(stdout, nullptr, _IOLBF, 0);

    // Blocked before the serving thread starts, so only sigtimedwait sees them.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

    try {
        if (!settings.file.empty())
            settings.stream.feed = std::make_shared<byte_feed>(settings.file, settings.loop);
        video_source source(settings.socket_path);
        printf("nanvideo-source: listening on %s\n", settings.socket_path.c_str());
        run(source, settings.stream, stop_signals);
        printf("nanvideo-source: %" PRIu64 " frames sent\n", source.frames_streamed());
        if (settings.stream.feed && !settings.stream.feed->error().empty()) {
            fprintf(stderr, "nanvideo-source: %s\n", settings.stream.feed->error().c_str());
            return EXIT_FAILURE;
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "nanvideo-source: %s\n", e.what());
        return EXIT_FAILURE;
    }
    return EXIT_SUCCESS;
}
