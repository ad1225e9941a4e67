// The status as nanvideoctl shows it: the table, the JSON object, and the rates between two
// readings.
#include <gtest/gtest.h>

#include "status_view.hpp"

namespace {

const std::string first_reply =
    "uptime_s=3725\r\nspi_transfers=1000\r\nbus_idle_s=0\r\nframes_stored=990\r\n"
    "frames_refused_crc=2\r\nvideo_suspended=0\r\nclients=2\r\n"
    "client0_connected=1\r\nclient0_connection=7\r\nclient0_connected_s=65\r\n"
    "client0_frames_sent=500\r\nclient0_bytes_sent=2048000\r\nclient0_frames_skipped=3\r\n"
    "client0_timeouts=1\r\nclient0_at_commands=2\r\n"
    "client1_connected=1\r\nclient1_connection=8\r\nclient1_connected_s=5\r\n"
    "client1_frames_sent=100\r\n"
    "client2_connected=0\r\nnew_counter=5";

status_reading reading(const std::string& text, int64_t at_ms) {
    status_reading r;
    EXPECT_TRUE(parse_status(text, r));
    r.at_ms = at_ms;
    return r;
}

TEST(StatusView, TableWithTheKnownRowsTheUnknownKeysAndTheClients) {
    const status_reading now = reading(first_reply, 0);
    EXPECT_EQ(status_table(now, nullptr),
              "up                         1 h 02 min 05 s\n"
              "video                      streaming\n"
              "bus idle                   0 s\n"
              "SPI transfers              1000\n"
              "frames stored              990\n"
              "frames refused: CRC        2\n"
              "clients connected          2\n"
              "new_counter                5\n"
              "\n"
              "client connection      connected  frames sent     bytes sent  skipped time-outs "
              "commands frames/s out\n"
              "0               7     1 min 05 s          500        2048000        3         1 "
              "       2            -\n"
              "1               8            5 s          100              0        0         0 "
              "       0            -\n"
              "2            free\n"
              "3            free\n");
}

TEST(StatusView, JsonIsOneFlatObjectOfTheKeysInTheDaemonsOrder) {
    const status_reading now = reading("uptime_s=5\r\nframes_stored=9\r\nclient0_connected=0", 0);
    EXPECT_EQ(status_json(now, nullptr),
              "{\"uptime_s\":5,\"frames_stored\":9,\"client0_connected\":0}\n");
}

TEST(StatusView, RatesFromTwoReadingsForClientsThatKeptTheirConnection) {
    const status_reading before = reading(first_reply, 10000);
    std::string later = first_reply;
    later.replace(later.find("frames_stored=990"), 17, "frames_stored=1170");
    later.replace(later.find("client0_frames_sent=500"), 23, "client0_frames_sent=680");
    later.replace(later.find("client1_connection=8"), 20, "client1_connection=9");
    const status_reading now = reading(later, 12000);
    const std::string table = status_table(now, &before);
    EXPECT_NE(table.find("\nframes/s in                90.0\n"), std::string::npos) << table;
    EXPECT_NE(table.find("        2         90.0\n1 "), std::string::npos) << table;
    EXPECT_NE(table.find("        0            -\n2 "), std::string::npos) << table;
    const std::string json = status_json(now, &before);
    EXPECT_NE(json.find(",\"new_counter\":5,\"frames_per_s_in\":90.0,"
                        "\"client0_frames_per_s_out\":90.0}\n"),
              std::string::npos)
        << json;
}

TEST(StatusView, RepliesThatAreNotKeyAndNumberAreRefused) {
    status_reading r;
    for (const char* bad : {"", "uptime_s", "uptime_s=", "Uptime=1", "a=1\r\nb=x",
                            "a=99999999999999999999"})
        EXPECT_FALSE(parse_status(bad, r)) << bad;
    EXPECT_TRUE(parse_status("a=18446744073709551615", r));
    EXPECT_EQ(r.get("a"), UINT64_MAX);
}

}  // namespace
