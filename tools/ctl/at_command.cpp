// AT commands over the video connection: send one command line, read (and pass over) video
// until the reply shows up, print it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ctl_commands.hpp"
#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"
#include "reply_scanner.hpp"

namespace {

constexpr int64_t ms_per_second = 1000;
constexpr size_t read_size = 65536;
// Video bytes just before a version reply may happen to be text; the version text is what
// several replies end with in common.
constexpr int version_asks = 3;

struct at_request {
    std::string line;  // without the line end
    reply_form form;
};

at_request request_for(const ctl_options& options) {
    switch (options.command) {
        case ctl_command::version:
            return {"AT+AB version", reply_form::text_then_ok};
        case ctl_command::config_show:
            return {"AT+AB config", reply_form::params_then_ok};
        case ctl_command::config_set:
            return {"AT+AB config " + options.config_text, reply_form::ok_only};
        case ctl_command::reset:
            return {"AT+AB reset", reply_form::ok_only};
        default:
            return {"AT+AB updatefw", reply_form::ok_only};
    }
}

class at_connection {
public:
    at_connection(const ctl_options& options, unique_fd fd)
        : options_(options), fd_(std::move(fd)) {}

    // Sends the command and waits for its reply. Returns exit_ok when a reply (OK or ERROR)
    // came, otherwise prints why not and returns the exit status.
    int ask(const at_request& request, at_reply& reply) {
        const int64_t deadline =
            mono_now_ms() + static_cast<int64_t>(options_.timeout_s * ms_per_second);
        std::string problem;
        if (!send_command(fd_.get(), request.line + "\r\n", deadline, problem))
            return fail(problem);

        reply_scanner scanner(request.form);
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

private:
    int take(const reply_scanner& scanner, at_reply& reply) {
        reply = scanner.reply();
        leftover_ = scanner.rest();
        return exit_ok;
    }

    std::string why_no_reply(const read_result& r) const {
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

    static int fail(const std::string& problem) {
        fprintf(stderr, "nanvideoctl: %s\n", problem.c_str());
        return exit_no_answer;
    }

    const ctl_options& options_;
    unique_fd fd_;
    std::vector<uint8_t> leftover_;
    uint64_t received_ = 0;
};

int print_reply(const at_reply& reply, const std::string& text) {
    if (!reply.ok) {
        fprintf(stderr, "%s\n", reply.error.c_str());
        return exit_refused;
    }
    if (!text.empty()) printf("%s\n", text.c_str());
    printf("OK\n");
    return exit_ok;
}

int ask_version(at_connection& connection, const at_request& request) {
    std::vector<std::string> texts;
    at_reply reply;
    for (int i = 0; i < version_asks; ++i) {
        if (int status = connection.ask(request, reply); status != exit_ok) return status;
        if (!reply.ok) return print_reply(reply, {});
        texts.push_back(reply.text);
    }
    return print_reply(reply, common_ending(texts));
}

}  // namespace

int run_at_command(const ctl_options& options) {
    if (options.command == ctl_command::config_show) {
        fprintf(stderr,
                "nanvideoctl: note: after this query the daemon sends no more video to any "
                "client until it is restarted\n");
    }
    std::string problem;
    const int64_t deadline =
        mono_now_ms() + static_cast<int64_t>(options.timeout_s * ms_per_second);
    unique_fd fd = connect_to_daemon(options.host, options.port, deadline, problem);
    if (!fd.valid()) {
        fprintf(stderr, "nanvideoctl: %s\n", problem.c_str());
        return exit_unreachable;
    }
    at_connection connection(options, std::move(fd));
    const at_request request = request_for(options);
    if (options.command == ctl_command::version) return ask_version(connection, request);

    at_reply reply;
    if (int status = connection.ask(request, reply); status != exit_ok) return status;
    return print_reply(reply, reply.text);
}
