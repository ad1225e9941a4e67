// Real video through the whole chain: an H.264 test pattern made with ffmpeg, cut into payloads
// by the video source, over the emulated bus into the daemon and out to two clients on port 554.
// Each client must receive the file's bytes exactly, and ffprobe, a decoder nobody here wrote,
// must decode every frame of what it received.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "test_pattern.hpp"

namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

const std::string server_ready = "TCP server initialization successful (max 4 clients).";
const std::string connection_prefix = "New IPv6 connection (client ";
constexpr size_t client_count = 2;

// "" when equal, else where the two first part.
std::string first_difference(const std::vector<uint8_t>& got, const std::vector<uint8_t>& want) {
    const auto at = std::mismatch(got.begin(), got.end(), want.begin(), want.end());
    if (at.first == got.end() && at.second == want.end()) return "";
    return "received " + std::to_string(got.size()) + " bytes of " + std::to_string(want.size()) +
           "; first difference at byte " + std::to_string(at.first - got.begin());
}

class RealVideo : public board_test {
protected:
    void play_to_two_clients(const test_pattern& pattern) {
        std::string error;
        const std::string file = make_test_pattern(NANVIDEO_MEDIA_DIR, pattern, error);
        ASSERT_FALSE(file.empty()) << error;
        std::vector<uint8_t> bytes;
        ASSERT_TRUE(read_whole_file(file, bytes, error)) << error;

        board.start_daemon();
        ASSERT_TRUE(board.wait_stdout(server_ready));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
        std::vector<client_bytes> clients(client_count);
        size_t logged = 0;
        for (client_bytes& client : clients) {
            client.fd = connect_client();
            ASSERT_TRUE(client.fd.valid()) << strerror(errno);
            // Both are taken in before the first payload, so both must get all of it.
            const auto line = board.daemon().wait_for_prefix(output_stream::err, connection_prefix,
                                                             logged, e2e_deadline);
            ASSERT_TRUE(line);
            logged = *line + 1;
        }

        board.source().start_stream({.frames_per_second = 0,
                                     .feed = std::make_shared<byte_feed>(file, false),
                                     .bits_per_second = double(pattern.bits_per_second)});
        read_until_quiet(clients, bytes.size(), e2e_deadline);
        EXPECT_TRUE(board.source().wait_stream_done(e2e_deadline));

        for (size_t n = 0; n < client_count; ++n) {
            const std::vector<uint8_t>& got = clients[n].bytes;
            EXPECT_EQ(first_difference(got, bytes), "") << "client " << n;
            const std::string copy = board.state_dir() + "/client" + std::to_string(n) + ".h264";
            std::ofstream(copy, std::ios::binary)
                .write(reinterpret_cast<const char*>(got.data()), static_cast<std::streamsize>(got.size()));
            EXPECT_EQ(count_decoded_frames(copy, error), pattern.frames) << "client " << n << error;
        }
    }

    unique_fd connect_client() {
        return connect_when_listening(board.daemon().pid(), client_family::ipv4, e2e_deadline);
    }
};

TEST_F(RealVideo, TestPatternAt2MbitsReachesTwoClientsWholeAndDecodes) {
    play_to_two_clients({.width = 640, .height = 480, .frames_per_second = 30, .frames = 240,
                         .bits_per_second = 2000000});
}

// About 250 payloads a second.
TEST_F(RealVideo, TestPattern1080pAt8MbitsReachesTwoClientsWholeAndDecodes) {
    play_to_two_clients({.width = 1920, .height = 1080, .frames_per_second = 30, .frames = 240,
                         .bits_per_second = 8000000});
}

}  // namespace
