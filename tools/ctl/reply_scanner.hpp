#pragma once
// Finds the daemon's reply to one AT command in the bytes that follow the command on the
// connection. Replies share the connection with the video stream: they come between two
// frames, with video bytes before and after them, and those bytes are arbitrary. A reply is
// recognised by its own form:
//   "ERROR: <text>\r\n"                       any command
//   "OK\r\n"                                  config with a text, reset, updatefw
//   "<text>\r\nOK\r\n"                        version
//   "name:.. pmk:.. password:.. hostname:..\r\nOK\r\n"   config query
//   "uptime_s=N\r\n" "key=N\r\n" ... "OK\r\n"        status
// Video keeps flowing while a command runs, and the daemon puts the reply whole between two
// payloads, so the first complete reply counts; what follows it is video again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class reply_form {
    ok_only,         // config with a text, reset, updatefw
    text_then_ok,    // version
    params_then_ok,  // config query
    status_lines,    // status: key=value lines from "uptime_s=", then OK
};

struct at_reply {
    bool ok = false;
    std::string text;   // the line before "OK" (text_then_ok, params_then_ok), or the
                        // status lines, "\r\n" between them
    std::string error;  // "ERROR: ..." without the line end
};

// The longest reply the daemon sends (the status, under 4096 bytes) fits.
constexpr size_t reply_window = 8192;

class reply_scanner {
public:
    explicit reply_scanner(reply_form form) : form_(form) {}

    // Takes the next bytes received after the command went out. Returns true once a reply is
    // complete; the bytes that followed it in this read are then in rest().
    bool feed(const uint8_t* data, size_t length);

    bool done() const { return done_; }
    const at_reply& reply() const { return reply_; }
    const std::vector<uint8_t>& rest() const { return rest_; }

private:
    bool reply_ending_at(size_t line_end, at_reply& reply) const;
    bool data_line_before(size_t ok_line_start, at_reply& reply) const;
    bool params_start(size_t end, size_t& start) const;
    bool status_before(size_t ok_line_start, at_reply& reply) const;
    size_t text_start(size_t end) const;
    bool bytes_equal(size_t at, const char* text) const;

    reply_form form_;
    std::vector<uint8_t> seen_;  // the last reply_window bytes at most
    bool done_ = false;
    at_reply reply_;
    std::vector<uint8_t> rest_;
};

// The text that all the given lines end with (the version text without the video bytes that
// happened to look like text in front of some of them).
std::string common_ending(const std::vector<std::string>& lines);
