// Streaming figures: the real daemon on the simulated board, the video source handing it frames
// at a steady rate, four clients (IPv4 and IPv6) checking every byte they receive. Prints the
// frames delivered per second, frames lost, the latency from the source's hand-over of a frame
// to a client's last byte of it, and the daemon's CPU time per delivered megabyte beside socat
// relaying the same payloads from a pipe to one client, the cost of a bare relay, and the
// daemon's resident memory while it streams. With --figures the same figures also go to a file
// as "key value" lines, for programs that gather them (bench_table).
//
//   stream_bench [--frames N] [--rate FRAMES_PER_SECOND] [--payload BYTES] [--dump FILE]
//                [--figures FILE] [--daemon PATH]
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
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
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "board_client.hpp"
#include "board_fixture.hpp"

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

constexpr uint32_t default_frames = 10000;
constexpr double default_rate = 90;
constexpr uint32_t default_payload = 4096;
constexpr int client_count = 4;
// Targets at the default rate with four clients.
constexpr double latency_p99_target_ms = 25;
// After the last frame, how long the clients may go without progress before the rest counts as
// lost.
constexpr auto drain_idle_limit = 3s;

struct settings {
    uint32_t frames = default_frames;
    double rate = default_rate;
    uint32_t payload = default_payload;
    std::string dump;  // where to write every frame's latencies, for a closer look
    std::string figures;  // where to write the figures as "key value" lines
    std::string daemon = NANVIDEO_DAEMON_PATH;  // another build of the daemon, to compare
};

