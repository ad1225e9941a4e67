// The daemon's SPI intake seen from outside: its start-up report, its refusals, and what each
// transfer from the video source makes it print.
#include <linux/spi/spi.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "board_fixture.hpp"
#include "frame_marks.hpp"

namespace {

const std::string init_ok = "SPI initialization successful.";
const std::string init_failed = "SPI initialization failed.";
const std::string slave_line = "SPI Slave with device /dev/spidev0.0";

std::string missing_device_hint(const std::string& device, const std::string& role,
                                const std::string& option) {
    return device + " does not exist: check that the device tree has a spidev-compatible node on "
                    "the SPI bus and chip select for the " + role +
           " role, or name another device with " + option;
}
// Lines of one kind the daemon prints in a second before it counts the rest.
constexpr size_t log_lines_a_second = 10;
// Full-size transfers a second at the 50 MHz clock: a bus of noise at its full rate.
constexpr double bus_line_rate = 1520;

// What the frame processor prints; the rest of start-up prints its own lines meanwhile.
bool is_frame_line(const std::string& line) {
    for (const char* prefix :
         {"Invalid frame", "CRC mismatch", "Sequence mismatch", "count=", "Dropped "}) {
        if (line.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

std::string crc_line(const spi_reply& reply) {
    char line[64];
    snprintf(line, sizeof line, "CRC mismatch (got=0x%04X calc=0x%04X)", stored_crc(reply.data),
             computed_crc(reply.data));
    return line;
}

std::string sequence_line(unsigned expected, unsigned got) {
    return "Sequence mismatch: expected " + std::to_string(expected) + " got " + std::to_string(got);
}

class spi_test : public board_test {
protected:
    // Starts the daemon and waits until its SPI link runs.
    void start(const daemon_options& options = {}) {
        board.start_daemon(options);
        ASSERT_TRUE(board.wait_stdout(init_ok));
        ASSERT_TRUE(board.source().wait_connected(e2e_deadline));
    }

    void send(spi_reply reply) { ASSERT_TRUE(board.source().send(std::move(reply), e2e_deadline)); }

    spi_reply frame(uint32_t number, uint8_t sequence, frame_fault fault = frame_fault::none) {
        return frame_transfer(plan, number, sequence, fault);
    }

    // Sends a frame that only the frame check rejects and waits for its line: every line the
    // transfers before it cause is printed by then, in order.
    void mark() {
        pacer_.before_mark();
        send(frame(0, 0, frame_fault::bad_sync));
        const std::optional<size_t> at = board.wait_stdout(marker_line(), next_mark_from_);
        ASSERT_TRUE(at);
        pacer_.seen();
        next_mark_from_ = *at + 1;
    }
    // Sends consecutive good frames in groups that the daemon's raw queue holds whole (30
    // frames and a mark: 31 blocks), so none is dropped however slowly the daemon checks them.
    // Returns the lines they give: one mark line per group.
    std::vector<std::string> good_frames_and_marks(uint32_t first, uint32_t count) {
        constexpr uint32_t frames_per_group = 30;
        std::vector<std::string> lines;
        for (uint32_t sent = 0; sent < count;) {
            for (uint32_t i = 0; i < frames_per_group && sent < count; ++i, ++sent)
                board.source().queue(frame(first + sent, static_cast<uint8_t>(first + sent)));
            mark();
            lines.push_back(marker_line());
        }
        return lines;
    }

    std::string marker_line() const {
        return "Invalid frame (sync=0x55AA len=" + std::to_string(plan.fixed_length) + ")";
    }

    std::vector<std::string> frame_lines() const {
        std::vector<std::string> lines;
        for (const std::string& line : board.stdout_lines())
            if (is_frame_line(line)) lines.push_back(line);
        return lines;
    }

    std::vector<std::string> transfer_errors() const {
        std::vector<std::string> lines;
        for (const std::string& line : board.stderr_lines())
            if (line.rfind("SPI_IOC_MESSAGE", 0) == 0) lines.push_back(line);
        return lines;
    }

    // Ends the daemon's configuration as a start-up failure: stdout ends with the failure line,
    // the process with status 0.
    void expect_startup_failure(const std::vector<std::string>& stdout_lines) {
        const std::optional<int> status = board.wait_exit();
        ASSERT_TRUE(status);
        ASSERT_TRUE(WIFEXITED(*status)) << describe_wait_status(*status);
        EXPECT_EQ(WEXITSTATUS(*status), 0);
        EXPECT_EQ(board.stdout_lines(), stdout_lines);
    }

    payload_plan plan{.seed = 7, .derived_length = false, .fixed_length = 1000};
    size_t next_mark_from_ = 0;
    mark_pacer pacer_;
};

// ---- start-up report ----

using SpiStartup = spi_test;

TEST_F(SpiStartup, ReportsTheSettingsInForce) {
    start();
    const std::vector<std::string> lines = board.stdout_lines();
    ASSERT_GE(lines.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 6), (std::vector<std::string>{
                                        slave_line,
                                        "spi mode: 0x0",
                                        "bits per word: 8",
                                        "max speed of Master: 50000000 Hz (50000 KHz)",
                                        "transfer_type: FULL DUPLEX",
                                        init_ok,
                                    }));
    EXPECT_TRUE(transfer_errors().empty());
}

TEST_F(SpiStartup, ReportsAndUsesTheClockTheDeviceRoundedDown) {
    start({.spidev_max_hz = 20000000});
    EXPECT_TRUE(board.wait_stdout("max speed of Master: 20000000 Hz (20000 KHz)"));
    // The emulator refuses a transfer at any other clock than the one read back.
    send(frame(0, 0));
    EXPECT_EQ(board.source().last_request().speed_hz, 20000000u);
}

TEST_F(SpiStartup, ReportsMode3ForClockPhaseAndPolarity) {
    start({.args = {"-H", "-O"}});
    EXPECT_TRUE(board.wait_stdout("spi mode: 0x3"));
}

TEST_F(SpiStartup, Reports999HzAsZeroKHz) {
    start({.args = {"-s", "999"}});
    EXPECT_TRUE(board.wait_stdout("max speed of Master: 999 Hz (0 KHz)"));
}

TEST_F(SpiStartup, TransmitOnlyTransfersReceiveNothing) {
    start({.args = {"-T", "1"}, .expect_type = 1});
    EXPECT_TRUE(board.wait_stdout("transfer_type: TX_ONLY"));
    // The receive buffer is never filled, so its zeros are checked as a frame.
    send(frame(0, 0));
    EXPECT_TRUE(board.wait_stdout("Invalid frame (sync=0x0000 len=0)"));
    EXPECT_FALSE(board.source().last_request().has_rx);
}

TEST_F(SpiStartup, ReceiveOnlyTransfersCarryFrames) {
    start({.args = {"-T", "2"}, .expect_type = 2});
    EXPECT_TRUE(board.wait_stdout("transfer_type: RX_ONLY"));
    send(frame(0, 4));
    EXPECT_TRUE(board.wait_stdout(sequence_line(0, 4)));
    EXPECT_FALSE(board.source().last_request().has_tx);
}

// ---- start-up failures ----

TEST_F(SpiStartup, OpenFailureEndsStartUp) {
    board.start_daemon({.spidev_fail = "open"});
    expect_startup_failure({slave_line, init_failed});
    EXPECT_EQ(board.stderr_lines(),
              (std::vector<std::string>{"Can't open device: No such file or directory",
                                        missing_device_hint("/dev/spidev0.0", "slave", "-S")}));
}

// A stock kernel's spidev refuses every transfer of a frame's size: start-up says so and why,
// once, instead of starting a link that never carries a frame.
TEST_F(SpiStartup, AStockKernelsBufsizEndsStartUpWithTheFixes) {
    board.start_daemon({.spidev_bufsiz = 4096});
    expect_startup_failure({slave_line, init_failed});
    EXPECT_EQ(board.stderr_lines(),
              std::vector<std::string>{
                  "spidev bufsiz is 4096 bytes, below the 4224 a transfer needs: set "
                  "spidev.bufsiz=8192 on the kernel command line, or options spidev bufsiz=8192 "
                  "for the spidev module"});
}

// The device tree set bits the command line has no option for; the mode written, whole as the
// command line gives it, clears them: start-up names each, with the mode that keeps them all.
TEST_F(SpiStartup, ModeBitsOfTheDeviceTreeThatTheModeClearsAreNamed) {
    board.start_daemon(
        {.args = {"-H"}, .spidev_dt_mode = SPI_CS_HIGH | SPI_LSB_FIRST | SPI_3WIRE | SPI_CPOL});
    ASSERT_TRUE(board.wait_stdout(init_ok));
    const std::vector<std::string> out = board.stdout_lines();
    EXPECT_EQ(std::vector<std::string>(out.begin(), out.begin() + 2),
              (std::vector<std::string>{slave_line, "spi mode: 0x1"}));
    // Standard error is read apart from standard output: its lines may come in later.
    ASSERT_TRUE(board.wait_stderr("Warning: spi mode 0x1 clears SPI_3WIRE, which the device tree "
                                  "set (spi-3wire); mode 0x1d keeps it"));
    const std::vector<std::string> err = board.stderr_lines();
    ASSERT_GE(err.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(err.begin(), err.begin() + 3),
              (std::vector<std::string>{
                  "Warning: spi mode 0x1 clears SPI_CS_HIGH, which the device tree set "
                  "(spi-cs-high); mode 0x1d keeps it",
                  "Warning: spi mode 0x1 clears SPI_LSB_FIRST, which the device tree set "
                  "(spi-lsb-first); mode 0x1d keeps it",
                  "Warning: spi mode 0x1 clears SPI_3WIRE, which the device tree set (spi-3wire); "
                  "mode 0x1d keeps it"}));
}

// No node at all (no device tree node for spidev there): the line says where to look, for the
// role's own device and option.
const std::string missing_device = "/dev/nanvideo-no-such-spidev";

TEST_F(SpiStartup, MissingSlaveDeviceEndsStartUpNamingWhatToCheck) {
    board.start_daemon({.args = {"-S", missing_device}, .emulate_spidev = false});
    expect_startup_failure({"SPI Slave with device " + missing_device, init_failed});
    EXPECT_EQ(board.stderr_lines(),
              (std::vector<std::string>{"Can't open device: No such file or directory",
                                        missing_device_hint(missing_device, "slave", "-S")}));
}

TEST_F(SpiStartup, MissingMasterDeviceEndsStartUpNamingWhatToCheck) {
    board.start_daemon({.args = {"-R", "MASTER", "-M", missing_device}, .emulate_spidev = false});
    expect_startup_failure({"SPI Master with device " + missing_device, init_failed});
    EXPECT_EQ(board.stderr_lines(),
              (std::vector<std::string>{"Can't open device: No such file or directory",
                                        missing_device_hint(missing_device, "master", "-M")}));
}

TEST_F(SpiStartup, RefusesALowerCaseRole) {
    board.start_daemon({.args = {"-R", "master"}});
    expect_startup_failure({"Role must be MASTER or SLAVE, invalid SPI Role.", init_failed});
    EXPECT_TRUE(board.stderr_lines().empty());
    EXPECT_FALSE(board.source().connected());  // the device was never opened
}

TEST_F(SpiStartup, StartedWithStandardInputClosedTheDeviceDoesNotTakeDescriptorZero) {
    // Descriptor 0 is "no socket" to the server; the bus or a client must never land there.
    board.start_daemon({.wrapper = {"/bin/sh", "-c", "exec \"$@\" <&-", "sh"}});
    ASSERT_TRUE(board.wait_stdout(init_ok));
    char target[256] = {};
    std::string link = "/proc/" + std::to_string(board.daemon().pid()) + "/fd/0";
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/dev/null");
}

struct refused_setting {
    const char* request;
    const char* error_line;
};

class SpiSettingRefused : public spi_test, public ::testing::WithParamInterface<refused_setting> {};

TEST_P(SpiSettingRefused, EndsStartUpWithItsOwnText) {
    board.start_daemon({.spidev_fail = GetParam().request});
    expect_startup_failure({slave_line, init_failed});
    EXPECT_EQ(board.stderr_lines(), std::vector<std::string>{GetParam().error_line});
}

INSTANTIATE_TEST_SUITE_P(
    EachRequest, SpiSettingRefused,
    ::testing::Values(refused_setting{"wr_mode32", "Can't set spi mode: Invalid argument"},
                      refused_setting{"rd_mode32", "Can't get spi mode: Input/output error"},
                      refused_setting{"wr_bits", "Can't set bits per word: Invalid argument"},
                      refused_setting{"rd_bits", "Can't get bits per word: Input/output error"},
                      refused_setting{"wr_speed", "Can't set max speed hz: Invalid argument"},
                      refused_setting{"rd_speed", "Can't get max speed hz: Input/output error"}),
    [](const ::testing::TestParamInfo<refused_setting>& param) { return param.param.request; });

// ---- frames ----

using SpiFrames = spi_test;

TEST_F(SpiFrames, CountLineAfterThe765thAndEvery766thFurtherFrame) {
    start();
    std::vector<std::string> expected = good_frames_and_marks(0, 764);
    send(frame(764, static_cast<uint8_t>(764)));
    mark();
    expected.insert(expected.end(), {"count=766", marker_line()});

    const std::vector<std::string> later = good_frames_and_marks(765, 765);
    expected.insert(expected.end(), later.begin(), later.end());
    send(frame(1530, static_cast<uint8_t>(1530)));
    mark();
    expected.insert(expected.end(), {"count=1532", marker_line()});

    EXPECT_EQ(frame_lines(), expected);
    EXPECT_TRUE(transfer_errors().empty());
}

TEST_F(SpiFrames, EachFaultGivesExactlyItsLine) {
    start();
    send(frame(0, 0));
    send(frame(1, 1, frame_fault::bad_sync));
    send(frame(1, 1, frame_fault::length_over_max));
    const spi_reply bad_crc = frame(1, 1, frame_fault::bad_crc);
    send(bad_crc);
    send(frame(1, 1, frame_fault::short_transfer));
    send(failed_transfer(ETIMEDOUT));
    send(empty_transfer());
    send(frame(1, 1));  // none of the faults moved the expected sequence
    send(frame(2, 9));
    ASSERT_TRUE(board.wait_stdout(sequence_line(2, 9)));

    EXPECT_EQ(frame_lines(), (std::vector<std::string>{
                                               "Invalid frame (sync=0x55AA len=1000)",
                                               "Invalid frame (sync=0xAA55 len=4097)",
                                               crc_line(bad_crc),
                                               sequence_line(2, 9),
                                           }));
    ASSERT_TRUE(board.wait_stderr("SPI_IOC_MESSAGE: Input/output error"));
    EXPECT_EQ(transfer_errors(), (std::vector<std::string>{
                                     "SPI_IOC_MESSAGE: Connection timed out",
                                     "SPI_IOC_MESSAGE: Input/output error",
                                 }));
}

TEST_F(SpiFrames, ShortTransferIsDroppedWithoutAWord) {
    start();
    send(frame(0, 0, frame_fault::short_transfer));
    send(frame(0, 5));
    ASSERT_TRUE(board.wait_stdout(sequence_line(0, 5)));
    EXPECT_EQ(frame_lines(), std::vector<std::string>{sequence_line(0, 5)});
}

TEST_F(SpiFrames, PayloadsFromEmptyToFullSizeAreAccepted) {
    start();
    plan.fixed_length = 0;
    send(frame(0, 0));
    plan.fixed_length = 4096;
    send(frame(1, 1));
    plan.fixed_length = 1000;
    mark();
    EXPECT_EQ(frame_lines(), std::vector<std::string>{marker_line()});
}

// A camera that sends nothing: every transfer is noise, far more than ten a second. The log
// shows ten lines of the kind in a second, then one line with the count of the rest.
TEST_F(SpiFrames, AGarbageFloodGivesTenLinesOfItsKindASecondAndCountLines) {
    start();
    const std::string count_prefix = "[log] invalid frame (sync): ";
    const std::string count_suffix = " more not shown (at most 10 a second)";
    const auto is_count = [&](const std::string& line) {
        return line.rfind(count_prefix, 0) == 0;
    };
    stream_options noise;
    noise.frames_per_second = bus_line_rate;
    noise.garbage = true;
    board.source().start_stream(noise);
    const std::optional<size_t> first = board.daemon().wait_for(output_stream::out, is_count, 0,
                                                                e2e_deadline);
    ASSERT_TRUE(first);
    // The next second's count: after a line of that second.
    const std::optional<size_t> next_shown = board.daemon().wait_for(
        output_stream::out,
        [](const std::string& line) { return line.rfind("Invalid frame (sync=0x", 0) == 0; },
        *first + 1, e2e_deadline);
    ASSERT_TRUE(next_shown);
    ASSERT_TRUE(
        board.daemon().wait_for(output_stream::out, is_count, *next_shown + 1, e2e_deadline));
    board.source().stop_stream();

    // Up to the second count line: at least ten lines of the kind before each count line.
    std::vector<std::string> shown;
    int counts = 0;
    for (const std::string& line : board.stdout_lines()) {
        if (counts == 2) break;
        if (line.rfind("Invalid frame (sync=0x", 0) == 0) {
            shown.push_back(line);
            continue;
        }
        if (!is_count(line)) continue;
        // A line held while the log thread wrote the count is counted on its own, right after it:
        // that count belongs to the same second.
        if (counts > 0 && shown.empty()) continue;
        ++counts;
        EXPECT_GE(shown.size(), log_lines_a_second) << "before count line " << counts;
        shown.clear();
        ASSERT_GT(line.size(), count_prefix.size() + count_suffix.size()) << line;
        EXPECT_EQ(line.substr(line.size() - count_suffix.size()), count_suffix) << line;
        const std::string number = line.substr(
            count_prefix.size(), line.size() - count_prefix.size() - count_suffix.size());
        EXPECT_TRUE(!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
                    number != "0")
            << line;
    }
    EXPECT_EQ(counts, 2);
}

TEST_F(SpiFrames, SequenceRules) {
    start();
    send(frame(0, 3));  // the first frame is expected with 0
    send(frame(1, 4));
    send(frame(2, 254));
    send(frame(3, 255));
    send(frame(4, 0));  // 0 follows 255
    const spi_reply bad_crc = frame(5, 1, frame_fault::bad_crc);
    send(bad_crc);  // dropped: 1 stays expected
    send(frame(5, 1));
    send(frame(6, 7));
    ASSERT_TRUE(board.wait_stdout(sequence_line(2, 7)));

    EXPECT_EQ(frame_lines(), (std::vector<std::string>{
                                               sequence_line(0, 3),
                                               sequence_line(5, 254),
                                               crc_line(bad_crc),
                                               sequence_line(2, 7),
                                           }));
}

// The most failure lines a transfer thread that pauses 10 ms after a failure, twice as long after
// each further one up to 1 s, can print within elapsed_ms.
size_t most_failures_within(long elapsed_ms) {
    constexpr long first_pause_ms = 10;
    constexpr long longest_pause_ms = 1000;
    size_t failures = 1;
    long spent_ms = 0;
    for (long pause_ms = first_pause_ms; spent_ms + pause_ms <= elapsed_ms;
         pause_ms = std::min(pause_ms * 2, longest_pause_ms)) {
        spent_ms += pause_ms;
        ++failures;
    }
    return failures;
}

// A controller that has broken down fails every transfer at once: the thread keeps trying, but
// never faster than its growing pauses allow, however fast the machine.
TEST_F(SpiFrames, AControllerThatAlwaysFailsIsRetriedAfterGrowingPauses) {
    const auto started = std::chrono::steady_clock::now();
    board.start_daemon({.spidev_fail = "transfer"});
    const std::string line = "SPI_IOC_MESSAGE: Input/output error";
    constexpr size_t awaited = 9;  // at least 2.27 s of pauses after the first
    std::optional<size_t> at = board.wait_stderr(line);
    for (size_t seen = 1; at && seen < awaited; ++seen) at = board.wait_stderr(line, *at + 1);
    ASSERT_TRUE(at);
    const std::vector<std::string> errors = transfer_errors();
    const size_t failures = errors.size();
    const long elapsed_ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - started)
                                                  .count());
    printf("%zu failed transfers in %ld ms (%.1f a second)\n", failures, elapsed_ms,
           1000.0 * static_cast<double>(failures) / static_cast<double>(elapsed_ms));
    EXPECT_GE(failures, awaited);
    EXPECT_LE(failures, most_failures_within(elapsed_ms));
    EXPECT_EQ(errors, std::vector<std::string>(failures, line));
}

// 4110 bytes are no whole number of 4-byte words, so the SPI core refuses every transfer: a
// configuration the retries cannot mend, explained in one line. The retries go on quietly; no
// further line comes while the thread has retried about seven times (fewer on a slow machine,
// which only makes the check weaker).
TEST_F(SpiFrames, WordsOf32BitsAreExplainedOnceAndRetriedQuietly) {
    start({.args = {"-b", "32"}});
    EXPECT_TRUE(board.wait_stdout("bits per word: 32"));
    const std::string line =
        "SPI_IOC_MESSAGE: Invalid argument: a 4110-byte transfer is no whole number of 32-bit "
        "words (4 bytes each): the SPI core takes it with 16 bits per word or fewer";
    const std::optional<size_t> at = board.wait_stderr(line);
    ASSERT_TRUE(at);
    constexpr std::chrono::milliseconds quiet_window{1500};
    EXPECT_FALSE(board.daemon().wait_for_prefix(output_stream::err, "SPI_IOC_MESSAGE", *at + 1,
                                                quiet_window));
    EXPECT_EQ(transfer_errors(), std::vector<std::string>{line});
}

TEST_F(SpiFrames, TransfersFailWhenTheSourceGoesAway) {
    start();
    send(frame(0, 0));
    board.stop_source();
    const std::string line = "SPI_IOC_MESSAGE: Input/output error";
    const std::optional<size_t> first = board.wait_stderr(line);
    ASSERT_TRUE(first);
    EXPECT_TRUE(board.wait_stderr(line, *first + 1));  // and again: the daemon keeps trying
}

}  // namespace
