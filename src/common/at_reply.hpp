#pragma once
// The seam between the TCP engine and the AT command handler. The engine's command thread runs
// the handler with a reply handle for the one command it carries out; the handler sends its
// reply through it and may stop the video through it. Tests hand the handler a recording one.
// Neither side links the other: the daemon's instances connect them.
#include <cstddef>

// A received chunk is one command text: at most this many bytes, handed over NUL-terminated.
constexpr size_t at_chunk_max = 1023;

class at_reply {
public:
    virtual ~at_reply() = default;
    // Sends one NUL-terminated reply to the client whose command runs. Returns 0 once the reply
    // has started (the client then gets it whole or is closed), or -1 after the failure line
    // ("Failed to send AT response to (fd F): reason").
    virtual int send(const char* text) = 0;
    // The video stops for good (a client reading its configuration is setting the device up).
    virtual void suspend_video() = 0;
    // Sends the daemon's status (the "AT+AB status" reply), read from the counters now. Returns
    // as send does.
    virtual int send_status() = 0;
};

// What the engine runs a chunk through.
class at_command_handler {
public:
    virtual ~at_command_handler() = default;
    // Carries out one chunk (at least one byte, NUL-terminated at data[length]) and replies
    // through reply. Returns 0 or the error code the command thread reports.
    virtual int handle(at_reply& reply, const char* data, int length) = 0;
    // True when the chunk asks for the status and nothing else: the server answers such a chunk
    // itself, at once, when its client has no command waiting or running ahead of it.
    virtual bool asks_status(const char* data, int length) = 0;
};
