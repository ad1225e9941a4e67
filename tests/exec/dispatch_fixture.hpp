#pragma once
// Dispatch under recording seams, with exact capture of both output streams.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>

#include "exec/recording_runner.hpp"
#include "keyword.hpp"

inline std::string thread_tag() {
    return "[" + std::to_string(static_cast<unsigned long>(pthread_self())) + "]";
}

// The lines one successful batch prints, for commands that each succeed at the first attempt.
inline std::string batch_lines(std::initializer_list<std::string> commands) {
    std::string lines = "\n=== Start executing collected commands ===\n";
    int number = 1;
    int count = static_cast<int>(commands.size());
    for (const std::string& command : commands) {
        lines += thread_tag() + " Executing command [" + std::to_string(number) + "/" +
                 std::to_string(count) + "] (retry 1): " + command + "\n";
        lines += "Command [" + std::to_string(number) + "] executed successfully!\n";
        ++number;
    }
    return lines + "=== All commands execution completed ===\n\n";
}

class DispatchTest : public testing::Test {
protected:
    void SetUp() override {
        memset(nan_wdev, 0, sizeof nan_wdev);
        memset(nan_phy, 0, sizeof nan_phy);
    }
    void TearDown() override { memset(nan_wdev, 0, sizeof nan_wdev); }

    // Runs through the given table (the daemon's by default), keeping both streams.
    int dispatch(const char* keyword, const char* params, keyword_dispatch_table* table = nullptr) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = table != nullptr ? execute_keyword(*table, keyword, params)
                                      : execute_keyword(keyword, params);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        return result;
    }

    recording_exec_seams seams;
    std::string out;
    std::string err;
};
