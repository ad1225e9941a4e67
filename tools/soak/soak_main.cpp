// nanvideo-soak: the real daemon on the simulated board under everything at once, for a long
// time, then a stop. While the video source sends 90 frames a second, three clients come and go
// and check every byte they get, a fourth connection comes and goes asking for the version, NAN
// peers ask for data paths, and the driver's vendor send fails now and then (never three times
// in a row). Once, in a phase of its own, a client stops reading for 20 seconds. At the end it
// prints what it counted and exits non-zero on any fault:
//   - a payload byte wrong, a frame out of order, a byte no payload explains (any client, the
//     stalled one included: its stream stays whole payloads until the daemon closes it)
//   - a frame a connected client missed outside the stall phase, or in it by any client but the
//     stalled one (a stalled client holds up nobody)
//   - resident memory of the daemon grown after the first minute (beyond two pages)
//   - descriptors or threads of the daemon at the end other than at the start
//   - child processes of the daemon left over (anything besides its iw event listener)
//   - data paths requested and not accepted, version queries unanswered
//   - after SIGTERM: no exit within a second, an exit status other than 0, or any process
//     (such as iw) left in the board's namespace
//   - a sanitizer report in the daemon's output (when the daemon is a sanitizer build)
#include <getopt.h>
#include <signal.h>
#include <sys/wait.h>

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "board_activity.hpp"
#include "board_process.hpp"
#include "board_world.hpp"
#include "proc_probe.hpp"
#include "soak_common.hpp"
#include "video_client.hpp"
#include "video_source.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int default_duration_s = 600;
constexpr double frames_per_second = 90;
constexpr uint32_t payload_length = 4096;
constexpr int video_clients = 3;
constexpr int stalled_client = 0;
constexpr milliseconds stall_length{20000};
// The stall comes this far into the run (a shorter run than the minimum has none).
constexpr double stall_at_fraction = 0.4;
constexpr int shortest_run_with_stall_s = 60;
// The stall phase lasts until every connected client is again this close to the source for a
// while, so that the stalled client's return is part of it.
constexpr int64_t caught_up_frames = 45;
constexpr milliseconds caught_up_for{1000};
constexpr milliseconds longest_catch_up{180000};
// Memory is compared from this point on (or half the run, when shorter).
constexpr milliseconds memory_baseline_at{60000};
constexpr long memory_growth_allowed_kb = 8;  // two pages
constexpr milliseconds bring_up_deadline{60000};
constexpr milliseconds first_client_deadline{10000};
constexpr milliseconds answers_deadline{30000};
constexpr milliseconds settle_deadline{30000};
constexpr milliseconds exit_bound{1000};
constexpr milliseconds exit_grace{10000};
constexpr milliseconds loop_step{100};
constexpr milliseconds progress_every{30000};

constexpr const char* bring_up_last_banner = "=== add_func custom logic execution completed ===";
constexpr const char* batch_done = "=== All commands execution completed ===";
constexpr const char* board_socket_name = "spi.sock";
constexpr const char* board_socket_inside = "/run/nanvideo-board/spi.sock";
constexpr const char* reject_line_prefix = "Reject new client";
constexpr const char* established_prefix = "[decision] Successfully established connection with";
constexpr const char* video_timeout_marker = "Send video data timeout";

struct soak_options {
    int duration_s = default_duration_s;
    uint64_t seed = 0;
    std::string state_dir = NANVIDEO_SOAK_STATE_DIR;
    std::string launcher = NANVIDEO_SOAK_LAUNCHER;
    std::string daemon = NANVIDEO_SOAK_DAEMON;
    std::string spidev_lib = NANVIDEO_SOAK_SPIDEV_LIB;
    std::string qemu;
};

