// check: the stream against the test video source's reproducible payloads.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>

#include "ctl_commands.hpp"
#include "ctl_socket.hpp"
#include "exit_codes.hpp"
#include "mono_clock.hpp"
#include "payload_checker.hpp"
#include "video_stream.hpp"

namespace {

constexpr int64_t ms_per_second = 1000;

// Feeds the checker and stops exactly where the check ends: at the first wrong byte, or when
// the frames asked for are checked. The checker takes a whole read at once and would go on past
// that point (looking for the next frame after an error), so the read that holds it is fed
// again, from the state before it, one byte at a time.
class stream_check {
public:
    stream_check(const payload_plan& plan, uint64_t frames_wanted)
        : checker_(plan), frames_wanted_(frames_wanted) {}

    // Returns false once the check has ended.
    bool feed(const uint8_t* data, size_t length) {
        received_ += length;
        const payload_checker before = checker_;
        checker_.feed(data, length);
        if (!ended()) {
            skipped_ = checker_.bytes_skipped();
            return true;
        }
        checker_ = before;
        for (size_t i = 0; i < length && !ended(); ++i) {
            skipped_ = checker_.bytes_skipped();
            checker_.feed(data + i, 1);
        }
        return false;
    }

    uint64_t received() const { return received_; }
    bool wrong() const { return checker_.errors() > 0; }
    uint64_t frames_checked() const { return checker_.frames_checked(); }

    void print_report() const {
        printf("Frames checked: %" PRIu64 "\n", checker_.frames_checked());
        // Bytes passed over before the first frame (not the rest of a wrong frame).
        printf("Bytes skipped: %" PRIu64 "\n", skipped_);
        printf("Frames missing: %" PRIu64 " (jumps: %" PRIu64 ")\n", checker_.frames_missing(),
               checker_.discontinuities());
        if (!checker_.first_problem().empty())
            printf("First problem: %s\n", checker_.first_problem().c_str());
        if (wrong()) {
            printf("Result: wrong bytes\n");
        } else if (checker_.frames_checked() == 0) {
            printf("Result: no frame checked\n");
        } else {
            printf("Result: all checked bytes are right\n");
        }
    }

private:
    bool ended() const {
        return wrong() || (frames_wanted_ != 0 && checker_.frames_checked() >= frames_wanted_);
    }

    payload_checker checker_;
    uint64_t frames_wanted_;
    uint64_t received_ = 0;
    uint64_t skipped_ = 0;
};

}  // namespace

int run_check(const ctl_options& options) {
    payload_plan plan;
    plan.seed = options.seed;
    plan.derived_length = options.derived_length;
    plan.fixed_length = options.length;

    const int64_t stall_ms = static_cast<int64_t>(options.timeout_s * ms_per_second);
    unique_fd fd = connect_or_say_why(options.host, options.port, options.timeout_s);
    if (!fd.valid()) return exit_unreachable;
    stop_on_interrupt();

    stream_check check(plan, options.frames);
    stream_limits limits;
    limits.stall_ms = stall_ms;
    limits.end_ms = mono_now_ms() + static_cast<int64_t>(options.seconds * ms_per_second);
    int read_errno = 0;
    const stream_end end = read_stream(
        fd.get(), limits,
        [&check](const uint8_t* data, size_t length) { return check.feed(data, length); },
        read_errno);
    check.print_report();

    if (check.wrong()) return exit_refused;
    const char* host = options.host.c_str();
    switch (end) {
        case stream_end::finished:
        case stream_end::interrupted:
            if (check.received() == 0) {
                fprintf(stderr, "nanvideoctl: no video from %s\n", host);
                return exit_no_answer;
            }
            return check.frames_checked() > 0 ? exit_ok : exit_refused;
        default:
            return report_early_end(end, host, options.timeout_s, read_errno);
    }
}
