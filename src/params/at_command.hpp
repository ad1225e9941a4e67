#pragma once
// AT commands from TCP clients: "at+ab" followed by config, reset, updatefw or version. Each
// received chunk is one command and gets exactly one reply.
#include <cstddef>

#include "at_reply.hpp"
#include "keyword.hpp"
#include "param_record.hpp"

constexpr char at_prefix[] = "at+ab";
constexpr size_t at_prefix_length = sizeof(at_prefix) - 1;
constexpr int at_command_failed = -9;  // a failed query or dispatch

constexpr char at_ok_reply[] = "OK\r\n";
#define AT_QUERY_REPLY_FORMAT "name:%s pmk:%s password:%s hostname:%s\r\nOK\r\n"
#define AT_VERSION_REPLY_FORMAT "%s\r\nOK\r\n"

// The error reply for a result code; codes without their own reply get the format error.
const char* at_error_reply(int code);

// The daemon's AT commands on the record in params, the boot environment and the device
// keywords run through keywords.
class at_commands final : public at_command_handler {
public:
    at_commands(param_state& params, keyword_dispatch_table& keywords)
        : params_(params), keywords_(keywords) {}

    // Carries out the command in data[0..length) (up to an earlier NUL) and sends exactly one
    // reply through reply. Returns 0 after a success reply, else the code that chose the error
    // reply. Runs on the engine's command thread only.
    int handle(at_reply& reply, const char* data, int length) override;

    // True when data[0..length) is "at+ab status" alone: its reply needs no command run.
    bool asks_status(const char* data, int length) override;

private:
    param_state& params_;
    keyword_dispatch_table& keywords_;
};
