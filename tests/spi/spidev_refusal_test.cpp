// What the daemon prints when the spidev driver cannot take its transfers: the bufsiz check at
// set-up and the one line for a refused configuration at run time.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <string>

#include "common/temp_dir.hpp"
#include "spi_link.hpp"

namespace {

const std::string bufsiz_fixes =
    ": set spidev.bufsiz=8192 on the kernel command line, or options spidev bufsiz=8192 for the "
    "spidev module\n";

class SpidevBufsiz : public testing::Test {
protected:
    // The check's result and what it printed, with the parameter file holding `content`.
    std::pair<bool, std::string> check(const std::string& content) {
        std::ofstream(dir.file("bufsiz")) << content;
        return check_path(dir.file("bufsiz"));
    }
    std::pair<bool, std::string> check_path(const std::string& path) {
        testing::internal::CaptureStderr();
        const bool fits = spidev_bufsiz_fits(path.c_str());
        log_flush();
        return {fits, testing::internal::GetCapturedStderr()};
    }

    temp_dir dir;
};

TEST_F(SpidevBufsiz, AStockKernelsBufsizIsNamedWithTheNeedAndBothFixes) {
    EXPECT_EQ(check("4096\n"),
              std::make_pair(false, "spidev bufsiz is 4096 bytes, below the 4224 a transfer needs" +
                                        bufsiz_fixes));
}

// 4110 bytes in 128-byte units, as a 64-bit kernel counts them: the 4160 that 64-byte units
// would need is refused too, since every transfer fails there on such a kernel.
TEST_F(SpidevBufsiz, TheNeedIsTheTransferRoundedUpToTheLargestDmaAlignment) {
    for (const char* refused : {"4160\n", "4223\n"}) {
        const std::string value(refused, strlen(refused) - 1);
        EXPECT_EQ(check(refused),
                  std::make_pair(false, "spidev bufsiz is " + value +
                                            " bytes, below the 4224 a transfer needs" + bufsiz_fixes));
    }
    EXPECT_EQ(check("4224\n"), std::make_pair(true, std::string()));
    EXPECT_EQ(check("8192\n"), std::make_pair(true, std::string()));
}

// Without sysfs or without the parameter nothing is known: the transfers themselves will tell.
TEST_F(SpidevBufsiz, NoValueToReadIsNoObjection) {
    EXPECT_EQ(check_path(dir.file("missing")), std::make_pair(true, std::string()));
    EXPECT_EQ(check(""), std::make_pair(true, std::string()));
    EXPECT_EQ(check("many\n"), std::make_pair(true, std::string()));
}

class TransferFailureReport : public testing::Test {
protected:
    // What the failures in turn (0: a good transfer) print.
    std::string run(std::initializer_list<int> errors) {
        transfer_failure_report report(settings);
        testing::internal::CaptureStderr();
        for (int error : errors) {
            if (error == 0)
                report.succeeded();
            else
                report.failed(error);
        }
        log_flush();
        return testing::internal::GetCapturedStderr();
    }

    spi_settings settings;
};

TEST_F(TransferFailureReport, ABufferTooSmallIsExplainedOnceWithTheFixes) {
    EXPECT_EQ(run({EMSGSIZE, EMSGSIZE, EMSGSIZE}),
              "SPI_IOC_MESSAGE: Message too long: spidev bufsiz is below the 4224 bytes a "
              "transfer needs" +
                  bufsiz_fixes);
}

TEST_F(TransferFailureReport, WordsThatDoNotDivideTheTransferAreNamed) {
    settings.bits_per_word = 32;
    EXPECT_EQ(run({EINVAL, EINVAL}),
              "SPI_IOC_MESSAGE: Invalid argument: a 4110-byte transfer is no whole number of "
              "32-bit words (4 bytes each): the SPI core takes it with 16 bits per word or fewer\n");
}

TEST_F(TransferFailureReport, OtherRefusedSettingsAreNamed) {
    settings.speed = 1000;
    settings.mode = 3;
    EXPECT_EQ(run({EINVAL, EINVAL}),
              "SPI_IOC_MESSAGE: Invalid argument: the SPI controller refuses 4110-byte transfers "
              "at 1000 Hz, 8 bits per word, mode 0x3\n");
}

TEST_F(TransferFailureReport, OtherFailuresKeepTheirLineEachTime) {
    EXPECT_EQ(run({EIO, EIO, ETIMEDOUT}),
              "SPI_IOC_MESSAGE: Input/output error\nSPI_IOC_MESSAGE: Input/output error\n"
              "SPI_IOC_MESSAGE: Connection timed out\n");
}

// A refusal explained is explained again only after the transfers did something else.
TEST_F(TransferFailureReport, ARefusalIsExplainedAgainAfterAnotherOutcome) {
    settings.bits_per_word = 32;
    const std::string einval =
        "SPI_IOC_MESSAGE: Invalid argument: a 4110-byte transfer is no whole number of 32-bit "
        "words (4 bytes each): the SPI core takes it with 16 bits per word or fewer\n";
    EXPECT_EQ(run({EINVAL, EINVAL, 0, EINVAL, EIO, EINVAL}),
              einval + einval + "SPI_IOC_MESSAGE: Input/output error\n" + einval);
}

}  // namespace
