// The listener with stand-in `iw` programs, and the signal path in forked processes.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "event_test_support.hpp"
#include "keyword.hpp"
#include "nan_event.hpp"
#include "signal_cleanup.hpp"

namespace {

using namespace event_test;

constexpr int child_setup_failed = 3;
constexpr int child_kept_running = 4;
// The listener ends with its first stream, as the tests of one stream want.
const listener_restart one_stream{.streams = 1};

// Polls cond every 10 ms; gives up after 30 s so a broken test ends instead of hanging.
bool wait_until(const std::function<bool()>& cond) {
    for (int i = 0; i < 3000; ++i) {
        if (cond()) return true;
        timespec ts{0, 10000000};
        nanosleep(&ts, nullptr);
    }
    return cond();
}

bool file_exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

int read_pid(const std::string& path) { return atoi(read_file(path).c_str()); }

bool process_gone(int pid) { return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH; }

// A stand-in `iw`: prints its argument list and the given text, publishes its pid through a
// file (renamed into place so a reader never sees it half written), then runs the tail.
std::string stand_in_iw(const temp_dir& dir, const std::string& text, const std::string& tail) {
    return "#!/bin/sh\n"
           "printf 'args:%s|%s|%s|%s\\n' \"$#\" \"$1\" \"$2\" \"$3\"\n"
           "printf '%s' '" + text + "'\n"
           "echo $$ > '" + dir.file("iw.pid.tmp") + "' && mv '" + dir.file("iw.pid.tmp") +
           "' '" + dir.file("iw.pid") + "'\n" + tail + "\n";
}

std::vector<std::string> drain(event_line_queue& ring) {
    std::vector<std::string> lines;
    char out[event_line_size];
    while (ring.count() > 0 && ring.pop(out) == 0) lines.emplace_back(out);
    return lines;
}

// ---- the listener ----

TEST(EventListener, PushesTheStandInsLinesAndReportsTheClosedStream) {
    temp_dir dir;
    dir.write_program("iw", stand_in_iw(dir,
                                        "t: nan0 (phy #0): vendor event 00e04c:2\n"
                                        "vendor event: 00 01 02 \n\nno newline",
                                        "exit 0"));
    path_guard path(dir.path());
    auto ring = std::make_unique<event_line_queue>();
    running_command_groups commands;

    testing::internal::CaptureStdout();
    run_event_listener(*ring, commands, one_stream);
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(out,
              "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n"
              "[nan_event_listener] Raw event: args:3|event|-t|-f\n"
              "[nan_event_listener] Raw event: t: nan0 (phy #0): vendor event 00e04c:2\n"
              "[nan_event_listener] Raw event: vendor event: 00 01 02 \n"
              "[nan_event_listener] Raw event: \n"
              "[nan_event_listener] Raw event: no newline\n"
              "[nan_event_listener] iw event stream closed, exiting listener\n");
    EXPECT_EQ(drain(*ring),
              (std::vector<std::string>{"args:3|event|-t|-f", "t: nan0 (phy #0): vendor event 00e04c:2",
                                        "vendor event: 00 01 02 ", "", "no newline"}));
    EXPECT_EQ(commands.find(iw_event_label), 0);
    // Reaped, not left as a zombie.
    EXPECT_TRUE(process_gone(read_pid(dir.file("iw.pid"))));
}

TEST(EventListener, PublishesTheChildWhileItRuns) {
    temp_dir dir;
    dir.write_program("iw", stand_in_iw(dir, "", "exec sleep 30"));
    path_guard path(dir.path());
    auto ring = std::make_unique<event_line_queue>();
    running_command_groups commands;

    testing::internal::CaptureStdout();
    std::thread listener([&] { run_event_listener(*ring, commands, one_stream); });
    bool started = wait_until([&] { return file_exists(dir.file("iw.pid")); });
    int pid = read_pid(dir.file("iw.pid"));
    EXPECT_TRUE(started);
    EXPECT_TRUE(wait_until([&] { return commands.find(iw_event_label) == pid; }));
    if (pid > 0) kill(pid, SIGTERM);  // the stand-in ends; the listener sees the stream close
    listener.join();
    testing::internal::GetCapturedStdout();

    EXPECT_EQ(commands.find(iw_event_label), 0);
    EXPECT_TRUE(process_gone(pid));
}

TEST(EventListener, AMissingIwEndsTheListenerThroughTheClosedStream) {
    temp_dir dir;  // empty: the only directory on the search path
    path_guard path(dir.path(), true);
    auto ring = std::make_unique<event_line_queue>();
    running_command_groups commands;

    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    run_event_listener(*ring, commands, one_stream);
    std::string err = testing::internal::GetCapturedStderr();
    std::string out = testing::internal::GetCapturedStdout();

    EXPECT_EQ(err, "[nan_event_listener] execlp iw failed: No such file or directory\n");
    EXPECT_EQ(out,
              "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n"
              "[nan_event_listener] iw event stream closed, exiting listener\n");
    EXPECT_EQ(ring->count(), 0);
    EXPECT_EQ(commands.find(iw_event_label), 0);
}

TEST(EventListener, StartsANewIwEventAfterAPauseThatGrowsWhileStreamsEndEmpty) {
    temp_dir dir;
    // Runs 1 and 3 print a line; the others end at once without one.
    dir.write_program("iw", "#!/bin/sh\n"
                            "n=$(($(cat '" + dir.file("runs") + "' 2>/dev/null || echo 0) + 1))\n"
                            "echo $n > '" + dir.file("runs") + "'\n"
                            "case $n in 1|3) echo \"line of run $n\";; esac\n");
    path_guard path(dir.path());
    auto ring = std::make_unique<event_line_queue>();
    running_command_groups commands;

    testing::internal::CaptureStdout();
    run_event_listener(*ring, commands, {.first_pause_ms = 10, .longest_pause_ms = 30, .streams = 6});
    std::string out = testing::internal::GetCapturedStdout();

    const std::string start =
        "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n";
    const std::string restart = "[nan_event_listener] iw event stream closed, restarting in ";
    EXPECT_EQ(out, start + "[nan_event_listener] Raw event: line of run 1\n" + restart +
                       "10 ms\n" + start + restart + "20 ms\n" + start +
                       "[nan_event_listener] Raw event: line of run 3\n" + restart + "10 ms\n" +
                       start + restart + "20 ms\n" + start + restart + "30 ms\n" + start +
                       "[nan_event_listener] iw event stream closed, exiting listener\n");
    // Lines of earlier streams stay queued for the decision thread.
    EXPECT_EQ(drain(*ring), (std::vector<std::string>{"line of run 1", "line of run 3"}));
    EXPECT_EQ(commands.find(iw_event_label), 0);
}

// ---- the signal path, in forked processes ----

struct child_result {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs body in a forked process whose standard output and error are files; body ends the
// process.
child_result run_forked(const temp_dir& dir, const std::function<void()>& body) {
    const std::string out_path = dir.file("stdout");
    const std::string err_path = dir.file("stderr");
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (fd < 0 || dup2(fd, STDOUT_FILENO) < 0) _exit(child_setup_failed);
        close(fd);
        fd = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
        if (fd < 0 || dup2(fd, STDERR_FILENO) < 0) _exit(child_setup_failed);
        close(fd);
        setvbuf(stdout, nullptr, _IOLBF, 0);  // as the daemon runs
        body();
        _exit(child_kept_running);
    }
    child_result result;
    if (pid < 0) return result;
    waitpid(pid, &result.status, 0);
    result.out = read_file(out_path);
    result.err = read_file(err_path);
    return result;
}

struct no_cleanup final : signal_cleanup_work {
    void run_async_signal_safe() override {}
};

// A stop over command lists of its own, which the listener and the runner fill; made in a forked
// process, which it ends.
struct forked_stop {
    running_command_lists commands;
    shell_command_runner runner{command_time_limit_ms, commands.cuttable, commands.writes};
    service_notifier notifier;
    no_cleanup nothing;
    daemon_stop stop{commands.cuttable, commands.writes, notifier, nothing, stop_bounds{}};
};

// Starts a listener on a stand-in that sleeps, then signals the process.
void listener_then_signal(const temp_dir& dir,
                          const std::function<void(daemon_stop&)>& send_signal) {
    static forked_stop ending;
    if (start_signal_path(ending.stop) != 0) _exit(child_setup_failed);
    static event_line_queue ring;
    std::thread listener(
        [] { run_event_listener(ring, ending.commands.cuttable, listener_restart{}); });
    listener.detach();
    // Wait until the listener is reading and the stand-in has published itself, so that no
    // listener line can land among the handler's.
    bool ready = wait_until([&] {
        return file_exists(dir.file("iw.pid")) &&
               read_file(dir.file("stdout")).find("Raw event: args:3") != std::string::npos &&
               ending.commands.cuttable.find(iw_event_label) > 0;
    });
    if (!ready) _exit(child_setup_failed);
    send_signal(ending.stop);
    for (;;) pause();
}

std::string signal_lines(int signo, int killed_pid) {
    std::string text = "\n[sig_handler] Received signal " + std::to_string(signo) +
                       ", cleaning up resources...\n";
    if (killed_pid > 0)
        text += "[sig_handler] Killed iw event process (PID: " + std::to_string(killed_pid) + ")\n";
    return text + "[sig_handler] Cleanup completed, exiting process...\n";
}

class SignalPath : public testing::Test {
protected:
    void TearDown() override {
        // A stand-in that outlived a failed test must not linger.
        if (file_exists(dir_.file("iw.pid"))) {
            int pid = read_pid(dir_.file("iw.pid"));
            if (pid > 0 && !process_gone(pid)) kill(pid, SIGKILL);
        }
    }
    temp_dir dir_;
};

TEST_F(SignalPath, SigtermKillsTheIwChildAndExitsWithStatusZero) {
    dir_.write_program("iw", stand_in_iw(dir_, "", "exec sleep 30"));
    path_guard path(dir_.path());
    child_result r = run_forked(dir_, [&] {
        listener_then_signal(dir_, [](daemon_stop&) { kill(getpid(), SIGTERM); });
    });

    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    int stand_in = read_pid(dir_.file("iw.pid"));
    ASSERT_GT(stand_in, 0);
    // The listener sees the stream close but leaves the rest to the signal path.
    EXPECT_EQ(r.out,
              "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n"
              "[nan_event_listener] Raw event: args:3|event|-t|-f\n" +
                  signal_lines(SIGTERM, stand_in));
    EXPECT_TRUE(process_gone(stand_in));
}

TEST_F(SignalPath, SegmentationFaultStillKillsTheChild) {
    dir_.write_program("iw", stand_in_iw(dir_, "", "exec sleep 30"));
    path_guard path(dir_.path());
    child_result r = run_forked(dir_, [&] { listener_then_signal(dir_, [](daemon_stop&) { raise(SIGSEGV); }); });

    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    int stand_in = read_pid(dir_.file("iw.pid"));
    EXPECT_EQ(r.out,
              "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n"
              "[nan_event_listener] Raw event: args:3|event|-t|-f\n" +
                  signal_lines(SIGSEGV, stand_in));
    EXPECT_TRUE(process_gone(stand_in));
}

TEST_F(SignalPath, WithoutAChildThereIsNoKillLine) {
    child_result r = run_forked(dir_, [] {
        static forked_stop ending;
        if (start_signal_path(ending.stop) != 0) _exit(child_setup_failed);
        kill(getpid(), SIGINT);
        for (;;) pause();
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    EXPECT_EQ(r.out, signal_lines(SIGINT, 0));
}

TEST_F(SignalPath, AFailedStartUpStopsTheChildBeforeTheProcessEnds) {
    dir_.write_program("iw", stand_in_iw(dir_, "", "exec sleep 30"));
    path_guard path(dir_.path());
    child_result r = run_forked(dir_, [&] {
        listener_then_signal(dir_, [](daemon_stop& stop) {
            stop.end_startup_after_failure();
            _exit(0);
        });
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    int stand_in = read_pid(dir_.file("iw.pid"));
    ASSERT_GT(stand_in, 0);
    EXPECT_TRUE(process_gone(stand_in));
}

// ---- the whole module ----

std::string stand_in_pid_file;
std::string child_stdout_file;

// Stands in for the keyword table: shows what the decision sent, then stops the process the way
// an operator would.
class stopping_dispatcher final : public keyword_dispatcher {
public:
    int execute(const char* keyword, const char* params) override;
};

int stopping_dispatcher::execute(const char* keyword, const char* params) {
    printf("%s handler got: %s\n", keyword, params);
    // Signal only once every start-up line is out, so the test can look for all of them.
    wait_until([] {
        return file_exists(stand_in_pid_file) &&
               read_file(child_stdout_file).find("running in background") != std::string::npos;
    });
    kill(getpid(), SIGTERM);
    for (;;) pause();
}

TEST_F(SignalPath, ARequestFromIwIsAcceptedThroughTheKeywordThenSigtermEndsAll) {
    const mac_bytes peer{0x0a, 0xbb, 0xcc, 0xdd, 0xee, 0x01};
    const mac_bytes responder{0x02, 0x00, 0x00, 0x00, 0x01, 0x00};
    std::string text = joined_lines(newer_event(2, request_payload(5, peer, responder)));
    dir_.write_program("iw", stand_in_iw(dir_, text, "exec sleep 30"));
    path_guard path(dir_.path());
    stand_in_pid_file = dir_.file("iw.pid");
    child_stdout_file = dir_.file("stdout");

    child_result r = run_forked(dir_, [] {
        static forked_stop ending;
        static stopping_dispatcher keywords;
        static nan_counters counts;
        static monotonic_clock clock;
        static nan_events events(ending.commands.cuttable, keywords, counts, clock);
        if (start_signal_path(ending.stop) != 0 || nan_event_init(events) != 0)
            _exit(child_setup_failed);
        for (;;) pause();
    });

    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    int stand_in = read_pid(dir_.file("iw.pid"));
    const std::string lines[] = {
        "NAN event processing module initialized successfully.\n",
        "Listener and decision threads are running in background.\n",
        "[nan_connection_decision] Start processing connection decisions...\n",
        "[nan_event_listener] Start monitoring NAN events (blocking when no data)...\n",
        "[decision] Added new connection record for MAC: 0a:bb:cc:dd:ee:01, Type: "
        "connection_request, at index 0\n",
        "[decision] MAC 0a:bb:cc:dd:ee:01 is allowed, accepting connection\n",
        "data_rsp handler got: rsp_mode peer ndl_rsp accept data_path_id 5\n",
        "\n[sig_handler] Received signal 15, cleaning up resources...\n",
        "[sig_handler] Killed iw event process (PID: " + std::to_string(stand_in) + ")\n",
        "[sig_handler] Cleanup completed, exiting process...\n",
    };
    for (const std::string& line : lines)
        EXPECT_NE(r.out.find(line), std::string::npos) << line << "in:\n" << r.out;
    EXPECT_LT(r.out.find("data_rsp handler got"), r.out.find("[sig_handler] Received"));
    EXPECT_NE(r.err.find("[try_parse] Insufficient data for INDICATION (need 281, got 272)\n"),
              std::string::npos);
    EXPECT_TRUE(process_gone(stand_in));
}


// A stand-in boot-environment write: the first one says it started and waits for the release
// file; every one then stores its value.
void write_stalled_fw_setenv(const temp_dir& dir) {
    dir.write_program("fw_setenv", "#!/bin/sh\n"
                                   "if [ \"$2\" = first ]; then\n"
                                   "  touch '" + dir.file("started") + "'\n"
                                   "  while [ ! -e '" + dir.file("release") + "' ]; do\n"
                                   "    sleep 0.01\n"
                                   "  done\n"
                                   "fi\n"
                                   "echo \"$2\" > '" + dir.file("stored") + "'\n");
}

// A failed start-up ends the process as a stop does: a configuration write a client asked for
// meanwhile finishes first, and none starts after it.
TEST_F(SignalPath, AFailedStartUpWaitsForARunningWriteAndStartsNoOther) {
    write_stalled_fw_setenv(dir_);
    path_guard path(dir_.path());
    child_result r = run_forked(dir_, [&] {
        static forked_stop ending;
        std::thread writer([] { ending.runner.status("fw_setenv vemuparam first"); });
        writer.detach();
        if (!wait_until([&] { return file_exists(dir_.file("started")); }))
            _exit(child_setup_failed);
        // Released once the exit says it waits.
        std::thread releaser([&] {
            if (wait_until([&] {
                    return read_file(dir_.file("stdout")).find("waiting for it to finish") !=
                           std::string::npos;
                }))
                close(open(dir_.file("release").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        });
        releaser.detach();
        ending.stop.end_startup_after_failure();
        printf("stored: %s", read_file(dir_.file("stored")).c_str());
        printf("later write: %d\n", ending.runner.status("fw_setenv vemuparam second"));
        fflush(stdout);
        _exit(0);
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    const std::string first = "[startup] fw_setenv (PID: ";
    ASSERT_EQ(r.out.rfind(first, 0), 0u) << r.out;
    const std::string pid = r.out.substr(first.size(), r.out.find(')') - first.size());
    EXPECT_EQ(r.out, first + pid + ") still running, waiting for it to finish, at most 30000 ms\n" +
                         first + pid + ") finished\n"
                         "stored: first\n"
                         "later write: -1\n");
    EXPECT_NE(r.err.find("] Error: Stopping, command not started: fw_setenv vemuparam second\n"),
              std::string::npos)
        << r.err;
}

// A stop waits for a running write; a second stop signal neither ends the wait nor starts a
// second one, and no write starts once the stop has begun.
TEST_F(SignalPath, ASecondSignalLeavesTheWaitAlone) {
    write_stalled_fw_setenv(dir_);
    path_guard path(dir_.path());
    child_result r = run_forked(dir_, [&] {
        static forked_stop ending;
        if (start_signal_path(ending.stop) != 0) _exit(child_setup_failed);
        std::thread writer([] { ending.runner.status("fw_setenv vemuparam first"); });
        writer.detach();
        if (!wait_until([&] { return file_exists(dir_.file("started")); }))
            _exit(child_setup_failed);
        kill(getpid(), SIGTERM);
        if (!wait_until([&] {
                return read_file(dir_.file("stdout")).find("waiting for it to finish") !=
                       std::string::npos;
            }))
            _exit(child_setup_failed);
        kill(getpid(), SIGTERM);
        printf("second signal sent\n");
        fflush(stdout);
        printf("later write: %d\n", ending.runner.status("fw_setenv vemuparam second"));
        fflush(stdout);
        close(open(dir_.file("release").c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644));
        for (;;) pause();
    });
    ASSERT_TRUE(WIFEXITED(r.status)) << r.status;
    EXPECT_EQ(WEXITSTATUS(r.status), 0);
    const std::string first = "[sig_handler] fw_setenv (PID: ";
    const size_t at = r.out.find(first);
    ASSERT_NE(at, std::string::npos) << r.out;
    const std::string pid = r.out.substr(at + first.size(),
                                         r.out.find(')', at) - at - first.size());
    EXPECT_EQ(r.out, "\n[sig_handler] Received signal 15, cleaning up resources...\n" + first +
                         pid + ") still running, waiting for it to finish, at most 30000 ms\n"
                         "second signal sent\n"
                         "later write: -1\n" +
                         first + pid + ") finished\n"
                         "[sig_handler] Cleanup completed, exiting process...\n");
}

}  // namespace
