// Streaming figures: the real daemon on the simulated board, the video source handing it frames
// at a steady rate, clients (IPv4 and IPv6) checking every byte they receive. One scenario per
// run:
//   steady    four clients: frames delivered per second, frames lost, the latency from the
//             source's hand-over of a frame to a client's last byte of it, the daemon's CPU time
//             per delivered megabyte and its resident memory
//   chatter   three readers while a fourth client sends a byte every few milliseconds
//   stalled   three readers while a fourth never reads
//   command   three readers while a fourth asks for a command (reset) that runs for seconds
//   join      nobody connected for longer than a lap of the ring, then a client joins, later a
//             second beside it: how long until each has a live frame
//   max-rate  four readers while the source steps up its rate: the highest step all got whole
//   slow-log  three readers while a fourth client floods the daemon with chunks (each one a log
//             line) and the daemon's output drains as slowly as a serial console
//   garbage   no reader; the source sends noise at the bus's full rate: the lines the daemon
//             writes a second
//   relays    no daemon: what the daemon's CPU time is measured against, each relay alone, fed
//             the same payloads at the same pace: the streaming engine's shape with nothing
//             inside it (its threads, hand-offs, wake-ups and tick) to four readers, the cost of
//             the design by itself; then socat from a pipe to one, the cost of a bare relay
// With --figures the figures also go to a file as "key value" lines, for programs that gather
// them (bench_table); with --series the readers' frames and latency second by second.
//
//   stream_bench [--scenario NAME] [--frames N] [--rate FRAMES_PER_SECOND] [--payload BYTES]
//                [--dump FILE] [--figures FILE] [--series FILE] [--daemon PATH]
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"
#include "piped_relay.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t default_frames = 10000;
constexpr double default_rate = 90;
constexpr uint32_t default_payload = 4096;
constexpr int client_count = 4;
// Targets at the default rate with four clients.
constexpr double latency_p99_target_ms = 2;
// After the last frame, how long the clients may go without progress before the rest counts as
// lost.
constexpr auto drain_idle_limit = 3s;

// The chattering client's pace: a keep-alive, or a hostile peer.
constexpr auto chatter_interval = 5ms;
// The slow-log scenario: a client that sends a 200-byte chunk every 2 ms (every chunk is a
// "Received data" line and a failed command), and output drained at the pace of a 115200-baud
// serial console.
constexpr auto flood_interval = 2ms;
constexpr size_t flood_chunk_bytes = 200;
const std::string flood_chunk(flood_chunk_bytes, 'z');
constexpr double console_bytes_per_second = 11500;
// The garbage scenario: noise at the bus's full rate (4110-byte transfers at 50 MHz), for this
// long after the daemon has started.
constexpr double bus_line_rate = 50e6 / (4110 * 8);
constexpr auto garbage_seconds = 10s;
// The command scenario: reset runs the board's reboot, here one that takes its time, asked for
// this far into the stream.
constexpr const char* slow_command = "AT+AB reset";
constexpr const char* ok_reply = "OK\r\n";
constexpr int slow_command_seconds = 5;
constexpr double command_after_s = 2;
// The join scenario: longer than a lap of the ring at 90 frames/s (766 frames), so that every
// slot holds a stale frame; a frame within this much of its hand-over counts as live.
constexpr double join_idle_s = 10;
constexpr double join_beside_after_s = 2;
constexpr double join_live_ms = 50;
// The max-rate scenario's steps, and the share of a step's rate the source must reach for the
// step to count (beyond it the source, not the daemon, is the limit).
constexpr double max_rate_steps[] = {250,  500,  1000, 1250, 1500, 1750,
                                     2000, 2250, 2500, 3000, 4000};
constexpr double max_rate_step_s = 2;
constexpr double source_pace_share = 0.95;

enum class scenario { steady, chatter, stalled, command, join, max_rate, slow_log, garbage, relays };
constexpr std::pair<scenario, const char*> scenario_names[] = {
    {scenario::steady, "steady"},   {scenario::chatter, "chatter"},
    {scenario::stalled, "stalled"}, {scenario::command, "command"},
    {scenario::join, "join"},       {scenario::max_rate, "max-rate"},
    {scenario::slow_log, "slow-log"}, {scenario::garbage, "garbage"},
    {scenario::relays, "relays"},
};

const char* scenario_name(scenario kind) {
    for (const auto& [value, name] : scenario_names)
        if (value == kind) return name;
    return "?";
}

struct settings {
    scenario kind = scenario::steady;
    uint32_t frames = default_frames;
    double rate = default_rate;
    uint32_t payload = default_payload;
    std::string dump;  // where to write every frame's latencies, for a closer look
    std::string figures;  // where to write the figures as "key value" lines
    std::string series;  // where to write the readers' figures second by second
    std::string daemon = NANVIDEO_DAEMON_PATH;  // another build of the daemon, to compare
};

[[noreturn]] void usage(const char* program) {
    fprintf(stderr,
            "Usage: %s [--scenario NAME] [--frames N] [--rate FRAMES_PER_SECOND]\n"
            "       [--payload BYTES] [--dump FILE] [--figures FILE] [--series FILE]\n"
            "       [--daemon PATH]\n"
            "  --scenario steady (default), chatter, stalled, command, join, max-rate,\n"
            "             slow-log, garbage or relays\n"
            "  --frames   frames to stream (default %u; join and max-rate set their own)\n"
            "  --rate     frames per second from the source (default %.0f; max-rate steps up)\n"
            "  --payload  payload bytes per frame, 8 to 4096 (default %u)\n"
            "  --dump     write one line per frame: number, hand-over time (ms from the first),\n"
            "             each reader's latency in ms (-1: never arrived)\n"
            "  --figures  write the figures as \"key value\" lines\n"
            "  --series   write one line per second: seconds, frames the slowest reader took,\n"
            "             99th percentile latency in ms\n"
            "  --daemon   the daemon binary to run (default %s)\n",
            program, default_frames, default_rate, default_payload, NANVIDEO_DAEMON_PATH);
    exit(2);
}

