// The reply seam of the AT handler: the daemon's replies go to the client socket.
#include "at_command.hpp"
#include "tcp_server.hpp"

namespace {

class socket_reply_sink : public at_reply_sink {
public:
    // send_at_response reports its own failures; the handler has nothing more to do about them.
    void reply(int fd, const char* text) override { send_at_response(fd, text); }
};

socket_reply_sink daemon_sink;
at_reply_sink* installed_sink = nullptr;

}  // namespace

at_reply_sink& active_at_reply_sink() { return installed_sink != nullptr ? *installed_sink : daemon_sink; }

scoped_at_reply_sink::scoped_at_reply_sink(at_reply_sink& sink) : previous_(installed_sink) {
    installed_sink = &sink;
}

scoped_at_reply_sink::~scoped_at_reply_sink() { installed_sink = previous_; }
