#include <string>

#include "ctl_options.hpp"

namespace {

const char usage_body[] =
    " [OPTIONS] HOST COMMAND [ARGUMENTS]\n"
    "Talks to nanvideod on HOST (a name, an IPv4 or an IPv6 address) over its TCP port.\n"
    "\n"
    "Commands:\n"
    "  version               show the firmware version\n"
    "  config                show the parameters; the daemon then sends no more video to any\n"
    "                        client until it is restarted\n"
    "  config 'TEXT'         store new parameters, TEXT being\n"
    "                        'name:NAME pmk:PMK password:PASSWORD hostname:NAME.local'\n"
    "  reset                 reboot the board\n"
    "  updatefw              start the firmware update\n"
    "  record FILE [--seconds N | --bytes N]\n"
    "                        save the video stream to FILE ('-' for standard output), for N\n"
    "                        seconds, N bytes, or until Ctrl-C\n"
    "  check --seed S [--seconds N] [--frames N] [--length L | --derived-length]\n"
    "                        compare the stream with the test video source's payloads of seed\n"
    "                        S (each L bytes, default 4096, or of lengths derived from S) and\n"
    "                        show the first wrong byte; for N seconds (default 10) or N frames\n"
    "  status [--json] [--watch N]\n"
    "                        show the daemon's counters as a table (--json: one JSON object);\n"
    "                        --watch N reads them again every N seconds, with frames per\n"
    "                        second in and out to each client, until Ctrl-C\n"
    "\n"
    "Options:\n"
    "  --port N              the daemon's TCP port (default 554)\n"
    "  --timeout S           seconds to wait for the connection, for a reply and for video\n"
    "                        (default 5)\n"
    "  --help                show this text\n"
    "\n"
    "Exit status:\n"
    "  0  success: an OK reply, a complete recording, every checked byte right\n"
    "  1  the daemon replied with an error (shown); check: a wrong byte, or no frame found\n"
    "  2  bad command line\n"
    "  3  HOST not reached: unknown name, connection refused or timed out\n"
    "  4  no reply or no video in time, or the connection closed early\n"
    "  5  record: FILE cannot be written\n"
    "\n"
    "Replies share the connection with the video and come between two frames. After sending\n"
    "its command the tool reads the incoming bytes and looks for the forms a reply takes: a\n"
    "line \"ERROR: text\" or \"OK\", for version and config a text line right before the OK\n"
    "line. Video goes on while a command runs and the reply comes whole between two frames,\n"
    "so the first complete reply counts. Video bytes just before a reply\n"
    "may happen to look like text: the parameters are found by their \"name:\" start, and\n"
    "version asks three times and shows the text the three replies end with in common.\n";

}  // namespace

std::string usage_text(const char* program) {
    std::string name = program;
    const size_t slash = name.rfind('/');
    if (slash != std::string::npos) name.erase(0, slash + 1);
    return "Usage: " + name + usage_body;
}