settings parse_settings(int argc, char* argv[]) {
    settings s;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (i + 1 >= argc) usage(argv[0]);
        const char* value = argv[++i];
        if (option == "--scenario") {
            bool known = false;
            for (const auto& [kind, name] : scenario_names) {
                if (name != std::string(value)) continue;
                s.kind = kind;
                known = true;
            }
            if (!known) usage(argv[0]);
        } else if (option == "--frames") {
            s.frames = static_cast<uint32_t>(strtoul(value, nullptr, 10));
        } else if (option == "--rate") {
            s.rate = strtod(value, nullptr);
        } else if (option == "--daemon") {
            s.daemon = value;
        } else if (option == "--dump") {
            s.dump = value;
        } else if (option == "--figures") {
            s.figures = value;
        } else if (option == "--series") {
            s.series = value;
        } else if (option == "--payload") {
            s.payload = static_cast<uint32_t>(strtoul(value, nullptr, 10));
        } else {
            usage(argv[0]);
        }
    }
    if (s.frames == 0 || s.rate <= 0 || s.payload < payload_marker_size ||
        s.payload > source_max_payload)
        usage(argv[0]);
    return s;
}

double seconds_between(clock_type::time_point from, clock_type::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The CPU time of each of a process's threads, by name, in nanoseconds as the scheduler counts
// it (/proc/PID/task/TID/schedstat): clock ticks are too coarse for a relay that uses a few
// hundredths of a second over a whole run. Threads of one name add up.
using thread_cpu = std::vector<std::pair<std::string, unsigned long long>>;

std::string read_small_file(const std::string& path) {
    unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[256];
    const ssize_t got = file.valid() ? read(file.get(), buffer, sizeof buffer - 1) : -1;
    return got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
}

thread_cpu read_thread_cpu(pid_t pid) {
    thread_cpu threads;
    const std::string task_dir = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(task_dir.c_str());
    if (dir == nullptr) return threads;
    while (dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string base = task_dir + "/" + entry->d_name;
        std::string name = read_small_file(base + "/comm");
        while (!name.empty() && name.back() == '\n') name.pop_back();
        const unsigned long long ns = strtoull(read_small_file(base + "/schedstat").c_str(),
                                               nullptr, 10);
        auto same = std::find_if(threads.begin(), threads.end(),
                                 [&](const auto& known) { return known.first == name; });
        if (same == threads.end()) threads.emplace_back(name, ns);
        else same->second += ns;
    }
    closedir(dir);
    return threads;
}

// What each thread used between two readings, busiest first.
thread_cpu thread_cpu_between(const thread_cpu& before, const thread_cpu& after) {
    thread_cpu used;
    for (const auto& [name, ns] : after) {
        auto earlier = std::find_if(before.begin(), before.end(),
                                    [&](const auto& known) { return known.first == name; });
        used.emplace_back(name, ns - (earlier != before.end() ? earlier->second : 0));
    }
    std::sort(used.begin(), used.end(),
              [](const auto& a, const auto& b) { return a.second > b.second; });
    return used;
}

double total_seconds(const thread_cpu& threads) {
    unsigned long long ns = 0;
    for (const auto& thread : threads) ns += thread.second;
    return static_cast<double>(ns) / 1e9;
}

std::string thread_cpu_text(const thread_cpu& threads) {
    std::string text;
    char part[64];
    for (const auto& [name, ns] : threads) {
        snprintf(part, sizeof part, "%s%s %.3f s", text.empty() ? "" : ", ", name.c_str(),
                 static_cast<double>(ns) / 1e9);
        text += part;
    }
    return text;
}

// A process's resident memory in kB from /proc/PID/status: now (VmRSS), the part that is its
// own rather than pages of files such as shared libraries (RssAnon), and the most it has had
// (VmHWM); -1 where the kernel gave no figure.
struct resident_memory {
    long rss_kb = -1;
    long anon_kb = -1;
    long hwm_kb = -1;
};

resident_memory read_resident_memory(pid_t pid) {
    resident_memory memory;
    const std::string path = "/proc/" + std::to_string(pid) + "/status";
    unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[8192];
    const ssize_t got = file.valid() ? read(file.get(), buffer, sizeof buffer - 1) : -1;
    if (got <= 0) return memory;
    buffer[got] = '\0';
    for (const char* line = buffer; line != nullptr && *line != '\0';) {
        sscanf(line, "VmRSS: %ld kB", &memory.rss_kb);
        sscanf(line, "RssAnon: %ld kB", &memory.anon_kb);
        sscanf(line, "VmHWM: %ld kB", &memory.hwm_kb);
        const char* end = strchr(line, '\n');
        line = end != nullptr ? end + 1 : nullptr;
    }
    return memory;
}

// The daemon's resident memory over the stream. A sample about once a second is plenty: the
// figure moves only while the ring fills for the first time and as clients come and go.
class memory_watch {
public:
    explicit memory_watch(pid_t pid) : pid_(pid) {}

    void sample() {
        const resident_memory now = read_resident_memory(pid_);
        if (start_rss_kb_ < 0) start_rss_kb_ = now.rss_kb;
        peak_rss_kb_ = std::max(peak_rss_kb_, now.rss_kb);
        peak_anon_kb_ = std::max(peak_anon_kb_, now.anon_kb);
        hwm_kb_ = std::max(hwm_kb_, now.hwm_kb);
    }

    long start_rss_kb() const { return start_rss_kb_; }
    long peak_rss_kb() const { return peak_rss_kb_; }
    long peak_anon_kb() const { return peak_anon_kb_; }
    long hwm_kb() const { return hwm_kb_; }

private:
    pid_t pid_;
    long start_rss_kb_ = -1;
    long peak_rss_kb_ = -1;
    long peak_anon_kb_ = -1;
    long hwm_kb_ = -1;
};

// One receiving client: checks every byte against the plan and notes when each frame's last
// byte arrived.
class timed_client {
public:
    timed_client(unique_fd socket, const payload_plan& plan, uint32_t frames)
        : socket_(std::move(socket)), checker_(plan), arrival_(frames) {
        thread_ = std::thread([this] { run(); });
    }
    ~timed_client() { stop(); }

    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
    }

    uint32_t frames_done() const { return frames_done_.load(); }
    uint64_t bytes() const { return bytes_.load(); }
    const payload_checker& checker() const { return checker_; }
    // When frame n's last byte arrived; nothing when it never did.
    const std::vector<std::optional<clock_type::time_point>>& arrivals() const { return arrival_; }

private:
    void run() {
        std::vector<uint8_t> buffer(65536);
        while (!stopping_.load()) {
            pollfd ready{socket_.get(), POLLIN, 0};
            const int count = poll(&ready, 1, 100);
            if (count < 0 && errno != EINTR) break;
            if (count <= 0) continue;
            const ssize_t got = recv(socket_.get(), buffer.data(), buffer.size(), 0);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) break;
            const clock_type::time_point now = clock_type::now();
            const uint64_t checked_before = checker_.frames_checked();
            checker_.feed(buffer.data(), static_cast<size_t>(got));
            note_arrivals(checker_.frames_checked() - checked_before, now);
            bytes_ += static_cast<uint64_t>(got);
        }
    }

    // The frames just completed are those right before the one the checker expects next.
    void note_arrivals(uint64_t completed, clock_type::time_point now) {
        const uint32_t next = checker_.next_frame();
        for (uint64_t k = 1; k <= completed && k <= next; ++k) {
            const uint32_t frame = next - static_cast<uint32_t>(k);
            if (frame < arrival_.size()) arrival_[frame] = now;
        }
        frames_done_.store(next);
    }

    unique_fd socket_;
    payload_checker checker_;
    std::vector<std::optional<clock_type::time_point>> arrival_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint32_t> frames_done_{0};
    std::atomic<uint64_t> bytes_{0};
    std::thread thread_;
};