const char usage_text[] =
    "Usage: %s [--duration SECONDS] [--seed N] [--state DIR] [--daemon PATH]\n"
    "          [--spidev-lib PATH] [--qemu COMMAND]\n"
    "Runs the daemon on the simulated board under video, reconnecting clients, version queries,\n"
    "NAN peers, failing vendor sends and one stalled client, then stops it with SIGTERM; prints\n"
    "what it counted and exits with 1 on any fault.\n"
    "  --duration SECONDS  how long the board runs (default 600)\n"
    "  --seed N            the random choices of the run (default: from the clock; printed)\n"
    "  --state DIR         the board's state directory (default: this build's soak/)\n"
    "  --daemon PATH       the daemon (default: this build's nanvideod)\n"
    "  --spidev-lib PATH   the spidev emulator that fits it (default: this build's)\n"
    "  --qemu COMMAND      run the daemon through this emulator (see nanvideo-board --help)\n";

[[noreturn]] void usage_and_exit(const char* program, int status) {
    fprintf(status == 0 ? stdout : stderr, usage_text, program);
    exit(status);
}

soak_options parse_options(int argc, char* argv[]) {
    enum {
        opt_duration = 256,
        opt_seed,
        opt_state,
        opt_daemon,
        opt_spidev_lib,
        opt_qemu,
        opt_help,
    };
    const option long_options[] = {
        {"duration", required_argument, nullptr, opt_duration},
        {"seed", required_argument, nullptr, opt_seed},
        {"state", required_argument, nullptr, opt_state},
        {"daemon", required_argument, nullptr, opt_daemon},
        {"spidev-lib", required_argument, nullptr, opt_spidev_lib},
        {"qemu", required_argument, nullptr, opt_qemu},
        {"help", no_argument, nullptr, opt_help},
        {nullptr, 0, nullptr, 0},
    };
    soak_options options;
    options.seed = static_cast<uint64_t>(time(nullptr));
    int c;
    while ((c = getopt_long(argc, argv, "", long_options, nullptr)) != -1) {
        switch (c) {
            case opt_duration:
                options.duration_s = atoi(optarg);
                break;
            case opt_seed:
                options.seed = strtoull(optarg, nullptr, 10);
                break;
            case opt_state:
                options.state_dir = optarg;
                break;
            case opt_daemon:
                options.daemon = optarg;
                break;
            case opt_spidev_lib:
                options.spidev_lib = optarg;
                break;
            case opt_qemu:
                options.qemu = optarg;
                break;
            case opt_help:
                usage_and_exit(argv[0], 0);
            default:
                usage_and_exit(argv[0], 2);
        }
    }
    if (optind != argc || options.duration_s <= 0) usage_and_exit(argv[0], 2);
    return options;
}

// Overlay work directories are left mode 000; open them up so the tree can go.
void remove_tree(const fs::path& path) {
    std::error_code error;
    fs::remove_all(path, error);
    if (!error) return;
    for (auto it = fs::recursive_directory_iterator(path, error);
         !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
        if (it->is_directory(error)) fs::permissions(it->path(), fs::perms::owner_all, error);
    }
    fs::remove_all(path, error);
}

