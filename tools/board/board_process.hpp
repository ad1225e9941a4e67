#pragma once
// A program started on the simulated board through the nanvideo-board launcher, with its
// standard output and standard error collected line by line as they come. Waits take a deadline
// and a condition, never a fixed sleep.
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "unique_fd.hpp"

enum class output_stream { out = 0, err = 1 };

struct board_launch {
    // Runs the launcher, e.g. {"setpriv", "--reuid=65534", ...}; empty: runs it directly.
    std::vector<std::string> wrapper;
    std::string launcher;    // the nanvideo-board program
    std::string state_dir;
    std::string spidev_lib;  // empty: no spidev emulator
    // Runs the program through this emulator command (e.g. "qemu-arm -L /usr/arm-linux-gnueabihf"),
    // the launcher's --qemu; empty: the program runs natively.
    std::string qemu;
    bool no_ipv6 = false;  // the launcher's --no-ipv6: a kernel without IPv6
    // A BusyBox board: this BusyBox binary is the board's shell and its tools (the launcher's
    // --busybox); empty: the host's shell and tools.
    std::string busybox;
    // The board's spidev bufsiz (the launcher's --spidev-bufsiz); 0: the board's own, 8192.
    uint32_t spidev_bufsiz = 0;
    std::vector<std::string> program;  // the program and its arguments
    // Added to (or replacing in) the launcher's environment, which the program inherits.
    std::vector<std::pair<std::string, std::string>> environment;
    // Above 0: both streams together are read no faster than this, through pipes that hold a
    // page, as a serial console drains a board's output (115200 baud is about 11.5 KB/s).
    double output_bytes_per_second = 0;
    // Standard output and standard error are one SOCK_SEQPACKET socket, where each write arrives
    // as one message: messages() shows how the program cut its output. Its lines all count as
    // standard output's.
    bool one_message_per_write = false;
};

class board_process {
public:
    using milliseconds = std::chrono::milliseconds;
    using line_predicate = std::function<bool(const std::string&)>;
    // Called on a reader thread for each complete line, in order within a stream.
    using line_callback = std::function<void(output_stream, const std::string&)>;

    // Starts the launcher in a process group of its own (a terminal's Ctrl-C reaches only the
    // caller, which decides what to send on). Throws std::runtime_error when it cannot start.
    explicit board_process(const board_launch& launch, line_callback on_line = {});
    // Kills the process group if still running and reaps it.
    ~board_process();
    board_process(const board_process&) = delete;
    board_process& operator=(const board_process&) = delete;

    pid_t pid() const { return pid_; }

    std::vector<std::string> lines(output_stream stream) const;
    // With one_message_per_write: each write, whole, as it came.
    std::vector<std::string> messages() const;
    // Waits for a line at index `from` or later that matches; returns its index.
    std::optional<size_t> wait_for(output_stream stream, const line_predicate& match, size_t from,
                                   milliseconds timeout);
    std::optional<size_t> wait_for_line(output_stream stream, const std::string& exact,
                                        size_t from, milliseconds timeout);
    std::optional<size_t> wait_for_prefix(output_stream stream, const std::string& prefix,
                                          size_t from, milliseconds timeout);
    // Waits until `count` lines from index `from` on are there (or the stream ended, or the
    // deadline passed) and returns those that are, at most `count`: lines are compared only once
    // each of them has arrived.
    std::vector<std::string> wait_lines(output_stream stream, size_t from, size_t count,
                                        milliseconds timeout);

    // Waits until the program has ended and both streams are read to their end; returns the raw
    // wait status (WIFEXITED, WEXITSTATUS, ...), or nothing at the deadline.
    std::optional<int> wait_exit(milliseconds timeout);
    // Waits only until the program itself has ended (children it left may still hold the
    // streams open); returns the raw wait status, or nothing at the deadline.
    std::optional<int> wait_ended(milliseconds timeout);
    bool running() const;
    // Sends a signal to the program (not to its children).
    void signal(int signal_number);

private:
    void read_stream(output_stream stream, int fd);
    // Waits until `bytes` more may be read at the output rate; returns how many to read.
    size_t pace_output(size_t bytes);
    void paced_read(size_t bytes);
    void reap();

    pid_t pid_ = -1;
    line_callback on_line_;
    double output_bytes_per_second_ = 0;
    std::chrono::steady_clock::time_point output_due_{};  // when the next piece may be read
    unique_fd stop_fd_;  // eventfd: ends the readers when the streams stay open after a kill

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_[2];
    bool keep_messages_ = false;
    std::vector<std::string> messages_;
    bool stream_ended_[2] = {false, false};
    bool exited_ = false;
    int wait_status_ = 0;

    std::thread readers_[2];
    std::thread reaper_;
};

// A wait status in words, for messages: "exit status N" or "killed by signal N".
std::string describe_wait_status(int wait_status);

// True for the first line of a sanitizer's report (ThreadSanitizer, AddressSanitizer,
// LeakSanitizer) and for UndefinedBehaviorSanitizer's one-line diagnostics: a program built with
// a sanitizer that prints one has a fault, whatever else it does.
bool starts_sanitizer_report(const std::string& line);