struct latency_figures {
    size_t samples = 0;
    double median_ms = NAN;
    double p99_ms = NAN;
    double max_ms = NAN;
};

latency_figures latencies(const std::vector<const timed_client*>& clients,
                          const std::vector<clock_type::time_point>& handed) {
    std::vector<double> ms;
    for (const timed_client* client : clients) {
        const auto& arrivals = client->arrivals();
        for (size_t n = 0; n < arrivals.size() && n < handed.size(); ++n) {
            if (arrivals[n])
                ms.push_back(std::chrono::duration<double, std::milli>(*arrivals[n] - handed[n]).count());
        }
    }
    latency_figures figures;
    figures.samples = ms.size();
    if (ms.empty()) return figures;
    std::sort(ms.begin(), ms.end());
    figures.median_ms = ms[ms.size() / 2];
    const size_t p99_rank = static_cast<size_t>(std::ceil(0.99 * static_cast<double>(ms.size())));
    figures.p99_ms = ms[std::max<size_t>(p99_rank, 1) - 1];
    figures.max_ms = ms.back();
    return figures;
}

// Connects client `index`, retrying while the server thread has not bound yet, and waits for
// the daemon's line about it.
unique_fd connect_client(board_fixture& board, int index, client_family family) {
    unique_fd fd = connect_when_listening(board.daemon().pid(), family, e2e_deadline);
    if (!fd.valid()) return fd;
    const std::string prefix = "New IPv6 connection (client " + std::to_string(index) + ")";
    if (!board.daemon().wait_for_prefix(output_stream::err, prefix, 0, e2e_deadline)) return {};
    return fd;
}

void dump_latencies(const std::string& path, const std::vector<const timed_client*>& clients,
                    const std::vector<clock_type::time_point>& handed) {
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr) {
        perror(path.c_str());
        return;
    }
    for (size_t n = 0; n < handed.size(); ++n) {
        fprintf(file, "%zu %.3f", n,
                std::chrono::duration<double, std::milli>(handed[n] - handed[0]).count());
        for (const timed_client* client : clients) {
            const auto& arrival = client->arrivals()[n];
            fprintf(file, " %.3f",
                    arrival ? std::chrono::duration<double, std::milli>(*arrival - handed[n]).count()
                            : -1.0);
        }
        fputc('\n', file);
    }
    fclose(file);
}

using figure_list = std::vector<std::pair<const char*, double>>;

void write_figures(const std::string& path, const figure_list& figures) {
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr) {
        perror(path.c_str());
        return;
    }
    for (const auto& [key, value] : figures) fprintf(file, "%s %.6g\n", key, value);
    fclose(file);
}

size_t count_prefixed(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(prefix, 0) == 0;
    }));
}

// ---- the scenarios ----

// Hands frames [first, first + count) to the daemon at `rate`, noting when each was taken, and
// calls after_each(n) once frame n is out; false when the daemon stops taking frames.
bool stream_frames(board_fixture& board, const payload_plan& plan, uint32_t first, uint32_t count,
                   double rate, std::vector<clock_type::time_point>& handed,
                   const std::function<bool(uint32_t)>& after_each) {
    const auto period = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(1.0 / rate));
    const clock_type::time_point start = clock_type::now();
    for (uint32_t k = 0; k < count; ++k) {
        const uint32_t n = first + k;
        std::this_thread::sleep_until(start + period * k);
        spi_reply frame = frame_transfer(plan, n, static_cast<uint8_t>(n));
        handed[n] = clock_type::now();
        if (!board.source().send(std::move(frame), e2e_deadline)) {
            fprintf(stderr, "stream_bench: frame %u was not taken\n", n);
            return false;
        }
        if (!after_each(n)) return false;
    }
    return true;
}

// Waits until every reader has frame `last`, or none has made progress for a while.
void wait_delivered(const std::vector<const timed_client*>& readers, uint32_t last) {
    uint64_t last_progress = 0;
    clock_type::time_point last_change = clock_type::now();
    for (;;) {
        uint64_t progress = 0;
        bool all_done = true;
        for (const timed_client* reader : readers) {
            progress += reader->frames_done();
            all_done = all_done && reader->frames_done() > last;
        }
        if (all_done) return;
        if (progress != last_progress) {
            last_progress = progress;
            last_change = clock_type::now();
        } else if (clock_type::now() - last_change > drain_idle_limit) {
            return;
        }
        std::this_thread::sleep_for(10ms);
    }
}

// The client that is not a reader: it chatters, stalls or asks for a slow command.
class side_client {
public:
    side_client(unique_fd socket, scenario kind, uint32_t payload)
        : socket_(std::move(socket)), kind_(kind), payload_(payload) {
        if (kind_ != scenario::stalled) thread_ = std::thread([this] { run(); });
    }
    ~side_client() { stop(); }

