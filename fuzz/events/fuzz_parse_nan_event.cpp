// Arbitrary sequences of `iw event` lines through the vendor event parser, and every decoded
// event through the connection decision with a recording dispatcher.
//
// The input is split at newlines; each line is cut to 511 characters as the listener cuts it.
// A line starting with byte 0x01 is not a line: its next byte is a number of seconds by which
// the clock moves on, followed by the idle stale check, so the stale rule is reached too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mono_clock.hpp"
#include "nan_event.hpp"

namespace {

constexpr char clock_step_marker = '\x01';
constexpr char accept_prefix[] = "rsp_mode peer ndl_rsp accept data_path_id ";

void check(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "fuzz_parse_nan_event: %s\n", what);
        abort();
    }
}

class fuzz_clock : public mono_clock_source {
public:
    int64_t now_us() override { return now_us_; }
    void advance_s(int64_t seconds) { now_us_ += seconds * 1000000; }

private:
    int64_t now_us_ = 1000LL * 1000000;
};

// Only what the decision would send: the keyword and its accept text with a byte-sized id.
class checking_dispatcher : public keyword_dispatcher {
public:
    int execute(const char* keyword, const char* params) override {
        check(strcmp(keyword, "data_rsp") == 0, "decision dispatched another keyword");
        size_t prefix = strlen(accept_prefix);
        check(strncmp(params, accept_prefix, prefix) == 0, "accept text changed");
        char* end = nullptr;
        long id = strtol(params + prefix, &end, 10);
        check(*end == '\0' && id >= 0 && id <= 255, "data path id out of byte range");
        return 0;
    }
};

bool is_lower_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); }

void check_decoded(const connection_event& e) {
    check(memchr(e.mac, '\0', sizeof(e.mac)) != nullptr, "mac not terminated");
    check(strlen(e.mac) == 17, "mac text not 17 characters");
    for (int i = 0; i < 17; ++i) {
        bool ok = (i % 3 == 2) ? e.mac[i] == ':' : is_lower_hex(e.mac[i]);
        check(ok, "mac text not lower-case hex pairs");
    }
    bool known = strcmp(e.type, connection_request_type) == 0 ||
                 strcmp(e.type, connection_success_type) == 0 ||
                 strcmp(e.type, connection_termination_type) == 0;
    check(known, "unknown event type");
    if (strcmp(e.type, connection_request_type) == 0) check(e.status == 0, "request with status");
    else check(e.ndp_id == 0, "success or termination with a data path id");
}

fuzz_clock clock_source;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The parser and the decision print a line per step; keep the fuzzer's own output readable.
    if (freopen("/dev/null", "w", stdout) == nullptr) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    vendor_event_collector collector(clock_source);
    mac_allow_list allowed;
    checking_dispatcher dispatcher;
    nan_counters counts;
    connection_decision decision(collector, allowed, dispatcher, counts);

    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;

        if (!line.empty() && line[0] == clock_step_marker) {
            clock_source.advance_s(line.size() > 1 ? static_cast<uint8_t>(line[1]) : 1);
            decision.handle_timeout();
            continue;
        }
        // The listener's cut, and the ring's NUL: the parser sees a C string.
        line = line.substr(0, event_line_size - 1);
        line = line.c_str();

        connection_event event;
        memset(&event, 0x5a, sizeof(event));
        int rc = collector.parse_nan_event(line.c_str(), &event);
        check(rc >= parse_stale && rc <= parse_decoded, "unknown parse result");
        if (rc == parse_decoded) {
            check_decoded(event);
            check(!collector.has_pending_bytes(), "decoded collection kept");
            decision.handle_event(event);
        } else {
            connection_event zero{};
            check(memcmp(&event, &zero, sizeof(zero)) == 0, "record not zeroed");
        }
    }
    return 0;
}
