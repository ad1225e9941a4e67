// The spidev emulator as a program meets it: settings, the driver's refusals, failures on demand,
// close-on-exec, the transfer results from the video source, and the loud end of every request a
// correct daemon would never make.
#include <signal.h>
#include <linux/spi/spi.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdio>

#include "board_fixture.hpp"

namespace {

const std::string untouched_rx = " rx EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE EE";

// The first 16 received bytes as the probe shows them, the rest of the 0xEE fill after data.
std::string shown_rx(const std::vector<uint8_t>& data) {
    std::string text = " rx";
    char byte[4];
    for (size_t i = 0; i < 16; ++i) {
        snprintf(byte, sizeof byte, " %02X", i < data.size() ? data[i] : 0xEE);
        text += byte;
    }
    return text;
}

class SpidevEmulator : public board_test {
protected:
    void start_probe(const std::vector<std::string>& steps, daemon_options options = {}) {
        options.args = {"/dev/spidev0.0"};
        options.args.insert(options.args.end(), steps.begin(), steps.end());
        board.start_program(NANVIDEO_SPIDEV_PROBE, options);
    }

    // Runs the probe to its end and returns what it printed.
    std::vector<std::string> run_probe(const std::vector<std::string>& steps,
                                       const daemon_options& options = {}) {
        start_probe(steps, options);
        const std::optional<int> status = board.wait_exit();
        EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
            << (status ? describe_wait_status(*status) : "still running");
        return board.stdout_lines();
    }

