#pragma once
// A stand-in for the daemon's TCP port on an ephemeral loopback port: it sends video bytes,
// reads command lines and answers each with the next scripted answer (video still in flight,
// the reply, more video) in one write. The tool under test is pointed at it with --port.
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "unique_fd.hpp"
#include "video_frame.hpp"

enum class fake_family { ipv4, ipv6 };

struct fake_script {
    std::string greeting = {};              // sent as soon as the client is accepted
    std::vector<std::string> answers = {};  // one per command line, in order; "" sends nothing
    bool close_after_greeting = false;
};

class fake_daemon {
public:
    // Listens on 127.0.0.1 or ::1; listening() is false when the family is not available.
    explicit fake_daemon(fake_family family = fake_family::ipv4);
    ~fake_daemon();
    fake_daemon(const fake_daemon&) = delete;
    fake_daemon& operator=(const fake_daemon&) = delete;

    bool listening() const { return listen_fd_.valid(); }
    std::string port() const { return std::to_string(port_); }

    // Serves one connection with the script, on a thread of its own. After the last answer
    // the connection stays open until the client closes it.
    void serve(fake_script script);
    // The command lines received (without their line ends). Call it once the client has
    // gone (the tool has exited): it ends the serving.
    std::vector<std::string> commands();

private:
    void run(fake_script script);
    void talk(int fd, const fake_script& script);
    void stop();
    // Takes the command lines out of what has arrived; false when the client has closed.
    bool take_lines(int fd, bool wait, std::string& pending, std::vector<std::string>& lines);

    uint16_t port_ = 0;  // before listen_fd_: set while that is made
    unique_fd listen_fd_;
    unique_fd stop_fd_;  // eventfd: ends the waits once the client is gone or the test is over
    std::thread thread_;
    std::mutex mutex_;
    int connection_ = -1;  // shut down by the destructor to end a blocked send
    std::vector<std::string> commands_;
};

// The concatenated payloads of frames first .. first + count - 1 of the plan.
std::string payload_stream(const payload_plan& plan, uint32_t first, uint32_t count);
