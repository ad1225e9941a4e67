// Real video figures: the highest H.264 bit rate that four clients of the daemon receive whole.
// For each bit rate of a ladder, a grainy 1080p test pattern made with ffmpeg at that rate is
// played over the emulated bus, paced in real time at the clip's own rate, to a fresh daemon on
// the simulated board with four clients; a rate counts when every client's bytes are the file's,
// ffprobe decodes every frame of them, and they arrived live: within 15 % of the clip's length
// (the clip is longer than the daemon's ring, so buffering cannot hide a daemon that falls
// behind). The ladder stops at the first rate that fails. Rates reported are the clips' own (what
// the encoder made of the rate asked for). The reference is the bus's line rate: the payload
// bits that 50 MHz carries in 4110-byte transfers. With --figures the figures also go to a file
// as "key value" lines (bench_table).
//
//   video_bench [--figures FILE] [--from MBIT_PER_S] [--top MBIT_PER_S]
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "test_pattern.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr int client_count = 4;
constexpr unsigned mega = 1000000;
constexpr double bus_clock_hz = 50e6;
constexpr double bits_per_byte = 8;
constexpr double line_rate_bits_per_s =
    bus_clock_hz / (source_transfer_size * bits_per_byte) * source_max_payload * bits_per_byte;
// The ladder, in Mbit/s; --from and --top cut it.
constexpr unsigned ladder[] = {2, 4, 8, 12, 16, 24, 32, 40, 48};
constexpr unsigned default_top = 48;
// Ten seconds of 1080p at 30 frames a second.
constexpr unsigned pattern_width = 1920;
constexpr unsigned pattern_height = 1080;
constexpr unsigned pattern_fps = 30;
constexpr unsigned pattern_frames = 300;
// Enough grain that the encoder needs every rate of the ladder.
constexpr unsigned pattern_grain = 12;
constexpr double live_slack = 0.15;
// After the last payload, how long the clients may go without a byte before the rest is lost.
constexpr auto drain_quiet = 5000ms;

struct settings {
    std::string figures;
    unsigned from = 0;
    unsigned top = default_top;
};

[[noreturn]] void usage(const char* program) {
    fprintf(stderr, "Usage: %s [--figures FILE] [--from MBIT_PER_S] [--top MBIT_PER_S]\n",
            program);
    exit(2);
}

settings parse_settings(int argc, char* argv[]) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) usage(argv[0]);
        const char* value = argv[++i];
        if (option == "--figures") {
            s.figures = value;
        } else if (option == "--from" || option == "--top") {
            char* end = nullptr;
            const auto rate = static_cast<unsigned>(strtoul(value, &end, 10));
            if (end == value || *end != '\0') usage(argv[0]);
            (option == "--from" ? s.from : s.top) = rate;
        } else {
            usage(argv[0]);
        }
    }
    return s;
}

unique_fd connect_client(board_fixture& board) {
    return connect_when_listening(board.daemon().pid(), client_family::ipv6, e2e_deadline);
}

// Plays the pattern made at the rate asked for to four clients; the clip's own rate when all
// four got it whole, live, and it decodes.
std::optional<double> whole_at(unsigned mbit_per_s) {
    const test_pattern pattern{.width = pattern_width, .height = pattern_height,
                               .frames_per_second = pattern_fps, .frames = pattern_frames,
                               .bits_per_second = mbit_per_s * mega, .grain = pattern_grain};
    std::string error;
    const std::string file = make_test_pattern(NANVIDEO_MEDIA_DIR, pattern, error);
    std::vector<uint8_t> bytes;
    if (file.empty() || !read_whole_file(file, bytes, error)) {
        fprintf(stderr, "video_bench: %s\n", error.c_str());
        return std::nullopt;
    }
    const double clip_s = static_cast<double>(pattern.frames) / pattern.frames_per_second;
    const double clip_bits_per_s = static_cast<double>(bytes.size()) * bits_per_byte / clip_s;
    board_fixture board("video_bench");
    board.start_daemon();
    if (!board.wait_stdout("TCP server initialization successful (max 4 clients).") ||
        !board.source().wait_connected(e2e_deadline)) {
        fprintf(stderr, "video_bench: the daemon did not start\n");
        return std::nullopt;
    }
    std::vector<client_bytes> clients(client_count);
    size_t logged = 0;
    for (client_bytes& client : clients) {
        client.fd = connect_client(board);
        const auto line = board.daemon().wait_for_prefix(
            output_stream::err, "New IPv6 connection (client ", logged, e2e_deadline);
        if (!client.fd.valid() || !line) {
            fprintf(stderr, "video_bench: a client cannot connect\n");
            return std::nullopt;
        }
        logged = *line + 1;
    }
    const auto start = clock_type::now();
    board.source().start_stream({.frames_per_second = 0,
                                 .feed = std::make_shared<byte_feed>(file, false),
                                 .bits_per_second = clip_bits_per_s});
    const auto last_byte = read_until_quiet(clients, bytes.size(), drain_quiet);
    const double seconds = std::chrono::duration<double>(last_byte - start).count();

    unsigned whole = 0;
    for (int n = 0; n < client_count; ++n) {
        const std::vector<uint8_t>& got = clients[n].bytes;
        const std::string copy = board.state_dir() + "/client" + std::to_string(n) + ".h264";
        std::ofstream(copy, std::ios::binary)
            .write(reinterpret_cast<const char*>(got.data()), static_cast<std::streamsize>(got.size()));
        const auto frames = count_decoded_frames(copy, error);
        printf("  client %d: %zu of %zu bytes%s, %u of %u frames decoded\n", n, got.size(),
               bytes.size(), got == bytes ? " (identical)" : "", frames.value_or(0), pattern.frames);
        if (got == bytes && frames == pattern.frames) ++whole;
    }
    const bool live = seconds <= clip_s * (1 + live_slack);
    printf("%u Mbit/s asked, %.1f Mbit/s made: %zu payloads in %.1f s (%s); %u of %d clients "
           "whole\n",
           mbit_per_s, clip_bits_per_s / mega,
           (bytes.size() + source_max_payload - 1) / source_max_payload, seconds,
           live ? "live" : "late", whole, client_count);
    if (whole != client_count || !live) return std::nullopt;
    return clip_bits_per_s;
}

}  // namespace

int main(int argc, char* argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const settings s = parse_settings(argc, argv);
    double best = 0;
    unsigned first_failed = 0;
    for (unsigned mbit_per_s : ladder) {
        if (mbit_per_s < s.from) continue;
        if (mbit_per_s > s.top) break;
        const auto rate = whole_at(mbit_per_s);
        if (!rate) {
            first_failed = mbit_per_s;
            break;
        }
        best = *rate;
    }
    printf("highest bit rate four clients receive whole: %.1f Mbit/s (line rate %.1f Mbit/s)\n",
           best / mega, line_rate_bits_per_s / mega);
    if (!s.figures.empty()) {
        FILE* file = fopen(s.figures.c_str(), "we");
        if (file == nullptr) {
            perror(s.figures.c_str());
            return 1;
        }
        fprintf(file, "video_whole_mbps %.6g\nvideo_first_failed_mbps %u\nline_rate_mbps %.6g\n",
                best / mega, first_failed, line_rate_bits_per_s / mega);
        fclose(file);
    }
    return 0;
}
