// AT commands over the video connection: send one command line, read (and pass over) video
// until the reply shows up, print it.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "at_connection.hpp"
#include "ctl_commands.hpp"
#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"
#include "reply_scanner.hpp"

namespace {

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
        const int status = connection.ask(request.line, request.form, reply);
        if (status != exit_ok) return status;
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
    unique_fd fd = connect_or_say_why(options.host, options.port, options.timeout_s);
    if (!fd.valid()) return exit_unreachable;
    at_connection connection(options, std::move(fd));
    const at_request request = request_for(options);
    if (options.command == ctl_command::version) return ask_version(connection, request);

    at_reply reply;
    const int status = connection.ask(request.line, request.form, reply);
    if (status != exit_ok) return status;
    return print_reply(reply, reply.text);
}
