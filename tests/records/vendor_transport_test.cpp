// The daemon's vendor record sender with a recording command runner: the command line, the
// attempts and pauses, the record file as iw would read it, and no file left behind.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <set>
#include <string>

#include "records/vendor_fixture.hpp"

namespace {

const std::string path_prefix = "/tmp/nan_vendor_data_";

// True when this process holds a descriptor on the path.
bool descriptor_open_on(const std::string& path) {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr) return false;
    bool found = false;
    while (dirent* entry = readdir(dir)) {
        char target[PATH_MAX] = {};
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        if (n > 0 && path == std::string(target, static_cast<size_t>(n))) found = true;
    }
    closedir(dir);
    return found;
}

// Reads the record file named at the end of the command, as iw would, before answering.
class file_reading_runner : public recording_runner {
public:
    int status(const char* cmd) override {
        std::string command(cmd);
        path = command.substr(command.rfind(' ') + 1);
        FILE* file = fopen(path.c_str(), "rb");
        contents.clear();
        if (file != nullptr) {
            int c = 0;
            while ((c = fgetc(file)) != EOF) contents.push_back(static_cast<uint8_t>(c));
            fclose(file);
        }
        struct stat info {};
        mode = stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0;
        descriptor_left_open = descriptor_open_on(path);
        return recording_runner::status(cmd);
    }

    std::string path;
    bytes contents;
    mode_t mode = 0;
    bool descriptor_left_open = true;
};

class VendorTransportTest : public testing::Test {
protected:

    int send(int subcmd, const bytes& record) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = sender.send(subcmd, record.data(), record.size());
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    std::string command() const { return "iw nan0 vendor send 0xe04c 0x1902 " + runner.path; }
    std::string attempt_line(int attempt) const {
        return thread_tag() + " Executing iw command (retry " + std::to_string(attempt) + "): " +
               command() + "\n";
    }
    void expect_no_file_left() const {
        struct stat info {};
        EXPECT_EQ(stat(runner.path.c_str(), &info), -1);
        EXPECT_EQ(errno, ENOENT);
    }

    file_reading_runner runner;
    recording_pauser pauser;
    vendor_record_sender sender{runner, pauser};
    std::string out;
    std::string err;
};

const bytes accept_record = record_with(data_rsp_record_size, {{0, hex_bytes("00 02 05")}});