    void stop() {
        stopping_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    // Sends the command (the command scenario's client).
    void ask() {
        asked_at_ = clock_type::now();
        asked_.store(true);
    }
    // From the command to its reply; nothing when no reply came.
    std::optional<double> command_seconds() const {
        if (!replied_.load()) return std::nullopt;
        return seconds_between(asked_at_, replied_at_);
    }
    uint64_t chunks_sent() const { return chunks_sent_.load(); }

private:
    void run() {
        std::vector<uint8_t> buffer(65536);
        clock_type::time_point next_chatter = clock_type::now();
        bool command_sent = false;
        while (!stopping_.load()) {
            if (kind_ == scenario::chatter && clock_type::now() >= next_chatter) {
                if (send_text(socket_.get(), "x")) chunks_sent_ += 1;
                next_chatter += chatter_interval;
            }
            if (kind_ == scenario::slow_log && clock_type::now() >= next_chatter) {
                if (send_text(socket_.get(), flood_chunk)) chunks_sent_ += 1;
                next_chatter += flood_interval;
            }
            if (kind_ == scenario::command && asked_.load() && !command_sent) {
                command_sent = send_text(socket_.get(), slow_command);
                if (command_sent) chunks_sent_ += 1;
            }
            pollfd ready{socket_.get(), POLLIN, 0};
            if (poll(&ready, 1, 1) <= 0) continue;
            const ssize_t got = recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (got <= 0) break;
            if (kind_ == scenario::command) find_reply(buffer.data(), static_cast<size_t>(got));
            // The flood's replies (one error a chunk) are read and let go.
        }
    }

    // The stream is whole payloads of one length with whole replies between them: at each
    // boundary either the reply starts or a payload does.
    void find_reply(const uint8_t* data, size_t length) {
        if (replied_.load()) return;
        pending_.insert(pending_.end(), data, data + length);
        const std::string reply = ok_reply;
        while (pending_.size() - scanned_ >= std::max<size_t>(payload_, reply.size())) {
            if (memcmp(pending_.data() + scanned_, reply.data(), reply.size()) == 0) {
                replied_at_ = clock_type::now();
                replied_.store(true);
                return;
            }
            scanned_ += payload_;
        }
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<ptrdiff_t>(scanned_));
        scanned_ = 0;
    }

    unique_fd socket_;
    scenario kind_;
    uint32_t payload_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> asked_{false};
    std::atomic<bool> replied_{false};
    std::atomic<uint64_t> chunks_sent_{0};
    clock_type::time_point asked_at_;
    clock_type::time_point replied_at_;
    std::vector<uint8_t> pending_;
    size_t scanned_ = 0;
    std::thread thread_;
};

// A reboot that takes its time, in place of the board's stand-ins (the shell may find either).
void install_slow_reboot(const std::string& state) {
    const std::string script = "#!/bin/sh\nsleep " + std::to_string(slow_command_seconds) +
                               "\nexit 0\n";
    for (const char* file : {"root/usr/sbin/reboot", "root/usr/bin/reboot"}) {
        const std::string path = state + "/" + file;
        FILE* out = fopen(path.c_str(), "we");
        if (out == nullptr) continue;
        fputs(script.c_str(), out);
        fclose(out);
        chmod(path.c_str(), 0755);
    }
}

// Starts the daemon and waits for its bring-up to finish, so that the steady state is measured.
bool start_board(board_fixture& board, const settings& s) {
    daemon_options options;
    if (s.kind == scenario::command) options.world = install_slow_reboot;
    if (s.kind == scenario::slow_log) options.output_bytes_per_second = console_bytes_per_second;
    board.start_program(s.daemon, options);
    if (!board.wait_stdout("TCP server initialization successful (max 4 clients).") ||
        !board.source().wait_connected(e2e_deadline)) {
        fprintf(stderr, "stream_bench: the daemon did not start\n");
        return false;
    }
    if (std::optional<size_t> at = board.wait_stdout("=== add_func custom logic execution completed ===")) {
        board.wait_stdout("=== All commands execution completed ===", *at);
    } else {
        fprintf(stderr, "stream_bench: bring-up did not finish; measuring anyway\n");
    }
    return true;
}

const client_family families[client_count] = {client_family::ipv4, client_family::ipv6,
                                              client_family::ipv4, client_family::ipv6};

// Connects readers for table slots [from, client_count).
bool connect_readers(board_fixture& board, const payload_plan& plan, uint32_t frames, int from,
                     std::vector<std::unique_ptr<timed_client>>& readers) {
    for (int i = from; i < client_count; ++i) {
        unique_fd fd = connect_client(board, i, families[i]);
        if (!fd.valid()) {
            fprintf(stderr, "stream_bench: client %d cannot connect\n", i);
            return false;
        }
        readers.push_back(std::make_unique<timed_client>(std::move(fd), plan, frames));
    }
    return true;
}

std::vector<const timed_client*> views(const std::vector<std::unique_ptr<timed_client>>& readers) {
    std::vector<const timed_client*> seen;
    for (const auto& reader : readers) seen.push_back(reader.get());
    return seen;
}

// One line per whole second of the stream: the second's end, the frames the slowest reader took
// in it, and the 99th percentile latency of the frames that arrived in it (NaN: none did).
void write_series(const std::string& path, const std::vector<const timed_client*>& readers,
                  const std::vector<clock_type::time_point>& handed, clock_type::time_point start,
                  clock_type::time_point end) {
    FILE* file = fopen(path.c_str(), "we");
    if (file == nullptr) {
        perror(path.c_str());
        return;
    }
    const size_t seconds = static_cast<size_t>(seconds_between(start, end));
    std::vector<std::vector<uint32_t>> frames(seconds, std::vector<uint32_t>(readers.size()));
    std::vector<std::vector<double>> ms(seconds);
    for (size_t r = 0; r < readers.size(); ++r) {
        const auto& arrivals = readers[r]->arrivals();
        for (size_t n = 0; n < arrivals.size() && n < handed.size(); ++n) {
            if (!arrivals[n] || *arrivals[n] < start) continue;
            const auto second = static_cast<size_t>(seconds_between(start, *arrivals[n]));
            if (second >= seconds) continue;
            ++frames[second][r];
            ms[second].push_back(
                std::chrono::duration<double, std::milli>(*arrivals[n] - handed[n]).count());
        }
    }
    fprintf(file, "# seconds delivered_frames_per_s p99_latency_ms\n");
    for (size_t second = 0; second < seconds; ++second) {
        const uint32_t slowest = *std::min_element(frames[second].begin(), frames[second].end());
        std::vector<double>& sample = ms[second];
        double p99 = NAN;
        if (!sample.empty()) {
            std::sort(sample.begin(), sample.end());
            const auto rank =
                static_cast<size_t>(std::ceil(0.99 * static_cast<double>(sample.size())));
            p99 = sample[std::max<size_t>(rank, 1) - 1];
        }
        fprintf(file, "%zu %u %.3f\n", second + 1, slowest, p99);
    }
    fclose(file);
}

