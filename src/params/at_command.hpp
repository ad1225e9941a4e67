#pragma once
// AT commands from TCP clients: "at+ab" followed by config, reset, updatefw or version. Each
// received chunk is one command and gets exactly one reply.
#include <cstddef>

// Where replies go. The daemon's sink hands them to send_at_response; tests and fuzzers record.
class at_reply_sink {
public:
    virtual ~at_reply_sink() = default;
    virtual void reply(int fd, const char* text) = 0;
};

// The daemon's sink unless a test installed one.
at_reply_sink& active_at_reply_sink();

// Installs a sink for its lifetime and puts the previous one back afterwards (tests only).
class scoped_at_reply_sink {
public:
    explicit scoped_at_reply_sink(at_reply_sink& sink);
    ~scoped_at_reply_sink();
    scoped_at_reply_sink(const scoped_at_reply_sink&) = delete;
    scoped_at_reply_sink& operator=(const scoped_at_reply_sink&) = delete;

private:
    at_reply_sink* previous_;
};

constexpr char at_prefix[] = "at+ab";
constexpr size_t at_prefix_length = sizeof(at_prefix) - 1;
constexpr size_t at_text_size = 1024;  // the server's receive buffer: at most 1023 bytes a chunk
constexpr int at_command_failed = -9;  // a failed query or dispatch

constexpr char at_ok_reply[] = "OK\r\n";
#define AT_QUERY_REPLY_FORMAT "name:%s pmk:%s password:%s hostname:%s\r\nOK\r\n"
#define AT_VERSION_REPLY_FORMAT "%s\r\nOK\r\n"

// The error reply for a result code; codes without their own reply get the format error.
const char* at_error_reply(int code);

// Carries out the command in data[0..length) (up to an earlier NUL) for client fd and sends one
// reply. Returns 0 after a success reply, else the code that chose the error reply. Runs on the
// AT worker thread only.
int handle_at_command(int fd, const char* data, int length);