double seconds_between(soak_clock::time_point from, soak_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

size_t count_prefixed(const std::vector<std::string>& lines, const std::string& prefix) {
    size_t count = 0;
    for (const std::string& line : lines)
        if (line.compare(0, prefix.size(), prefix) == 0) ++count;
    return count;
}

size_t count_containing(const std::vector<std::string>& lines, const std::string& text) {
    size_t count = 0;
    for (const std::string& line : lines)
        if (line.find(text) != std::string::npos) ++count;
    return count;
}

// The verdicts, printed as they are reached; the run fails when any is false.
class verdicts {
public:
    void check(bool ok, const char* format, ...) __attribute__((format(printf, 3, 4)));
    bool all_ok() const { return all_ok_; }

private:
    bool all_ok_ = true;
};

void verdicts::check(bool ok, const char* format, ...) {
    va_list args;
    va_start(args, format);
    printf("  %s ", ok ? "ok  " : "FAIL");
    vprintf(format, args);
    printf("\n");
    va_end(args);
    all_ok_ = all_ok_ && ok;
}

struct stall_record {
    bool planned = false;
    bool started = false;
    double started_at = 0;  // seconds since the stream began
    double over_at = 0;     // the client reads again
    double ended_at = 0;    // every client caught up: loss counts again
    bool caught_up = false;
};

// The daemon and everything around it, for one run.
class soak_run {
public:
    explicit soak_run(const soak_options& options) : options_(options) {}
    int run();

private:
    bool start_board();
    void start_activity();
    void watch();
    void follow_stall(soak_clock::time_point now);
    bool clients_caught_up() const;
    void print_progress(soak_clock::time_point now);
    void stop_activity();
    void wait_for_answers();
    void wait_for_descriptors();
    void stop_daemon();
    void print_others_in_stall() const;
    int report();

    soak_options options_;
    payload_plan plan_;
    std::unique_ptr<video_source> source_;
    std::unique_ptr<board_process> daemon_;
    pid_t pid_ = -1;
    unsigned long namespace_ = 0;

    stop_flag stop_;
    stall_phase phase_;
    std::vector<std::unique_ptr<video_client>> clients_;
    std::unique_ptr<at_prober> at_;
    std::unique_ptr<peer_requester> peers_;
    std::unique_ptr<failure_injector> failures_;

    soak_clock::time_point began_;
    stall_record stall_;
    soak_clock::time_point stall_due_;
    std::optional<soak_clock::time_point> caught_up_since_;
    bool daemon_died_ = false;
    std::string died_how_;

    daemon_sample at_start_;
    std::optional<daemon_sample> at_baseline_;
    daemon_sample at_end_;
    long rss_highest_kb_ = 0;

    // Taken when the activities stop.
    std::vector<client_report> client_reports_;
    at_report at_report_;
    std::vector<unsigned> requested_;
    uint64_t peer_injection_failures_ = 0;
    uint64_t accepted_ = 0;
    uint64_t failures_injected_ = 0;
    uint64_t failures_met_ = 0;

    // The stop.
    std::optional<int> exit_status_;
    double exit_ms_ = 0;
    std::vector<child_process> left_on_board_;
};

int soak_run::run() {
    printf("soak: %d s, seed %" PRIu64 ", state %s\n", options_.duration_s, options_.seed,
           options_.state_dir.c_str());
    fflush(stdout);
    if (!start_board()) return 2;
    start_activity();
    watch();
    stop_activity();
    wait_for_answers();
    wait_for_descriptors();
    at_end_ = sample_daemon(pid_);
    stop_daemon();
    return report();
}

bool soak_run::start_board() {
    remove_tree(options_.state_dir);
    fs::create_directories(options_.state_dir);
    std::string error;
    if (board_world::populate(options_.state_dir, board_world::options(), &error) != 0) {
        fprintf(stderr, "soak: cannot set up the board: %s\n", error.c_str());
        return false;
    }
    plan_ = {.seed = options_.seed, .derived_length = false, .fixed_length = payload_length};
    source_ = std::make_unique<video_source>(options_.state_dir + "/" + board_socket_name);

    board_launch launch;
    launch.launcher = options_.launcher;
    launch.state_dir = options_.state_dir;
    launch.spidev_lib = options_.spidev_lib;
    launch.qemu = options_.qemu;
    launch.program = {options_.daemon};
    launch.environment = {
        {"NANVIDEO_SPIDEV_PATH", "/dev/spidev0.0"},
        {"NANVIDEO_SPIDEV_SOCKET", board_socket_inside},
    };
    daemon_ = std::make_unique<board_process>(launch);
    pid_ = daemon_->pid();
    const std::optional<size_t> banner =
        daemon_->wait_for_line(output_stream::out, bring_up_last_banner, 0, bring_up_deadline);
    if (!banner ||
        !daemon_->wait_for_line(output_stream::out, batch_done, *banner, bring_up_deadline)) {
        fprintf(stderr, "soak: the daemon did not come up; its output:\n");
        for (const std::string& line : daemon_->lines(output_stream::out))
            fprintf(stderr, "%s\n", line.c_str());
        for (const std::string& line : daemon_->lines(output_stream::err))
            fprintf(stderr, "%s\n", line.c_str());
        return false;
    }
    namespace_ = network_namespace(pid_);
    at_start_ = sample_daemon(pid_);
    return true;
}

void soak_run::start_activity() {
    for (int i = 0; i < video_clients; ++i) {
        clients_.push_back(std::make_unique<video_client>(i, pid_, plan_, phase_, stop_,
                                                          options_.seed * 31 + i + 1));
    }
    // Frames flow once a client is there to take them, so the ring starts empty.
    const soak_clock::time_point deadline = soak_clock::now() + first_client_deadline;
    while (soak_clock::now() < deadline && !clients_[0]->report().connected &&
           !clients_[1]->report().connected && !clients_[2]->report().connected)
        stop_.wait_for(milliseconds(10));
    source_->start_stream({.frames_per_second = frames_per_second, .plan = plan_});
    began_ = soak_clock::now();

    at_ = std::make_unique<at_prober>(pid_, stop_, options_.seed * 31 + 11);
    peers_ = std::make_unique<peer_requester>(options_.state_dir, stop_, options_.seed * 31 + 12);
    failures_ = std::make_unique<failure_injector>(options_.state_dir, stop_,
                                                   options_.seed * 31 + 13);
    stall_.planned = options_.duration_s >= shortest_run_with_stall_s;
    stall_due_ = began_ + milliseconds(static_cast<long long>(options_.duration_s * 1000 *
                                                              stall_at_fraction));
}

void soak_run::watch() {
    const soak_clock::time_point end = began_ + std::chrono::seconds(options_.duration_s);
    const soak_clock::time_point baseline_at =
        began_ + std::min(memory_baseline_at, milliseconds(options_.duration_s * 500));
    soak_clock::time_point next_progress = began_ + progress_every;
    for (soak_clock::time_point now = soak_clock::now(); now < end; now = soak_clock::now()) {
        if (!daemon_->running()) {
            daemon_died_ = true;
            const std::optional<int> status = daemon_->wait_ended(milliseconds(0));
            died_how_ = status ? describe_wait_status(*status) : "unknown";
            return;
        }
        follow_stall(now);
        if (!at_baseline_ && now >= baseline_at) at_baseline_ = sample_daemon(pid_);
        rss_highest_kb_ = std::max(rss_highest_kb_, sample_daemon(pid_).rss_kb);
        if (now >= next_progress) {
            print_progress(now);
            next_progress += progress_every;
        }
        stop_.wait_for(loop_step);
    }
}

void soak_run::follow_stall(soak_clock::time_point now) {
    if (!stall_.planned) return;
    if (!stall_.started) {
        if (now < stall_due_) return;
        stall_.started = true;
        stall_.started_at = seconds_between(began_, now);
        phase_.begin();
        clients_[stalled_client]->request_stall(stall_length);
        printf("soak: %.1f s: client %d stops reading for %lld s\n", stall_.started_at,
               stalled_client, static_cast<long long>(stall_length.count() / 1000));
        fflush(stdout);
        return;
    }
    if (!phase_.active()) return;
    if (stall_.over_at == 0) {
        if (!clients_[stalled_client]->stall_over()) return;
        stall_.over_at = seconds_between(began_, now);
    }
    if (!clients_caught_up()) {
        caught_up_since_.reset();
    } else if (!caught_up_since_) {
        caught_up_since_ = now;
    }
    const bool settled = caught_up_since_ && now - *caught_up_since_ >= caught_up_for;
    const bool too_long = seconds_between(began_, now) - stall_.over_at >
                          std::chrono::duration<double>(longest_catch_up).count();
    if (!settled && !too_long) return;
    phase_.end();
    stall_.caught_up = settled;
    stall_.ended_at = seconds_between(began_, now);
    printf("soak: %.1f s: the stall phase ends (%s)\n", stall_.ended_at,
           settled ? "every client caught up" : "clients still behind: loss counts again");
    fflush(stdout);
}

// Every connected client close to the newest frame, and one at least connected.
bool soak_run::clients_caught_up() const {
    const int64_t newest = static_cast<int64_t>(source_->frames_streamed()) - 1;
    int connected = 0;
    for (const auto& client : clients_) {
        const client_report report = client->report();
        if (!report.connected) continue;
        if (report.latest_frame < 0 || newest - report.latest_frame > caught_up_frames)
            return false;
        ++connected;
    }
    return connected > 0;
}

void soak_run::print_progress(soak_clock::time_point now) {
    uint64_t checked = 0, missed = 0, wrong = 0;
    int64_t latest = -1;  // the newest frame any connected client has
    for (const auto& client : clients_) {
        const client_report report = client->report();
        if (report.connected) latest = std::max(latest, report.latest_frame);
        checked += report.normal.frames_checked + report.stall.frames_checked;
        missed += report.normal.missed;
        wrong += report.normal.wrong + report.normal.out_of_order;
    }
    const at_report at = at_->report();
    const daemon_sample sample = sample_daemon(pid_);
    const uint64_t streamed = source_->frames_streamed();
    char backlog[32] = "-";
    if (latest >= 0)
        snprintf(backlog, sizeof backlog, "%" PRId64,
                 static_cast<int64_t>(streamed) - 1 - latest);
    printf("soak: %.0f s: %" PRIu64 " frames streamed, %s behind, %" PRIu64
           " checked by clients, %" PRIu64 " missed, %" PRIu64 " wrong; version %" PRIu64
           "/%" PRIu64 "; data paths asked %zu; VmRSS %ld kB%s\n",
           seconds_between(began_, now), streamed, backlog, checked, missed, wrong,
           at.answered, at.asked, peers_->requested().size(), sample.rss_kb,
           phase_.active() ? " (stall phase)" : "");
    fflush(stdout);
}

void soak_run::stop_activity() {
    if (phase_.active()) {
        phase_.end();
        stall_.ended_at = seconds_between(began_, soak_clock::now());
    }
    stop_.stop();
    // Each report is taken once its thread has ended: every client connection is closed then.
    for (const auto& client : clients_) {
        client->join();
        client_reports_.push_back(client->report());
    }
    at_->join();
    at_report_ = at_->report();
    peers_->join();
    failures_->join();
    requested_ = peers_->requested();
    peer_injection_failures_ = peers_->injection_failures();
}

// The last requests may still be on their way through the daemon and the driver.
void soak_run::wait_for_answers() {
    const soak_clock::time_point deadline = soak_clock::now() + answers_deadline;
    for (;;) {
        accepted_ = accepted_data_paths(options_.state_dir, requested_);
        if (accepted_ >= requested_.size() || soak_clock::now() >= deadline || daemon_died_) break;
        std::this_thread::sleep_for(milliseconds(200));
    }
    failures_injected_ = failures_->injected();
    failures_met_ = failures_->met();
}

// The daemon learns of the clients' going at its next turn; give it that.
void soak_run::wait_for_descriptors() {
    const soak_clock::time_point deadline = soak_clock::now() + settle_deadline;
    while (!daemon_died_ && soak_clock::now() < deadline &&
           sample_daemon(pid_).descriptors != at_start_.descriptors)
        std::this_thread::sleep_for(milliseconds(50));
}

void soak_run::stop_daemon() {
    source_->stop_stream();
    if (daemon_died_) return;
    const soak_clock::time_point signalled = soak_clock::now();
    daemon_->signal(SIGTERM);
    exit_status_ = daemon_->wait_ended(exit_bound);
    if (!exit_status_) exit_status_ = daemon_->wait_ended(exit_grace);
    exit_ms_ = seconds_between(signalled, soak_clock::now()) * 1000;
    // Whatever the daemon killed on its way out has until the same bound to be gone.
    const soak_clock::time_point deadline = signalled + exit_bound;
    do {
        left_on_board_ = processes_in_namespace(namespace_);
        if (left_on_board_.empty()) break;
        std::this_thread::sleep_for(milliseconds(10));
    } while (soak_clock::now() < deadline);
}

// The stall phase seen by everyone but the stalled client: the frames they took and missed.
void soak_run::print_others_in_stall() const {
    uint64_t checked = 0, missed = 0;
    for (size_t i = 0; i < client_reports_.size(); ++i) {
        if (static_cast<int>(i) == stalled_client) continue;
        checked += client_reports_[i].stall.frames_checked;
        missed += client_reports_[i].stall.missed;
    }
    printf("stall phase, the other clients: %" PRIu64 " frames checked, %" PRIu64
           " missed (%s)\n",
           checked, missed, missed == 0 ? "every frame delivered" : "held up by the stall");
}

int soak_run::report() {
    verdicts v;
    // The daemon's last lines (a sanitizer's report comes at its very end) may still be on their
    // way once it has ended: they are judged only once its streams are read to their end.
    if (daemon_died_ || exit_status_) daemon_->wait_exit(exit_grace);
    const std::vector<std::string> out = daemon_->lines(output_stream::out);
    const std::vector<std::string> err = daemon_->lines(output_stream::err);
    printf("\nsoak summary: %d s at %.0f frames/s, %" PRIu64 " frames streamed, seed %" PRIu64
           "\n",
           options_.duration_s, frames_per_second, source_->frames_streamed(), options_.seed);
    if (!stall_.planned) {
        printf("stall phase: none (runs shorter than %d s have none)\n", shortest_run_with_stall_s);
    } else if (stall_.started) {
        printf("stall phase: %.1f s .. %.1f s (client %d read again at %.1f s; %s)\n",
               stall_.started_at, stall_.ended_at, stalled_client, stall_.over_at,
               stall_.caught_up ? "ended when every client had caught up"
                                : "ended before the clients had caught up");
    }
    if (stall_.started) print_others_in_stall();
    printf("daemon: %zu times a client turned away (table full), %zu video send time-outs\n",
           count_prefixed(err, reject_line_prefix), count_containing(err, video_timeout_marker));

    printf("\nclients:\n");
    for (size_t i = 0; i < client_reports_.size(); ++i) {
        const client_report& c = client_reports_[i];
        const stream_counts& n = c.normal;
        const stream_counts& s = c.stall;
        printf("  client %zu: %" PRIu64 " connections (%" PRIu64 " turned away, %" PRIu64
               " closed by the daemon), %" PRIu64 " bytes, %" PRIu64 " frames checked\n",
               i, c.connections, c.turned_away, c.closed_by_daemon, n.bytes + s.bytes,
               n.frames_checked + s.frames_checked);
        printf("            outside the stall phase: %" PRIu64 " wrong, %" PRIu64
               " out of order, %" PRIu64 " bytes unexplained, %" PRIu64 " frames missed\n",
               n.wrong, n.out_of_order, n.skipped, n.missed);
        printf("            in the stall phase:      %" PRIu64 " wrong, %" PRIu64
               " out of order, %" PRIu64 " bytes unexplained, %" PRIu64 " frames missed\n",
               s.wrong, s.out_of_order, s.skipped, s.missed);
    }
    printf("\nverdicts:\n");
    for (size_t i = 0; i < client_reports_.size(); ++i) {
        const client_report& c = client_reports_[i];
        const bool stalled = static_cast<int>(i) == stalled_client;
        const uint64_t bad = c.normal.wrong + c.normal.out_of_order + c.normal.skipped +
                             c.stall.wrong + c.stall.out_of_order + c.stall.skipped;
        v.check(bad == 0, "client %zu: %" PRIu64 " payloads wrong, out of order or unexplained", i,
                bad);
        v.check(c.normal.missed == 0,
                "client %zu: %" PRIu64 " frames missed outside the stall phase", i,
                c.normal.missed);
        if (!stalled && stall_.started)
            v.check(c.stall.missed == 0 && c.stall.frames_checked > 0,
                    "client %zu: %" PRIu64 " frames missed in the stall phase, %" PRIu64
                    " checked",
                    i, c.stall.missed, c.stall.frames_checked);
        v.check(c.normal.frames_checked > 0, "client %zu: %" PRIu64 " frames checked", i,
                c.normal.frames_checked);
    }
    v.check(at_report_.unanswered == 0 && at_report_.answered > 0,
            "version queries: %" PRIu64 " asked, %" PRIu64 " answered, %" PRIu64
            " turned away, %" PRIu64 " connections failed",
            at_report_.asked, at_report_.answered, at_report_.turned_away,
            at_report_.connect_failures);
    v.check(accepted_ == requested_.size() && peer_injection_failures_ == 0 && !requested_.empty(),
            "data paths: %zu requested, %" PRIu64 " accepted, %zu established "
            "(vendor send failures: %" PRIu64 " set, %" PRIu64 " met)",
            requested_.size(), accepted_, count_prefixed(out, established_prefix),
            failures_injected_, failures_met_);
    size_t sanitizer_lines = 0;
    for (const std::vector<std::string>* lines : {&out, &err})
        for (const std::string& line : *lines)
            if (starts_sanitizer_report(line)) ++sanitizer_lines;
    v.check(sanitizer_lines == 0, "sanitizer reports in the daemon's output: %zu", sanitizer_lines);
    if (daemon_died_) {
        v.check(false, "the daemon ended during the run: %s", died_how_.c_str());
        return 1;
    }
    const long baseline_kb = at_baseline_ ? at_baseline_->rss_kb : at_start_.rss_kb;
    const long growth_kb = at_end_.rss_kb - baseline_kb;
    v.check(growth_kb <= memory_growth_allowed_kb,
            "memory: VmRSS %ld kB at start, %ld kB at %lld s, %ld kB at the end (growth %ld kB, "
            "highest %ld kB)",
            at_start_.rss_kb, baseline_kb,
            std::min<long long>(memory_baseline_at.count() / 1000, options_.duration_s / 2),
            at_end_.rss_kb, growth_kb, rss_highest_kb_);
    v.check(at_start_.descriptors == at_end_.descriptors,
            "descriptors: %d at start, %d at the end", at_start_.descriptors, at_end_.descriptors);
    v.check(at_start_.threads == at_end_.threads, "threads: %d at start, %d at the end",
            at_start_.threads, at_end_.threads);
    // The iw event listener started at bring-up stays; anything else, or a zombie, is left over.
    std::vector<child_process> left_over;
    for (const child_process& child : at_end_.children) {
        bool there_at_start = false;
        for (const child_process& first : at_start_.children)
            there_at_start = there_at_start || child.pid == first.pid;
        if (child.state == 'Z' || !there_at_start) left_over.push_back(child);
    }
    v.check(left_over.empty(), "child processes: %s at start, %s at the end; left over: %s",
            describe(at_start_.children).c_str(), describe(at_end_.children).c_str(),
            describe(left_over).c_str());
    const bool exited = exit_status_.has_value();
    v.check(exited && exit_ms_ <= static_cast<double>(exit_bound.count()) &&
                WIFEXITED(*exit_status_) && WEXITSTATUS(*exit_status_) == 0,
            "SIGTERM: %s after %.0f ms", exited ? describe_wait_status(*exit_status_).c_str()
                                               : "still running",
            exit_ms_);
    v.check(left_on_board_.empty(), "processes left on the board after the exit: %s",
            describe(left_on_board_).c_str());
    printf("\nsoak: %s\n", v.all_ok() ? "PASS" : "FAIL");
    return v.all_ok() ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    const soak_options options = parse_options(argc, argv);
    // Replies to clients that are gone must not end the soak.
    signal(SIGPIPE, SIG_IGN);
    soak_run run(options);
    return run.run();
}