    payload_plan plan{.seed = 3, .derived_length = false, .fixed_length = 200};
};

TEST_F(SpidevEmulator, ReadsBackTheSettingsItWasGiven) {
    EXPECT_EQ(run_probe({"open_cloexec", "wr_mode32=3", "rd_mode32", "wr_bits=16", "rd_bits",
                         "wr_bits=0", "rd_bits", "wr_speed=1000000", "rd_speed",
                         "wr_speed=400000000", "rd_speed"}),
              (std::vector<std::string>{"open_cloexec: ok", "wr_mode32: ok", "rd_mode32: 3",
                                        "wr_bits: ok", "rd_bits: 16", "wr_bits: ok", "rd_bits: 8",
                                        "wr_speed: ok", "rd_speed: 1000000", "wr_speed: ok",
                                        "rd_speed: 400000000"}));
}

// Bits the device tree set are the device's mode until a program writes its own, which
// replaces them whole.
TEST_F(SpidevEmulator, StartsWithTheDeviceTreesModeBitsUntilAModeIsWritten) {
    EXPECT_EQ(run_probe({"open_cloexec", "rd_mode32", "wr_mode32=1", "rd_mode32"},
                        {.spidev_dt_mode = SPI_CS_HIGH | SPI_3WIRE}),
              (std::vector<std::string>{"open_cloexec: ok", "rd_mode32: 20", "wr_mode32: ok",
                                        "rd_mode32: 1"}));
}

TEST_F(SpidevEmulator, RoundsTheClockDownToTheControllersFastest) {
    EXPECT_EQ(run_probe({"open_cloexec", "wr_speed=50000000", "rd_speed", "wr_speed=999", "rd_speed"},
                        {.spidev_max_hz = 20000000}),
              (std::vector<std::string>{"open_cloexec: ok", "wr_speed: ok", "rd_speed: 20000000",
                                        "wr_speed: ok", "rd_speed: 999"}));
}

TEST_F(SpidevEmulator, FailsTheChosenRequestOnly) {
    EXPECT_EQ(run_probe({"open_cloexec", "wr_mode32=0", "rd_mode32", "wr_bits=8", "rd_bits",
                         "wr_speed=1000", "rd_speed"},
                        {.spidev_fail = "rd_speed"}),
              (std::vector<std::string>{"open_cloexec: ok", "wr_mode32: ok", "rd_mode32: 0",
                                        "wr_bits: ok", "rd_bits: 8", "wr_speed: ok",
                                        "rd_speed: Input/output error"}));
}

TEST_F(SpidevEmulator, FailsEveryTransferAtOnceWhenAsked) {
    board.source().queue(frame_transfer(plan, 0, 0));
    EXPECT_EQ(run_probe({"open_cloexec", "transfer", "transfer"}, {.spidev_fail = "transfer"}),
              (std::vector<std::string>{"open_cloexec: ok",
                                        "transfer: -1 Input/output error" + untouched_rx,
                                        "transfer: -1 Input/output error" + untouched_rx}));
}

TEST_F(SpidevEmulator, FailsTheOpenWhenAsked) {
    EXPECT_EQ(run_probe({"open_cloexec"}, {.spidev_fail = "open"}),
              std::vector<std::string>{"open_cloexec: No such file or directory"});
    EXPECT_FALSE(board.source().connected());
}

TEST_F(SpidevEmulator, EveryOpenCallOpensTheDeviceWithItsCloseOnExecFlag) {
    EXPECT_EQ(run_probe({"open", "cloexec", "close", "open_cloexec", "cloexec", "close", "open64",
                         "cloexec", "close", "openat", "cloexec", "rd_bits"}),
              (std::vector<std::string>{"open: ok", "cloexec: 0", "close: ok", "open_cloexec: ok",
                                        "cloexec: 1", "close: ok", "open64: ok", "cloexec: 1",
                                        "close: ok", "openat: ok", "cloexec: 1", "rd_bits: 8"}));
}

TEST_F(SpidevEmulator, LeavesOtherPathsAndDescriptorsAlone) {
    EXPECT_EQ(run_probe({"open_cloexec", "other_ioctl"}, {.spidev_path = "/dev/spidev1.0"}),
              (std::vector<std::string>{"open_cloexec: No such file or directory",
                                        "other_ioctl: Inappropriate ioctl for device"}));
}

TEST_F(SpidevEmulator, RemovesItselfFromTheEnvironmentOfChildren) {
    EXPECT_EQ(run_probe({"env"}), (std::vector<std::string>{"env: LD_PRELOAD=(unset)",
                                                            "child: LD_PRELOAD=(unset)"}));
}

// The daemon forks commands while its transfer thread uses the device; a child's close() must
// never wait for a lock that thread held at the fork.
TEST_F(SpidevEmulator, ChildrenForkedWhileTheDeviceIsInUseCanCloseDescriptors) {
    EXPECT_EQ(run_probe({"open_cloexec", "fork_while_busy=300"}),
              (std::vector<std::string>{"open_cloexec: ok", "fork_while_busy: 0 of 300 children stuck"}));
}

TEST_F(SpidevEmulator, TransfersCompleteWithTheSourcesReplies) {
    const spi_reply frame = frame_transfer(plan, 0, 0);
    const spi_reply short_transfer = frame_transfer(plan, 1, 1, frame_fault::short_transfer);
    board.source().queue(frame);
    board.source().queue(short_transfer);
    board.source().queue(empty_transfer());
    board.source().queue(failed_transfer(ETIMEDOUT));

    EXPECT_EQ(run_probe({"open_cloexec", "transfer", "transfer", "transfer", "transfer"}),
              (std::vector<std::string>{
                  "open_cloexec: ok",
                  "transfer: 4110" + shown_rx(frame.data),
                  "transfer: 11" + shown_rx(short_transfer.data),
                  "transfer: 0 Input/output error" + untouched_rx,
                  "transfer: -1 Connection timed out" + untouched_rx,
              }));
    const transfer_request request = board.source().last_request();
    EXPECT_EQ(request.length, 4110u);
    EXPECT_EQ(request.speed_hz, 500000u);  // the device's clock before any setting
    EXPECT_EQ(request.bits_per_word, 8u);
    EXPECT_TRUE(request.has_tx);
    EXPECT_TRUE(request.has_rx);
}

TEST_F(SpidevEmulator, TransmitOnlyTransfersLeaveTheReceiveSideAlone) {
    board.source().queue(frame_transfer(plan, 0, 0));
    EXPECT_EQ(run_probe({"open_cloexec", "transfer_tx_only"}, {.expect_type = 1}),
              (std::vector<std::string>{"open_cloexec: ok", "transfer_tx_only: 4110" + untouched_rx}));
    EXPECT_FALSE(board.source().last_request().has_rx);
}

TEST_F(SpidevEmulator, ReceiveOnlyTransfersReceive) {
    const spi_reply frame = frame_transfer(plan, 0, 0);
    board.source().queue(frame);
    EXPECT_EQ(run_probe({"open_cloexec", "transfer_rx_only"}, {.expect_type = 2}),
              (std::vector<std::string>{"open_cloexec: ok",
                                        "transfer_rx_only: 4110" + shown_rx(frame.data)}));
    EXPECT_FALSE(board.source().last_request().has_tx);
}

TEST_F(SpidevEmulator, TransfersFailWithEioOnceTheSourceHasGone) {
    const spi_reply frame = frame_transfer(plan, 0, 0);
    board.source().queue(frame);
    start_probe({"open_cloexec", "transfer", "transfer", "transfer"});
    ASSERT_TRUE(board.wait_stdout("transfer: 4110" + shown_rx(frame.data)));
    board.stop_source();  // the second transfer waits for it
    ASSERT_TRUE(board.wait_exit());
    EXPECT_EQ(board.stdout_lines(), (std::vector<std::string>{
                                        "open_cloexec: ok",
                                        "transfer: 4110" + shown_rx(frame.data),
                                        "transfer: -1 Input/output error" + untouched_rx,
                                        "transfer: -1 Input/output error" + untouched_rx,
                                    }));
}

// What the kernel's driver refuses with an error, the emulator refuses with the same error, and
// the setting in force stays; what it accepts goes through.
struct refusal_case {
    const char* name;
    uint32_t bufsiz;  // 0: the board's
    std::vector<std::string> steps;
    std::vector<std::string> lines;
    bool reaches_source;
};

class SpidevRefusal : public SpidevEmulator, public ::testing::WithParamInterface<refusal_case> {};

TEST_P(SpidevRefusal, GivesTheDriversError) {
    const refusal_case& c = GetParam();
    const spi_reply frame = frame_transfer(plan, 0, 0);
    if (c.reaches_source) board.source().queue(frame);
    std::vector<std::string> expected = c.lines;
    for (std::string& line : expected)
        if (line.ends_with(": 4110")) line += shown_rx(frame.data);
    EXPECT_EQ(run_probe(c.steps, {.spidev_bufsiz = c.bufsiz}), expected);
}

const std::string refused_transfer_emsgsize = "transfer: -1 Message too long" + untouched_rx;
const std::string refused_transfer_einval = "transfer: -1 Invalid argument" + untouched_rx;

INSTANTIATE_TEST_SUITE_P(
    EachDriverRule, SpidevRefusal,
    ::testing::Values(
        refusal_case{"stock_bufsiz", 4096, {"open_cloexec", "transfer"},
                     {"open_cloexec: ok", refused_transfer_emsgsize}, false},
        // 4110 bytes take 4160 in 64-byte DMA units.
        refusal_case{"bufsiz_below_alignment", 4159, {"open_cloexec", "transfer"},
                     {"open_cloexec: ok", refused_transfer_emsgsize}, false},
        refusal_case{"bufsiz_at_alignment", 4160, {"open_cloexec", "transfer"},
                     {"open_cloexec: ok", "transfer: 4110"}, true},
        refusal_case{"speed_zero", 0, {"open_cloexec", "wr_speed=1000", "wr_speed=0", "rd_speed"},
                     {"open_cloexec: ok", "wr_speed: ok", "wr_speed: Invalid argument",
                      "rd_speed: 1000"},
                     false},
        refusal_case{"mode_cs_word", 0, {"open_cloexec", "wr_mode32=3", "wr_mode32=0x1003", "rd_mode32"},
                     {"open_cloexec: ok", "wr_mode32: ok", "wr_mode32: Invalid argument",
                      "rd_mode32: 3"},
                     false},
        refusal_case{"mode_above_mask", 0, {"open_cloexec", "wr_mode32=0x20000", "rd_mode32"},
                     {"open_cloexec: ok", "wr_mode32: Invalid argument", "rd_mode32: 0"}, false},
        refusal_case{"mode_in_mask", 0, {"open_cloexec", "wr_mode32=0x10008", "rd_mode32"},
                     {"open_cloexec: ok", "wr_mode32: ok", "rd_mode32: 65544"}, false},
        refusal_case{"words_of_32_bits", 0, {"open_cloexec", "wr_bits=32", "transfer"},
                     {"open_cloexec: ok", "wr_bits: ok", refused_transfer_einval}, false},
        refusal_case{"words_of_17_bits", 0, {"open_cloexec", "wr_bits=17", "transfer"},
                     {"open_cloexec: ok", "wr_bits: ok", refused_transfer_einval}, false},
        refusal_case{"words_of_16_bits", 0, {"open_cloexec", "wr_bits=16", "transfer"},
                     {"open_cloexec: ok", "wr_bits: ok", "transfer: 4110"}, true}),
    [](const ::testing::TestParamInfo<refusal_case>& param) { return param.param.name; });

struct violation_case {
    const char* name;
    const char* step;
    int expect_type;
    const char* what;
};

class SpidevViolation : public SpidevEmulator,
                        public ::testing::WithParamInterface<violation_case> {};

TEST_P(SpidevViolation, EndsTheProcessLoudly) {
    start_probe({"open_cloexec", GetParam().step}, {.expect_type = GetParam().expect_type});
    const std::optional<int> status = board.wait_exit();
    ASSERT_TRUE(status);
    ASSERT_TRUE(WIFSIGNALED(*status)) << describe_wait_status(*status);
    EXPECT_EQ(WTERMSIG(*status), SIGABRT);
    EXPECT_EQ(board.stderr_lines(),
              std::vector<std::string>{std::string("spidev-emu: VIOLATION: ") + GetParam().what});
}

INSTANTIATE_TEST_SUITE_P(
    EachWrongRequest, SpidevViolation,
    ::testing::Values(
        violation_case{"length", "bad_len", 0, "transfer len 4109, expected 4110"},
        violation_case{"speed", "bad_speed", 0,
                       "transfer speed_hz 500001, the device reads back 500000"},
        violation_case{"bits", "bad_bits", 0, "transfer bits_per_word 9, the device reads back 8"},
        violation_case{"transmitted_byte", "bad_tx_byte", 0, "transmitted byte 100 is 0x01, not 0"},
        violation_case{"no_tx_in_full_duplex", "no_tx_buf", 0,
                       "transfer tx_buf 0 for transfer type 0"},
        violation_case{"no_rx_in_full_duplex", "no_rx_buf", 0,
                       "transfer rx_buf 0 for transfer type 0"},
        violation_case{"rx_in_transmit_only", "transfer", 1,
                       "transfer rx_buf set for transfer type 1"},
        violation_case{"tx_in_receive_only", "transfer", 2,
                       "transfer tx_buf set for transfer type 2"},
        violation_case{"unknown_request", "unknown_request", 0,
                       "unknown request 0x40016b01 on /dev/spidev0.0"}),
    [](const ::testing::TestParamInfo<violation_case>& param) { return param.param.name; });

}  // namespace