struct reader_figures {
    uint64_t fewest_frames = 0;
    uint64_t lost = 0;
    uint64_t byte_errors = 0;
    uint64_t skipped = 0;
    uint64_t bytes = 0;
    std::string lost_each;
};

// What the readers got of frames [0, frames).
reader_figures reader_totals(const std::vector<const timed_client*>& readers, uint32_t frames) {
    reader_figures totals;
    totals.fewest_frames = frames;
    for (const timed_client* reader : readers) {
        const payload_checker& checker = reader->checker();
        totals.bytes += reader->bytes();
        const uint64_t lost = frames - std::min<uint64_t>(checker.frames_checked(), frames);
        totals.lost += lost;
        totals.byte_errors += checker.errors();
        totals.skipped += checker.bytes_skipped();
        totals.fewest_frames = std::min<uint64_t>(totals.fewest_frames, checker.frames_checked());
        totals.lost_each += " " + std::to_string(lost);
    }
    return totals;
}

void print_problems(const std::vector<const timed_client*>& readers) {
    for (size_t i = 0; i < readers.size(); ++i) {
        const std::string& problem = readers[i]->checker().first_problem();
        if (!problem.empty()) printf("           reader %zu: %s\n", i, problem.c_str());
    }
}

int run_steady(board_fixture& board, const settings& s, const payload_plan& plan);
int run_beside(board_fixture& board, const settings& s, const payload_plan& plan);
int run_join(board_fixture& board, const settings& s, const payload_plan& plan);
int run_max_rate(board_fixture& board, const settings& s, const payload_plan& plan);
int run_garbage(board_fixture& board, const settings& s);
int run_relays(const settings& s, const payload_plan& plan);

int run(const settings& s) {
    const payload_plan plan{.seed = 90, .derived_length = false, .fixed_length = s.payload};
    if (s.kind == scenario::relays) return run_relays(s, plan);
    board_fixture board("stream_bench_" + std::string(scenario_name(s.kind)));
    if (!start_board(board, s)) return 1;
    switch (s.kind) {
    case scenario::steady: return run_steady(board, s, plan);
    case scenario::chatter:
    case scenario::slow_log:
    case scenario::stalled:
    case scenario::command: return run_beside(board, s, plan);
    case scenario::join: return run_join(board, s, plan);
    case scenario::max_rate: return run_max_rate(board, s, plan);
    case scenario::garbage: return run_garbage(board, s);
    case scenario::relays: break;
    }
    return 2;
}

// Four readers: rate, loss, latency, CPU per megabyte and memory. The relays the CPU time is
// set against run alone (run_relays): one beside the daemon would ride on its busy CPUs.
int run_steady(board_fixture& board, const settings& s, const payload_plan& plan) {
    std::vector<std::unique_ptr<timed_client>> clients;
    if (!connect_readers(board, plan, s.frames, 0, clients)) return 1;

    const pid_t daemon_pid = board.daemon().pid();
    const thread_cpu daemon_cpu_before = read_thread_cpu(daemon_pid);
    memory_watch memory(daemon_pid);
    memory.sample();
    const uint32_t memory_sample_every = std::max<uint32_t>(1, static_cast<uint32_t>(s.rate));
    std::vector<clock_type::time_point> handed(s.frames);
    const clock_type::time_point start = clock_type::now();
    const bool streamed = stream_frames(board, plan, 0, s.frames, s.rate, handed, [&](uint32_t n) {
        if (n % memory_sample_every == 0) memory.sample();
        return true;
    });
    if (!streamed) return 1;
    const clock_type::time_point source_done = clock_type::now();

    std::vector<const timed_client*> daemon_clients = views(clients);
    wait_delivered(daemon_clients, s.frames - 1);
    const clock_type::time_point delivered_at = clock_type::now();
    const thread_cpu daemon_threads =
        thread_cpu_between(daemon_cpu_before, read_thread_cpu(daemon_pid));
    const double daemon_cpu = total_seconds(daemon_threads);
    memory.sample();
    for (const auto& client : clients) client->stop();

    // ---- figures ----
    const reader_figures totals = reader_totals(daemon_clients, s.frames);
    const uint64_t fewest_frames = totals.fewest_frames;
    const uint64_t lost_total = totals.lost, byte_errors = totals.byte_errors;
    const uint64_t skipped = totals.skipped;
    const double stream_seconds = seconds_between(start, delivered_at);
    const latency_figures daemon_latency = latencies(daemon_clients, handed);
    const double delivered_mb = static_cast<double>(totals.bytes) / 1e6;

    printf("stream_bench: %u frames of %u bytes at %.1f frames/s, %d clients (IPv4 and IPv6)\n",
           s.frames, s.payload, s.rate, client_count);
    if (s.daemon != NANVIDEO_DAEMON_PATH) printf("daemon binary: %s\n", s.daemon.c_str());
    printf("source:    %u frames handed over in %.2f s (%.2f frames/s)\n", s.frames,
           seconds_between(start, source_done), s.frames / seconds_between(start, source_done));
    printf("delivered: %llu frames to every client in %.2f s (%.2f frames/s per client)\n",
           static_cast<unsigned long long>(fewest_frames), stream_seconds,
           static_cast<double>(fewest_frames) / stream_seconds);
    printf("lost:      %llu frames (per client:%s), byte errors %llu, bytes out of place %llu\n",
           static_cast<unsigned long long>(lost_total), totals.lost_each.c_str(),
           static_cast<unsigned long long>(byte_errors), static_cast<unsigned long long>(skipped));
    print_problems(daemon_clients);
    printf("latency:   source hand-over to a client's last byte, %zu samples: median %.2f ms, "
           "99th percentile %.2f ms, max %.2f ms\n",
           daemon_latency.samples, daemon_latency.median_ms, daemon_latency.p99_ms,
           daemon_latency.max_ms);
    printf("daemon:    %.2f CPU s for %.1f MB delivered to %d clients: %.4f CPU s/MB "
           "(SPI intake included; %.4f CPU s per MB of the stream)\n",
           daemon_cpu, delivered_mb, client_count, daemon_cpu / delivered_mb,
           daemon_cpu * client_count / delivered_mb);
    printf("threads:   %s\n", thread_cpu_text(daemon_threads).c_str());
    printf("memory:    daemon VmRSS %ld kB when the stream began, at most %ld kB while "
           "streaming (RssAnon at most %ld kB); VmHWM %ld kB\n",
           memory.start_rss_kb(), memory.peak_rss_kb(), memory.peak_anon_kb(), memory.hwm_kb());
    const std::vector<std::string> out = board.stdout_lines();
    const std::vector<std::string> err = board.stderr_lines();
    const size_t dropped_lines = count_prefixed(out, "Dropped ");
    const size_t mismatch_lines = count_prefixed(out, "Sequence mismatch");
    const size_t client_lines = count_prefixed(err, "Client ");
    printf("daemon lines: %zu \"Dropped\", %zu \"Sequence mismatch\", %zu about clients "
           "(time-outs, closes)\n",
           dropped_lines, mismatch_lines, client_lines);

    if (!s.dump.empty()) dump_latencies(s.dump, daemon_clients, handed);
    if (!s.series.empty()) write_series(s.series, daemon_clients, handed, start, source_done);
    if (!s.figures.empty()) {
        const double source_seconds = seconds_between(start, source_done);
        write_figures(s.figures, {
            {"frames", s.frames},
            {"rate", s.rate},
            {"payload", s.payload},
            {"clients", client_count},
            {"source_fps", s.frames / source_seconds},
            {"delivered_frames", static_cast<double>(fewest_frames)},
            {"stream_seconds", stream_seconds},
            {"delivered_fps", static_cast<double>(fewest_frames) / stream_seconds},
            {"lost_frames", static_cast<double>(lost_total)},
            {"byte_errors", static_cast<double>(byte_errors)},
            {"bytes_out_of_place", static_cast<double>(skipped)},
            {"latency_samples", static_cast<double>(daemon_latency.samples)},
            {"latency_median_ms", daemon_latency.median_ms},
            {"latency_p99_ms", daemon_latency.p99_ms},
            {"latency_max_ms", daemon_latency.max_ms},
            {"daemon_cpu_seconds", daemon_cpu},
            {"daemon_delivered_mb", delivered_mb},
            {"daemon_cpu_s_per_mb", daemon_cpu / delivered_mb},
            {"daemon_vm_rss_start_kb", static_cast<double>(memory.start_rss_kb())},
            {"daemon_vm_rss_peak_kb", static_cast<double>(memory.peak_rss_kb())},
            {"daemon_rss_anon_peak_kb", static_cast<double>(memory.peak_anon_kb())},
            {"daemon_vm_hwm_kb", static_cast<double>(memory.hwm_kb())},
            {"dropped_lines", static_cast<double>(dropped_lines)},
            {"sequence_mismatch_lines", static_cast<double>(mismatch_lines)},
            {"client_lines", static_cast<double>(client_lines)},
        });
    }

    const bool no_loss = lost_total == 0 && byte_errors == 0 && skipped == 0;
    const bool latency_ok = daemon_latency.p99_ms < latency_p99_target_ms;
    printf("targets (set for 90 frames/s, 4 clients): no frame lost and no byte wrong: %s; "
           "99th percentile latency under %.0f ms: %s\n",
           no_loss ? "met" : "MISSED", latency_p99_target_ms, latency_ok ? "met" : "MISSED");
    return 0;
}

