#pragma once
// One connection to the daemon that asks AT commands and finds their replies among the video
// bytes that share the connection.
#include <cstdint>
#include <string>
#include <vector>

#include "ctl_options.hpp"
#include "ctl_socket.hpp"
#include "reply_scanner.hpp"
#include "unique_fd.hpp"

class at_connection {
public:
    at_connection(const ctl_options& options, unique_fd fd)
        : options_(options), fd_(std::move(fd)) {}

    // Sends the command line (without its line end) and waits for its reply. Returns exit_ok
    // when a reply (OK or ERROR) came, otherwise prints why not and returns the exit status.
    int ask(const std::string& line, reply_form form, at_reply& reply);
    // The socket, for reading the video between two questions.
    int fd() const { return fd_.get(); }
    // What came after the last reply is video: passed over.
    void forget_leftover() { leftover_.clear(); }

private:
    int take(const reply_scanner& scanner, at_reply& reply);
    std::string why_no_reply(const read_result& r) const;
    static int fail(const std::string& problem);

    const ctl_options& options_;
    unique_fd fd_;
    std::vector<uint8_t> leftover_;
    uint64_t received_ = 0;
};