[[noreturn]] void usage(const char* program) {
    fprintf(stderr,
            "Usage: %s [--frames N] [--rate FRAMES_PER_SECOND] [--payload BYTES] [--dump FILE]\n"
            "       [--figures FILE] [--daemon PATH]\n"
            "  --frames   frames to stream (default %u)\n"
            "  --rate     frames per second from the source (default %.0f)\n"
            "  --payload  payload bytes per frame, 8 to 4096 (default %u)\n"
            "  --dump     write one line per frame: number, hand-over time (ms from the first),\n"
            "             each client's latency in ms (-1: never arrived)\n"
            "  --figures  write the figures as \"key value\" lines\n"
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
        if (option == "--frames") {
            s.frames = static_cast<uint32_t>(strtoul(value, nullptr, 10));
        } else if (option == "--rate") {
            s.rate = strtod(value, nullptr);
        } else if (option == "--daemon") {
            s.daemon = value;
        } else if (option == "--dump") {
            s.dump = value;
        } else if (option == "--figures") {
            s.figures = value;
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

// utime + stime of a process, in seconds (clock-tick resolution).
double cpu_seconds(pid_t pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    unique_fd file(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    char buffer[1024];
    const ssize_t got = file.valid() ? read(file.get(), buffer, sizeof buffer - 1) : -1;
    if (got <= 0) return NAN;
    const std::string text(buffer, static_cast<size_t>(got));
    const size_t end_of_name = text.rfind(')');
    if (end_of_name == std::string::npos) return NAN;
    std::istringstream fields(text.substr(end_of_name + 2));
    std::string field;
    unsigned long long utime = 0, stime = 0;
    // Fields from the state (3rd) on; utime and stime are the 14th and 15th.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number == 14) utime = std::stoull(field);
        if (number == 15) stime = std::stoull(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
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

// socat copying its standard input (a pipe the bench writes) to a TCP client of the bench.
class socat_relay {
public:
    bool start() {
        listener_.reset(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (!listener_.valid() ||
            bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(listener_.get(), 1) != 0 ||
            getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
            return false;
        int pipe_fds[2];
        if (pipe2(pipe_fds, O_CLOEXEC) != 0) return false;
        unique_fd read_end(pipe_fds[0]);
        input_.reset(pipe_fds[1]);
        const std::string target = "TCP:127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        pid_ = fork();
        if (pid_ < 0) return false;
        if (pid_ == 0) {
            dup2(read_end.get(), STDIN_FILENO);
            execlp("socat", "socat", "-u", "STDIN", target.c_str(), static_cast<char*>(nullptr));
            perror("socat");
            _exit(127);
        }
        read_end.reset();
        pollfd ready{listener_.get(), POLLIN, 0};
        if (poll(&ready, 1, 10000) != 1) return false;
        connection_.reset(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
        return connection_.valid();
    }

    // Hands the receiving end to a client (once).
    unique_fd take_connection() { return std::move(connection_); }

    bool write_payload(const std::vector<uint8_t>& payload) {
        size_t done = 0;
        while (done < payload.size()) {
            const ssize_t n = write(input_.get(), payload.data() + done, payload.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }

    // Ends the input and waits for socat; returns its CPU seconds (user + system).
    double finish() {
        input_.reset();
        if (pid_ <= 0) return NAN;
        int status = 0;
        rusage usage{};
        if (wait4(pid_, &status, 0, &usage) != pid_) return NAN;
        pid_ = -1;
        return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
               static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }

    ~socat_relay() {
        if (pid_ > 0) finish();
    }

private:
    unique_fd listener_;
    unique_fd input_;
    unique_fd connection_;
    pid_t pid_ = -1;
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
    const auto deadline = clock_type::now() + e2e_deadline;
    unique_fd fd;
    for (;;) {
        fd = connect_in_namespace(board.daemon().pid(), family);
        if (fd.valid() || errno != ECONNREFUSED || clock_type::now() >= deadline) break;
        std::this_thread::sleep_for(10ms);
    }
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

int run(const settings& s) {
    const payload_plan plan{.seed = 90, .derived_length = false, .fixed_length = s.payload};
    board_fixture board("stream_bench");
    board.start_program(s.daemon, {});
    if (!board.wait_stdout("TCP server initialization successful (max 4 clients).") ||
        !board.source().wait_connected(e2e_deadline)) {
        fprintf(stderr, "stream_bench: the daemon did not start\n");
        return 1;
    }
    // Measure the steady state: bring-up runs its shell commands first.
    if (std::optional<size_t> at = board.wait_stdout("=== add_func custom logic execution completed ===")) {
        board.wait_stdout("=== All commands execution completed ===", *at);
    } else {
        fprintf(stderr, "stream_bench: bring-up did not finish; measuring anyway\n");
    }

    const client_family families[client_count] = {client_family::ipv4, client_family::ipv6,
                                                  client_family::ipv4, client_family::ipv6};
    std::vector<std::unique_ptr<timed_client>> clients;
    for (int i = 0; i < client_count; ++i) {
        unique_fd fd = connect_client(board, i, families[i]);
        if (!fd.valid()) {
            fprintf(stderr, "stream_bench: client %d cannot connect\n", i);
            return 1;
        }
        clients.push_back(std::make_unique<timed_client>(std::move(fd), plan, s.frames));
    }
    socat_relay relay;
    if (!relay.start()) {
        fprintf(stderr, "stream_bench: cannot start socat\n");
        return 1;
    }
    timed_client relay_client(relay.take_connection(), plan, s.frames);

    const pid_t daemon_pid = board.daemon().pid();
    const double daemon_cpu_before = cpu_seconds(daemon_pid);
    memory_watch memory(daemon_pid);
    memory.sample();
    const uint32_t memory_sample_every = std::max<uint32_t>(1, static_cast<uint32_t>(s.rate));
    std::vector<clock_type::time_point> handed(s.frames);
    std::vector<clock_type::time_point> relayed(s.frames);
    const auto period = std::chrono::duration_cast<clock_type::duration>(
        std::chrono::duration<double>(1.0 / s.rate));
    const clock_type::time_point start = clock_type::now();
    for (uint32_t n = 0; n < s.frames; ++n) {
        std::this_thread::sleep_until(start + period * n);
        spi_reply frame = frame_transfer(plan, n, static_cast<uint8_t>(n));
        handed[n] = clock_type::now();
        if (!board.source().send(std::move(frame), e2e_deadline)) {
            fprintf(stderr, "stream_bench: frame %u was not taken\n", n);
            return 1;
        }
        relayed[n] = clock_type::now();
        if (!relay.write_payload(plan.payload(n))) {
            fprintf(stderr, "stream_bench: socat stopped taking input\n");
            return 1;
        }
        if (n % memory_sample_every == 0) memory.sample();
    }
    const clock_type::time_point source_done = clock_type::now();

    // Wait until every client has the last frame, or nothing moves any more.
    uint64_t last_progress = 0;
    clock_type::time_point last_change = clock_type::now();
    for (;;) {
        uint64_t progress = relay_client.frames_done();
        bool all_done = relay_client.frames_done() >= s.frames;
        for (const auto& client : clients) {
            progress += client->frames_done();
            all_done = all_done && client->frames_done() >= s.frames;
        }
        if (all_done) break;
        if (progress != last_progress) {
            last_progress = progress;
            last_change = clock_type::now();
        } else if (clock_type::now() - last_change > drain_idle_limit) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    const clock_type::time_point delivered_at = clock_type::now();
    const double daemon_cpu = cpu_seconds(daemon_pid) - daemon_cpu_before;
    memory.sample();
    const double socat_cpu = relay.finish();
    for (const auto& client : clients) client->stop();
    relay_client.stop();

    // ---- figures ----
    std::vector<const timed_client*> daemon_clients;
    uint64_t delivered_bytes = 0;
    uint64_t lost_total = 0, byte_errors = 0, skipped = 0;
    uint64_t fewest_frames = s.frames;
    std::string lost_each;
    for (const auto& client : clients) {
        daemon_clients.push_back(client.get());
        const payload_checker& checker = client->checker();
        delivered_bytes += client->bytes();
        const uint64_t lost = s.frames - std::min<uint64_t>(checker.frames_checked(), s.frames);
        lost_total += lost;
        byte_errors += checker.errors();
        skipped += checker.bytes_skipped();
        fewest_frames = std::min<uint64_t>(fewest_frames, checker.frames_checked());
        lost_each += " " + std::to_string(lost);
    }
    const double stream_seconds = seconds_between(start, delivered_at);
    const latency_figures daemon_latency = latencies(daemon_clients, handed);
    const latency_figures relay_latency = latencies({&relay_client}, relayed);
    const double delivered_mb = static_cast<double>(delivered_bytes) / 1e6;
    const double relayed_mb = static_cast<double>(relay_client.bytes()) / 1e6;

    printf("stream_bench: %u frames of %u bytes at %.1f frames/s, %d clients (IPv4 and IPv6)\n",
           s.frames, s.payload, s.rate, client_count);
    if (s.daemon != NANVIDEO_DAEMON_PATH) printf("daemon binary: %s\n", s.daemon.c_str());
    printf("source:    %u frames handed over in %.2f s (%.2f frames/s)\n", s.frames,
           seconds_between(start, source_done), s.frames / seconds_between(start, source_done));
    printf("delivered: %llu frames to every client in %.2f s (%.2f frames/s per client)\n",
           static_cast<unsigned long long>(fewest_frames), stream_seconds,
           static_cast<double>(fewest_frames) / stream_seconds);
    printf("lost:      %llu frames (per client:%s), byte errors %llu, bytes out of place %llu\n",
           static_cast<unsigned long long>(lost_total), lost_each.c_str(),
           static_cast<unsigned long long>(byte_errors), static_cast<unsigned long long>(skipped));
    for (size_t i = 0; i < clients.size(); ++i) {
        const std::string& problem = clients[i]->checker().first_problem();
        if (!problem.empty()) printf("           client %zu: %s\n", i, problem.c_str());
    }
    printf("latency:   source hand-over to a client's last byte, %zu samples: median %.2f ms, "
           "99th percentile %.2f ms, max %.2f ms\n",
           daemon_latency.samples, daemon_latency.median_ms, daemon_latency.p99_ms,
           daemon_latency.max_ms);
    printf("daemon:    %.2f CPU s for %.1f MB delivered to %d clients: %.4f CPU s/MB "
           "(SPI intake included; %.4f CPU s per MB of the stream)\n",
           daemon_cpu, delivered_mb, client_count, daemon_cpu / delivered_mb,
           daemon_cpu * client_count / delivered_mb);
    printf("socat:     %.2f CPU s for %.1f MB relayed from a pipe to 1 client: %.4f CPU s/MB; "
           "latency median %.2f ms, 99th percentile %.2f ms\n",
           socat_cpu, relayed_mb, socat_cpu / relayed_mb, relay_latency.median_ms,
           relay_latency.p99_ms);
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
            {"socat_cpu_seconds", socat_cpu},
            {"socat_relayed_mb", relayed_mb},
            {"socat_cpu_s_per_mb", socat_cpu / relayed_mb},
            {"socat_latency_median_ms", relay_latency.median_ms},
            {"socat_latency_p99_ms", relay_latency.p99_ms},
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

}  // namespace

int main(int argc, char* argv[]) {
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return run(parse_settings(argc, argv));
}