// Three readers beside a client that chatters, never reads, or asks for a command that runs
// for seconds: what the readers get while it does.
int run_beside(board_fixture& board, const settings& s, const payload_plan& plan) {
    unique_fd side_fd = connect_client(board, 0, families[0]);
    if (!side_fd.valid()) {
        fprintf(stderr, "stream_bench: the %s client cannot connect\n", scenario_name(s.kind));
        return 1;
    }
    side_client side(std::move(side_fd), s.kind, s.payload);
    std::vector<std::unique_ptr<timed_client>> clients;
    if (!connect_readers(board, plan, s.frames, 1, clients)) return 1;

    const uint32_t ask_at = static_cast<uint32_t>(s.rate * command_after_s);
    std::vector<clock_type::time_point> handed(s.frames);
    const clock_type::time_point start = clock_type::now();
    const bool streamed = stream_frames(board, plan, 0, s.frames, s.rate, handed, [&](uint32_t n) {
        if (s.kind == scenario::command && n == ask_at) side.ask();
        return true;
    });
    if (!streamed) return 1;
    const clock_type::time_point source_done = clock_type::now();
    const std::vector<const timed_client*> readers = views(clients);
    wait_delivered(readers, s.frames - 1);
    const clock_type::time_point delivered_at = clock_type::now();
    for (const auto& client : clients) client->stop();
    side.stop();

    const reader_figures totals = reader_totals(readers, s.frames);
    const latency_figures latency = latencies(readers, handed);
    const double source_fps = s.frames / seconds_between(start, source_done);
    const double delivered_fps =
        static_cast<double>(totals.fewest_frames) / seconds_between(start, delivered_at);
    const std::vector<std::string> err = board.stderr_lines();
    const size_t client_lines = count_prefixed(err, "Client ");
    const std::optional<double> command = side.command_seconds();

    printf("stream_bench %s: %u frames of %u bytes at %.1f frames/s, %zu readers and one client "
           "that %s\n",
           scenario_name(s.kind), s.frames, s.payload, s.rate, readers.size(),
           s.kind == scenario::chatter    ? "sends a byte every 5 ms"
           : s.kind == scenario::slow_log ? "sends 200 bytes every 2 ms, output read at 11.5 KB/s"
           : s.kind == scenario::stalled ? "never reads"
                                         : "asks for a command that takes seconds");
    printf("source:    %.2f frames/s; readers: %.2f frames/s each (%.4f of the source)\n",
           source_fps, delivered_fps, delivered_fps / source_fps);
    printf("lost:      %llu frames (per reader:%s), byte errors %llu, bytes out of place %llu\n",
           static_cast<unsigned long long>(totals.lost), totals.lost_each.c_str(),
           static_cast<unsigned long long>(totals.byte_errors),
           static_cast<unsigned long long>(totals.skipped));
    print_problems(readers);
    printf("latency:   median %.2f ms, 99th percentile %.2f ms, max %.2f ms\n", latency.median_ms,
           latency.p99_ms, latency.max_ms);
    if (s.kind == scenario::chatter) printf("chatter:   %llu bytes sent\n",
                                             static_cast<unsigned long long>(side.chunks_sent()));
    if (s.kind == scenario::slow_log)
        printf("flood:     %llu chunks sent; the daemon's output: %zu lines read\n",
               static_cast<unsigned long long>(side.chunks_sent()),
               board.stdout_lines().size() + err.size());
    if (s.kind == scenario::command) {
        if (command)
            printf("command:   sent at %.1f s, its reply came %.2f s later\n", command_after_s,
                   *command);
        else
            printf("command:   no reply came\n");
    }
    printf("daemon lines: %zu about clients (time-outs, closes)\n", client_lines);
    if (!s.dump.empty()) dump_latencies(s.dump, readers, handed);
    if (!s.series.empty()) write_series(s.series, readers, handed, start, source_done);
    if (!s.figures.empty()) {
        write_figures(s.figures, {
            {"frames", s.frames},
            {"rate", s.rate},
            {"readers", static_cast<double>(readers.size())},
            {"source_fps", source_fps},
            {"delivered_fps", delivered_fps},
            {"lost_frames", static_cast<double>(totals.lost)},
            {"byte_errors", static_cast<double>(totals.byte_errors)},
            {"bytes_out_of_place", static_cast<double>(totals.skipped)},
            {"latency_median_ms", latency.median_ms},
            {"latency_p99_ms", latency.p99_ms},
            {"latency_max_ms", latency.max_ms},
            {"command_sent_s", s.kind == scenario::command ? command_after_s : NAN},
            {"command_seconds", command ? *command : NAN},
            {"client_lines", static_cast<double>(client_lines)},
        });
    }
    return 0;
}

