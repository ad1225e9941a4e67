// Finding a reply in a stream of video bytes: each reply form, video that happens to look like
// text before it, replies cut across reads, and what comes after a reply.
#include <gtest/gtest.h>

#include "reply_scanner.hpp"

namespace {

bool feed(reply_scanner& scanner, const std::string& bytes) {
    return scanner.feed(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

// Feeds one byte at a time; returns how many bytes it took.
size_t feed_bytewise(reply_scanner& scanner, const std::string& bytes) {
    for (size_t i = 0; i < bytes.size(); ++i)
        if (feed(scanner, bytes.substr(i, 1))) return i + 1;
    return 0;
}

std::string rest_of(const reply_scanner& scanner) {
    return std::string(scanner.rest().begin(), scanner.rest().end());
}

const std::string video_bytes("\x93\x00\x41\xfe\r\x07", 6);

// ---- plain OK ----

TEST(ReplyScanner, OkAfterVideo) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_FALSE(feed(s, video_bytes + "O"));
    EXPECT_TRUE(feed(s, "K\r\n\x01\x02"));
    EXPECT_TRUE(s.reply().ok);
    EXPECT_EQ(s.reply().text, "");
    EXPECT_EQ(rest_of(s), "\x01\x02");
}

TEST(ReplyScanner, OkAfterVideoThatEndsInText) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_TRUE(feed(s, video_bytes + "abOK\r\n"));
    EXPECT_TRUE(s.reply().ok);
}

TEST(ReplyScanner, LineEndCutBetweenReads) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_FALSE(feed(s, "OK\r"));
    EXPECT_TRUE(feed(s, "\n"));
    EXPECT_TRUE(s.reply().ok);
}

TEST(ReplyScanner, VideoLineEndsAreNoReply) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_FALSE(feed(s, "\r\n\r\nxK\r\nO\r\nERROR: \r\n" + video_bytes));
    EXPECT_FALSE(s.done());
}

TEST(ReplyScanner, OkAfterMoreTextThanAnyReplyHolds) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_FALSE(feed(s, std::string(5000, 'a') + "\r\n" + std::string(5000, 'b')));
    EXPECT_TRUE(feed(s, "OK\r\n"));
    EXPECT_TRUE(s.reply().ok);
}

// ---- errors ----

TEST(ReplyScanner, ErrorForEveryForm) {
    for (reply_form form :
         {reply_form::ok_only, reply_form::text_then_ok, reply_form::params_then_ok}) {
        reply_scanner s(form);
        EXPECT_TRUE(feed(s, video_bytes + "zzERROR: Invalid input format\r\n" + video_bytes));
        EXPECT_FALSE(s.reply().ok);
        EXPECT_EQ(s.reply().error, "ERROR: Invalid input format");
        EXPECT_EQ(rest_of(s), video_bytes);
    }
}

// Video goes on after the reply: the first reply counts, and what follows it waits in rest().
TEST(ReplyScanner, FirstReplyOfOneReadCounts) {
    reply_scanner s(reply_form::ok_only);
    EXPECT_TRUE(feed(s,
                     "\x01OK\r\n\x02"
                     "ERROR: Command execution failed\r\n\x03"));
    EXPECT_TRUE(s.reply().ok);
    EXPECT_EQ(rest_of(s), "\x02"
                         "ERROR: Command execution failed\r\n\x03");
}

// ---- version ----

TEST(ReplyScanner, VersionTextStartsAfterTheLastNonTextByte) {
    reply_scanner s(reply_form::text_then_ok);
    EXPECT_TRUE(feed(s, video_bytes + "NANCAM_V1.1.0_SIM\r\nOK\r\n"));
    EXPECT_EQ(s.reply().text, "NANCAM_V1.1.0_SIM");
}

TEST(ReplyScanner, VersionNeedsItsTextLine) {
    reply_scanner s(reply_form::text_then_ok);
    // A bare OK (or one after junk on its line) is not a version reply.
    EXPECT_FALSE(feed(s, "\x01OK\r\n\x02xOK\r\n\x03\r\nOK\r\n"));
    EXPECT_TRUE(feed(s, "V2\r\nOK\r\n"));
    EXPECT_EQ(s.reply().text, "V2");
}

