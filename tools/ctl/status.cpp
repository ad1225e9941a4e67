// status: the daemon's counters, once or every N seconds. Between two readings the connection's
// video is read and passed over, so the tool is a client like any other and never falls behind.
#include <unistd.h>

#include <cstdio>

#include "at_connection.hpp"
#include "ctl_commands.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"
#include "status_view.hpp"
#include "video_stream.hpp"

namespace {

constexpr int64_t ms_per_second = 1000;
constexpr char clear_screen[] = "\033[H\033[2J";

void show(const ctl_options& options, const status_reading& now, const status_reading* before) {
    if (options.json) {
        fputs(status_json(now, before).c_str(), stdout);
    } else {
        if (options.watch_s > 0 && isatty(STDOUT_FILENO)) {
            fputs(clear_screen, stdout);
            printf("nanvideoctl: %s every %g s (Ctrl-C ends)\n\n", options.host.c_str(),
                   options.watch_s);
        } else if (before != nullptr) {
            fputs("\n", stdout);
        }
        fputs(status_table(now, before).c_str(), stdout);
    }
    fflush(stdout);
}

// One reading; exit_ok or the status to end with (after saying why).
int take_reading(const ctl_options& options, at_connection& connection, status_reading& now) {
    at_reply reply;
    const int status = connection.ask("AT+AB status", reply_form::status_lines, reply);
    if (status != exit_ok) return status;
    if (!reply.ok) {
        fprintf(stderr, "%s\n", reply.error.c_str());
        return exit_refused;
    }
    if (!parse_status(reply.text, now)) {
        fprintf(stderr, "nanvideoctl: the status from %s cannot be read\n", options.host.c_str());
        return exit_no_answer;
    }
    now.at_ms = mono_now_ms();
    return exit_ok;
}

}  // namespace

int run_status(const ctl_options& options) {
    unique_fd fd = connect_or_say_why(options.host, options.port, options.timeout_s);
    if (!fd.valid()) return exit_unreachable;
    at_connection connection(options, std::move(fd));
    if (options.watch_s > 0) stop_on_interrupt();
    status_reading before;
    for (bool first = true;; first = false) {
        status_reading now;
        if (const int status = take_reading(options, connection, now); status != exit_ok)
            return status;
        show(options, now, first ? nullptr : &before);
        if (options.watch_s <= 0) return exit_ok;
        before = now;

        connection.forget_leftover();
        const int64_t watch_ms = static_cast<int64_t>(options.watch_s * ms_per_second);
        const stream_limits until_next{.end_ms = now.at_ms + watch_ms,
                                       .stall_ms = watch_ms + ms_per_second};
        int read_errno = 0;
        const stream_end end = read_stream(
            connection.fd(), until_next, [](const uint8_t*, size_t) { return true; }, read_errno);
        if (end == stream_end::interrupted) return exit_ok;
        if (end != stream_end::finished)
            return report_early_end(end, options.host.c_str(), options.watch_s, read_errno);
    }
}