// When a reader first had a frame within join_live_ms of its hand-over, counted from
// `connecting`; nothing when it never did.
std::optional<double> time_to_live(const timed_client& reader,
                                   const std::vector<clock_type::time_point>& handed,
                                   clock_type::time_point connecting) {
    std::optional<clock_type::time_point> first;
    const auto& arrivals = reader.arrivals();
    for (size_t n = 0; n < arrivals.size() && n < handed.size(); ++n) {
        if (!arrivals[n]) continue;
        const double ms =
            std::chrono::duration<double, std::milli>(*arrivals[n] - handed[n]).count();
        if (ms >= join_live_ms) continue;
        if (!first || *arrivals[n] < *first) first = arrivals[n];
    }
    if (!first) return std::nullopt;
    return std::chrono::duration<double, std::milli>(*first - connecting).count();
}

// The source runs with nobody connected for longer than a lap of the ring; then one client
// joins, and a while later a second beside it. How long until each has a live frame.
int run_join(board_fixture& board, const settings& s, const payload_plan& plan) {
    const uint32_t idle = static_cast<uint32_t>(s.rate * join_idle_s);
    const uint32_t beside_at = idle + static_cast<uint32_t>(s.rate * join_beside_after_s);
    const uint32_t frames = beside_at + static_cast<uint32_t>(s.rate * join_beside_after_s);
    std::vector<clock_type::time_point> handed(frames);
    std::vector<std::unique_ptr<timed_client>> clients;
    clock_type::time_point connecting[2];
    std::thread joiner;
    const auto join = [&](int index) {
        connecting[index] = clock_type::now();
        unique_fd fd = connect_client(board, index, families[index]);
        if (fd.valid())
            clients.push_back(std::make_unique<timed_client>(std::move(fd), plan, frames));
    };
    const bool streamed = stream_frames(board, plan, 0, frames, s.rate, handed, [&](uint32_t n) {
        // Connecting waits for the daemon's line: off the pacing thread.
        if (n == idle) joiner = std::thread(join, 0);
        if (n == beside_at) {
            joiner.join();
            joiner = std::thread(join, 1);
        }
        return true;
    });
    if (joiner.joinable()) joiner.join();
    if (!streamed || clients.size() != 2) {
        fprintf(stderr, "stream_bench: the joining clients did not connect\n");
        return 1;
    }
    const std::vector<const timed_client*> readers = views(clients);
    wait_delivered(readers, frames - 1);
    for (const auto& client : clients) client->stop();
    const std::optional<double> alone = time_to_live(*clients[0], handed, connecting[0]);
    const std::optional<double> beside = time_to_live(*clients[1], handed, connecting[1]);
    printf("stream_bench join: %.1f frames/s, nobody connected for %.1f s (%u frames)\n", s.rate,
           join_idle_s, idle);
    printf("first client:  a frame within %.0f ms of its hand-over %.1f ms after connecting\n",
           join_live_ms, alone.value_or(NAN));
    printf("second client: the same %.1f ms after connecting beside the first\n",
           beside.value_or(NAN));
    const auto first_frame = [](const timed_client& client) {
        const payload_checker& checker = client.checker();
        return checker.next_frame() - static_cast<uint32_t>(checker.frames_checked());
    };
    printf("first frames:  %u and %u (the source was at %u and %u)\n", first_frame(*clients[0]),
           first_frame(*clients[1]), idle, beside_at);
    if (!s.figures.empty()) {
        write_figures(s.figures, {
            {"rate", s.rate},
            {"idle_seconds", join_idle_s},
            {"join_alone_ms", alone.value_or(NAN)},
            {"join_beside_ms", beside.value_or(NAN)},
        });
    }
    return 0;
}

// Four readers; the source steps up its rate until a step loses a frame or the source itself
// falls behind. The highest step every reader got whole.
int run_max_rate(board_fixture& board, const settings& s, const payload_plan& plan) {
    uint32_t total = 0;
    for (double rate : max_rate_steps) total += static_cast<uint32_t>(rate * max_rate_step_s);
    std::vector<std::unique_ptr<timed_client>> clients;
    if (!connect_readers(board, plan, total, 0, clients)) return 1;
    const std::vector<const timed_client*> readers = views(clients);
    std::vector<clock_type::time_point> handed(total);
    double best = 0, best_asked = 0;
    uint32_t first = 0;
    printf("stream_bench max-rate: %u-byte frames to %d readers, %.0f s per step\n", s.payload,
           client_count, max_rate_step_s);
    for (double rate : max_rate_steps) {
        const uint32_t count = static_cast<uint32_t>(rate * max_rate_step_s);
        const clock_type::time_point start = clock_type::now();
        if (!stream_frames(board, plan, first, count, rate, handed, [](uint32_t) { return true; }))
            return 1;
        const double achieved = count / seconds_between(start, clock_type::now());
        wait_delivered(readers, first + count - 1);
        uint64_t lost = 0, wrong = 0;
        for (const timed_client* reader : readers) {
            const auto& arrivals = reader->arrivals();
            for (uint32_t n = first; n < first + count; ++n) lost += arrivals[n] ? 0 : 1;
            wrong += reader->checker().errors() + reader->checker().bytes_skipped();
        }
        const bool kept_pace = achieved >= rate * source_pace_share;
        printf("step %6.0f frames/s asked, %8.1f handed over: %llu frames lost, "
               "%llu bytes wrong%s\n",
               rate, achieved, static_cast<unsigned long long>(lost),
               static_cast<unsigned long long>(wrong),
               kept_pace ? "" : " (the source fell behind)");
        first += count;
        if (lost > 0 || wrong > 0 || !kept_pace) break;
        best = achieved;
        best_asked = rate;
    }
    for (const auto& client : clients) client->stop();
    printf("highest step every reader got whole: %.0f frames/s asked, %.1f handed over\n",
           best_asked, best);
    if (!s.figures.empty())
        write_figures(s.figures, {{"max_rate_asked_fps", best_asked}, {"max_rate_fps", best}});
    return 0;
}

