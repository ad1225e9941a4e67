// The AT commands with recorded replies, a scripted runner and recorded pauses: no input can
// reach a real program. Layout of an input: one flags byte, one length byte n, n bytes that
// the boot environment and the version file answer with, then the received chunk.
#include <pthread.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "at_command.hpp"
#include "param_store.hpp"
#include "params_recorders.hpp"
#include "shell_oracle.hpp"

namespace {

constexpr uint8_t capture_fails = 1;
constexpr uint8_t status_fails = 2;
constexpr uint8_t version_missing = 4;

params_fixture fixture;
recording_sink sink;

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz_at_command: %s\n", what);
        abort();
    }
}

bool ends_with(const std::string& text, const char* tail) {
    size_t n = strlen(tail);
    return text.size() >= n && text.compare(text.size() - n, n, tail) == 0;
}

bool known_code(int rc) { return (rc >= param_bad_name && rc <= param_invalid_format) || rc == at_command_failed; }

void check_commands() {
    for (const std::string& cmd : fixture.runner.captured) {
        check(cmd == vemuparam_command || cmd == zqversion_command, "unexpected captured command");
    }
    for (const std::string& cmd : fixture.runner.statuses) {
        if (cmd == "reboot" || cmd == "/bin/usb.sh -r usbh_msc") continue;
        std::string argument;
        check(shell_double_quoted_argument(cmd.c_str(), argument), "unsafe or unexpected status command");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The handler's progress lines would only slow the fuzzer down.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t flags = data[0];
    size_t answer_length = data[1] < size - 2 ? data[1] : size - 2;
    std::string answer(reinterpret_cast<const char*>(data + 2), answer_length);
    // Exactly the received bytes, no terminator, so any read past them is caught.
    std::vector<char> chunk(data + 2 + answer_length, data + size);

    fixture.runner.captured.clear();
    fixture.runner.statuses.clear();
    fixture.runner.answers.clear();
    fixture.runner.answers[vemuparam_command] = answer;
    if ((flags & version_missing) == 0) fixture.runner.answers[zqversion_command] = answer;
    fixture.runner.capture_result = (flags & capture_fails) != 0 ? -1 : 0;
    fixture.runner.status_results.clear();
    if ((flags & status_fails) != 0) fixture.runner.status_results = {1, 1, 1};
    sink.replies.clear();
    sink.suspended = 0;  // each input starts with video flowing
    memset(&fixture.current_param, 0, sizeof(fixture.current_param));

    int rc = fixture.room.at.handle(sink, chunk.data(), static_cast<int>(chunk.size()));

    check(sink.replies.size() == 1, "not exactly one reply");
    const std::string& reply = sink.replies[0].text;
    if (rc == 0) {
        check(reply == at_ok_reply || ends_with(reply, "\r\nOK\r\n"), "success without a success reply");
    } else {
        check(known_code(rc), "unknown result code");
        check(reply == at_error_reply(rc), "error reply does not match the result");
        check(sink.suspended == 0, "video stopped by a failed command");
    }
    check(pthread_mutex_trylock(&fixture.param_mutex) == 0, "param_mutex left locked");
    pthread_mutex_unlock(&fixture.param_mutex);
    check(pthread_mutex_trylock(&fixture.iwset_mutex) == 0, "iwset_mutex left locked");
    pthread_mutex_unlock(&fixture.iwset_mutex);
    check_commands();
    return 0;
}
