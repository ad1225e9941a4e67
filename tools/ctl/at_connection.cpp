// Replies share the connection with the video: the bytes after the command are read, video
// passed over, until the reply's form shows up.
#include "at_connection.hpp"

#include <cstdio>
#include <cstring>

#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"

namespace {

constexpr int64_t ms_per_second = 1000;
constexpr size_t read_size = 65536;

}  // namespace

int at_connection::ask(const std::string& line, reply_form form, at_reply& reply) {
    const int64_t deadline =
        mono_now_ms() + static_cast<int64_t>(options_.timeout_s * ms_per_second);
    std::string problem;
    if (!send_command(fd_.get(), line + "\r\n", deadline, problem)) return fail(problem);

    reply_scanner scanner(form);
    // Bytes that came after the previous reply in the same read.
    if (!leftover_.empty() && scanner.feed(leftover_.data(), leftover_.size()))
        return take(scanner, reply);
    std::vector<uint8_t> buffer(read_size);
    for (;;) {
        const read_result r = read_some(fd_.get(), buffer.data(), buffer.size(), deadline);
        if (r.status == read_status::data) {
            received_ += r.count;
            if (scanner.feed(buffer.data(), r.count)) return take(scanner, reply);
            continue;
        }
        if (r.status == read_status::interrupted) continue;
        return fail(why_no_reply(r));
    }
}

int at_connection::take(const reply_scanner& scanner, at_reply& reply) {
    reply = scanner.reply();
    leftover_ = scanner.rest();
    return exit_ok;
}

std::string at_connection::why_no_reply(const read_result& r) const {
    char text[512];  // room for the longest host name
    if (r.status == read_status::timed_out) {
        snprintf(text, sizeof text, "no reply from %s within %g s", options_.host.c_str(),
                 options_.timeout_s);
    } else if (r.status == read_status::closed && received_ == 0) {
        // A fifth client is accepted and closed at once.
        snprintf(text, sizeof text,
                 "%s closed the connection without a reply (the daemon takes at most 4 "
                 "clients at once)",
                 options_.host.c_str());
    } else if (r.status == read_status::closed) {
        snprintf(text, sizeof text, "%s closed the connection before a reply came",
                 options_.host.c_str());
    } else {
        snprintf(text, sizeof text, "reading from %s failed: %s", options_.host.c_str(),
                 strerror(r.error));
    }
    return text;
}

int at_connection::fail(const std::string& problem) {
    fprintf(stderr, "nanvideoctl: %s\n", problem.c_str());
    return exit_no_answer;
}