TEST_F(VendorTransportTest, SuccessAtTheFirstAttempt) {
    ASSERT_EQ(send(data_rsp_subcmd, accept_record), 0);
    ASSERT_EQ(runner.path.size(), path_prefix.size() + 6);
    EXPECT_EQ(runner.path.substr(0, path_prefix.size()), path_prefix);
    EXPECT_EQ(runner.status_commands(), std::vector<std::string>{command()});
    EXPECT_EQ(out, attempt_line(1) + thread_tag() +
                       " Success: Sent 284 bytes (vendor_id: 0xe04c, subcmd: 0x1902)\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(pauser.pauses().empty());
    expect_no_file_left();
}

TEST_F(VendorTransportTest, FileHoldsExactlyTheRecordWhileIwRuns) {
    ASSERT_EQ(send(data_rsp_subcmd, accept_record), 0);
    EXPECT_EQ(runner.contents, accept_record);
    EXPECT_EQ(runner.mode, 0600U);
    EXPECT_FALSE(runner.descriptor_left_open);
}

TEST_F(VendorTransportTest, FailingEveryTimeGivesThreeAttemptsAndThreePauses) {
    runner.set_default_status(1);
    ASSERT_EQ(send(data_rsp_subcmd, accept_record), -1);
    EXPECT_EQ(out, attempt_line(1) + attempt_line(2) + attempt_line(3));
    EXPECT_EQ(err, thread_tag() + " Error: iw command failed (exit code: 1, retries: 3)!\n");
    EXPECT_EQ(pauser.pauses(), (std::vector<unsigned>{500000, 500000, 500000}));
    EXPECT_EQ(runner.status_commands().size(), 3U);
    expect_no_file_left();
}

TEST_F(VendorTransportTest, RunnerThatCannotStartTheShellReportsMinusOne) {
    runner.set_default_status(-1);
    ASSERT_EQ(send(data_rsp_subcmd, accept_record), -1);
    EXPECT_EQ(err, thread_tag() + " Error: iw command failed (exit code: -1, retries: 3)!\n");
    EXPECT_EQ(pauser.pauses().size(), 3U);
    expect_no_file_left();
}

TEST_F(VendorTransportTest, FailingOnceThenSucceeding) {
    runner.push_status(1);
    ASSERT_EQ(send(data_rsp_subcmd, accept_record), 0);
    EXPECT_EQ(out, attempt_line(1) + attempt_line(2) + thread_tag() +
                       " Success: Sent 284 bytes (vendor_id: 0xe04c, subcmd: 0x1902)\n");
    EXPECT_EQ(err, "");
    EXPECT_EQ(pauser.pauses(), (std::vector<unsigned>{500000}));
    EXPECT_EQ(runner.contents, accept_record);
    expect_no_file_left();
}

TEST_F(VendorTransportTest, EachSendHasItsOwnFreshFile) {
    bytes small = hex_bytes("01 00 02 11 22 33 44 55 02 01");
    ASSERT_EQ(send(pasn_start_subcmd, small), 0);
    std::string first = runner.path;
    EXPECT_EQ(runner.contents, small);
    EXPECT_EQ(runner.status_commands().back(), "iw nan0 vendor send 0xe04c 0x1908 " + first);
    ASSERT_EQ(send(srvc_ext_subcmd, bytes(srvc_ext_record_size, 0)), 0);
    EXPECT_EQ(runner.contents, bytes(srvc_ext_record_size, 0));
    EXPECT_EQ(runner.status_commands().back(), "iw nan0 vendor send 0xe04c 0x1900 " + runner.path);
    expect_no_file_left();
}

// The send lock is given up on a failed send too: the next send goes ahead (a lock left held
// would stop it for good).
TEST_F(VendorTransportTest, AFailedSendLeavesTheNextOneFree) {
    runner.push_status(1);
    runner.push_status(1);
    runner.push_status(1);
    EXPECT_EQ(send(data_end_subcmd, bytes(data_end_record_size, 0)), -1);
    EXPECT_EQ(send(data_end_subcmd, bytes(data_end_record_size, 0)), 0);
    EXPECT_EQ(runner.status_commands().size(), 4U);
}

// A stop comes while iw runs: the record file goes at once, and a send after it creates none.
// Refusing is for the rest of the process, so the scenario runs in a child of its own.
class stop_during_send_runner : public file_reading_runner {
public:
    int status(const char* cmd) override {
        int result = file_reading_runner::status(cmd);
        struct stat info {};
        existed_before_stop = stat(path.c_str(), &info) == 0;
        sender->refuse_record_files();
        gone_after_stop = stat(path.c_str(), &info) != 0;
        return result;
    }
    vendor_record_sender* sender = nullptr;
    bool existed_before_stop = false;
    bool gone_after_stop = false;
};

[[noreturn]] void stop_during_send_scenario() {
    stop_during_send_runner runner;
    recording_pauser pauser;
    vendor_record_sender sender(runner, pauser);
    runner.sender = &sender;
    // The death test holds stderr's capture already: the error line is caught in a file.
    FILE* caught = tmpfile();
    const int saved_stderr = dup(STDERR_FILENO);
    fflush(stderr);
    dup2(fileno(caught), STDERR_FILENO);
    testing::internal::CaptureStdout();
    const int during = sender.send(data_end_subcmd, bytes(data_end_record_size, 0).data(),
                                   data_end_record_size);
    const int after = sender.send(data_end_subcmd, bytes(data_end_record_size, 0).data(),
                                  data_end_record_size);
    testing::internal::GetCapturedStdout();
    fflush(stderr);
    dup2(saved_stderr, STDERR_FILENO);
    std::string err(256, '\0');
    err.resize(static_cast<size_t>(pread(fileno(caught), err.data(), err.size(), 0)));
    const std::string refused = thread_tag() + " Error: Not sending: the daemon is stopping\n";
    const bool right = during == 0 && runner.existed_before_stop && runner.gone_after_stop &&
                       after == -1 && err == refused && runner.status_commands().size() == 1;
    fprintf(stderr, "during %d, file %d/%d, after %d, calls %zu, err <%s>\n", during,
            runner.existed_before_stop, runner.gone_after_stop, after,
            runner.status_commands().size(), err.c_str());
    _exit(right ? 0 : 1);
}

TEST(VendorTransportStop, RemovesTheFileOfTheSendInProgressAndRefusesTheNext) {
    EXPECT_EXIT(stop_during_send_scenario(), testing::ExitedWithCode(0), "");
}

}  // namespace