TEST(ReplyScanner, VersionCutAtEveryByte) {
    reply_scanner s(reply_form::text_then_ok);
    const std::string bytes = video_bytes + "V1.0\r\nOK\r\n";
    EXPECT_EQ(feed_bytewise(s, bytes), bytes.size());
    EXPECT_EQ(s.reply().text, "V1.0");
}

TEST(ReplyScanner, LongestVersionTextFitsTheWindow) {
    reply_scanner s(reply_form::text_then_ok);
    const std::string version(1023, 'v');
    EXPECT_FALSE(feed(s, std::string(5000, '\x01')));
    EXPECT_TRUE(feed(s, version + "\r\nOK\r\n"));
    EXPECT_EQ(s.reply().text, version);
}

TEST(ReplyScanner, CommonEndingDropsTextLikeVideoBytes) {
    EXPECT_EQ(common_ending({"QzV1.0", "RV1.0", "V1.0"}), "V1.0");
    EXPECT_EQ(common_ending({"aV1.0", "aV1.0"}), "aV1.0");
    EXPECT_EQ(common_ending({"V1.0"}), "V1.0");
    EXPECT_EQ(common_ending({}), "");
}

// ---- configuration query ----

const std::string params =
    "name:NanCam pmk:0123456789abcdef0123456789abcdef password:secret123 hostname:nancam.local";

TEST(ReplyScanner, ParametersStartAtTheirName) {
    reply_scanner s(reply_form::params_then_ok);
    // The video before happens to end in characters a name may hold.
    EXPECT_TRUE(feed(s, video_bytes + "x-._" + params + "\r\nOK\r\n"));
    EXPECT_EQ(s.reply().text, params);
}

TEST(ReplyScanner, ParametersWithEmptyValuesAndAnyBytesInPasswords) {
    const std::string odd = "name:N pmk: password:\x01p\xFFss:\"w\\ hostname:n.local";
    reply_scanner s(reply_form::params_then_ok);
    EXPECT_TRUE(feed(s, "\x01" + odd + "\r\nOK\r\n"));
    EXPECT_EQ(s.reply().text, odd);
}

TEST(ReplyScanner, ParametersCutAtEveryByte) {
    reply_scanner s(reply_form::params_then_ok);
    const std::string bytes = video_bytes + params + "\r\nOK\r\n";
    EXPECT_EQ(feed_bytewise(s, bytes), bytes.size());
    EXPECT_EQ(s.reply().text, params);
}

TEST(ReplyScanner, TextWithoutTheParameterItemsIsNoQueryReply) {
    reply_scanner s(reply_form::params_then_ok);
    EXPECT_FALSE(feed(s, "\x01V1.0\r\nOK\r\n"));
    EXPECT_FALSE(feed(s, "\x01pmk: password: hostname:a.local\r\nOK\r\n"));
    EXPECT_FALSE(feed(s, "\x01name: pmk: password: hostname:a.local\r\nOK\r\n"));
    EXPECT_FALSE(s.done());
}

}  // namespace

// ---- status ----

namespace {

TEST(ReplyScanner, StatusLinesFromUptimeToOkAmidVideoThatLooksLikeThem) {
    reply_scanner s(reply_form::status_lines);
    // Video before the reply ends in "key=digits" text and even holds an earlier "uptime_s=".
    const std::string lines = "uptime_s=12\r\nframes_stored=900\r\nclient0_bytes_sent=4096";
    EXPECT_FALSE(feed(s, video_bytes + "uptime_s=x\r\nab_9=1"));
    EXPECT_EQ(feed_bytewise(s, lines + "\r\nOK\r\n\x05"), lines.size() + 6);
    EXPECT_TRUE(s.reply().ok);
    EXPECT_EQ(s.reply().text, lines);
}

TEST(ReplyScanner, StatusNeedsEveryLineToBeKeyAndNumber) {
    for (const std::string bad : {"uptime_s=1\r\nkey=\r\n", "uptime_s=1\r\nKey=2\r\n",
                                  "uptime_s=1\r\n=2\r\n", "uptime_s=1\r\nkey=2x\r\n",
                                  "other=1\r\n"}) {
        reply_scanner s(reply_form::status_lines);
        EXPECT_FALSE(feed(s, video_bytes + bad + "OK\r\n")) << bad;
    }
    reply_scanner s(reply_form::status_lines);
    EXPECT_TRUE(feed(s, video_bytes + "ERROR: Command execution failed\r\n"));
    EXPECT_FALSE(s.reply().ok);
}

}  // namespace