// Noise at the bus's full rate, nobody connected: how many lines the daemon writes a second.
int run_garbage(board_fixture& board, const settings& s) {
    stream_options noise;
    noise.frames_per_second = bus_line_rate;
    noise.garbage = true;
    const auto lines_now = [&] {
        return board.stdout_lines().size() + board.stderr_lines().size();
    };
    const uint64_t taken_before = board.source().transfers_taken();
    const size_t lines_before = lines_now();
    const clock_type::time_point start = clock_type::now();
    board.source().start_stream(noise);
    std::this_thread::sleep_for(garbage_seconds);
    const size_t lines_after = lines_now();
    const double seconds = seconds_between(start, clock_type::now());
    board.source().stop_stream();
    const double transfers = static_cast<double>(board.source().transfers_taken() - taken_before);
    const double lines = static_cast<double>(lines_after - lines_before);
    printf("stream_bench garbage: noise at %.0f transfers/s asked for %.1f s\n", bus_line_rate,
           seconds);
    printf("source:    %.0f transfers taken (%.1f a second)\n", transfers, transfers / seconds);
    printf("daemon:    %.0f lines written (%.1f a second)\n", lines, lines / seconds);
    if (!s.figures.empty()) {
        write_figures(s.figures, {
            {"garbage_seconds", seconds},
            {"garbage_transfers_per_s", transfers / seconds},
            {"garbage_lines_per_s", lines / seconds},
        });
    }
    return 0;
}

struct relay_figures {
    double cpu_s = NAN;
    double mb = 0;
    uint64_t lost = 0;
    uint64_t byte_errors = 0;
};

// One relay alone (started, its connections not yet taken) with a reader on each connection,
// fed s.frames payloads at s.rate.
std::optional<relay_figures> run_relay(piped_relay& relay, size_t connections, const settings& s,
                                       const payload_plan& plan) {
    std::vector<std::unique_ptr<timed_client>> readers;
    for (size_t i = 0; i < connections; ++i)
        readers.push_back(std::make_unique<timed_client>(relay.take_connection(i), plan, s.frames));
    const auto period = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(1.0 / s.rate));
    const clock_type::time_point start = clock_type::now();
    for (uint32_t n = 0; n < s.frames; ++n) {
        std::this_thread::sleep_until(start + period * n);
        if (!relay.write_payload(plan.payload(n))) {
            fprintf(stderr, "stream_bench: a relay stopped taking input\n");
            return std::nullopt;
        }
    }
    const std::vector<const timed_client*> seen = views(readers);
    wait_delivered(seen, s.frames - 1);
    relay_figures got;
    got.cpu_s = relay.finish();
    for (const auto& reader : readers) reader->stop();
    const reader_figures totals = reader_totals(seen, s.frames);
    print_problems(seen);
    got.mb = static_cast<double>(totals.bytes) / 1e6;
    got.lost = totals.lost;
    got.byte_errors = totals.byte_errors;
    return got;
}

// The engine's shape, then socat, each alone, fed the same payloads at the same pace (no
// daemon): what the streaming design costs a megabyte before the daemon does any work in it,
// and what a bare relay costs. One after the other: two relays woken by the same hand-over
// slow each other.
int run_relays(const settings& s, const payload_plan& plan) {
    // Each relay forks before its reader threads exist.
    piped_relay shape_relay;
    if (!shape_relay.start_engine_shape(client_count, s.payload)) {
        fprintf(stderr, "stream_bench: cannot start the engine's shape\n");
        return 1;
    }
    const std::optional<relay_figures> shape = run_relay(shape_relay, client_count, s, plan);
    if (!shape) return 1;
    piped_relay socat_relay;
    if (!socat_relay.start_socat()) {
        fprintf(stderr, "stream_bench: cannot start socat\n");
        return 1;
    }
    const std::optional<relay_figures> socat = run_relay(socat_relay, 1, s, plan);
    if (!socat) return 1;

    printf("stream_bench relays: %u frames of %u bytes at %.1f frames/s, no daemon\n", s.frames,
           s.payload, s.rate);
    printf("shape:     %.2f CPU s for %.1f MB delivered to %d clients: %.4f CPU s/MB; lost %llu "
           "frames, byte errors %llu\n",
           shape->cpu_s, shape->mb, client_count, shape->cpu_s / shape->mb,
           static_cast<unsigned long long>(shape->lost),
           static_cast<unsigned long long>(shape->byte_errors));
    printf("socat:     %.2f CPU s for %.1f MB relayed from a pipe to 1 client: %.4f CPU s/MB\n",
           socat->cpu_s, socat->mb, socat->cpu_s / socat->mb);
    if (!s.figures.empty()) {
        write_figures(s.figures, {
            {"frames", s.frames},
            {"rate", s.rate},
            {"lost_frames", static_cast<double>(shape->lost + socat->lost)},
            {"byte_errors", static_cast<double>(shape->byte_errors + socat->byte_errors)},
            {"shape_cpu_seconds", shape->cpu_s},
            {"shape_delivered_mb", shape->mb},
            {"shape_cpu_s_per_mb", shape->cpu_s / shape->mb},
            {"socat_cpu_seconds", socat->cpu_s},
            {"socat_relayed_mb", socat->mb},
            {"socat_cpu_s_per_mb", socat->cpu_s / socat->mb},
        });
    }
    const uint64_t wrong = shape->lost + socat->lost + shape->byte_errors + socat->byte_errors;
    return wrong == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char* argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return run(parse_settings(argc, argv));
}
