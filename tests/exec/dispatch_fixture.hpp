#pragma once
// Dispatch through a table built over recording seams, with stand-ins for the rows other rooms
// build, and exact capture of both output streams.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cstring>
#include <string>
#include <vector>

#include "exec/recording_runner.hpp"
#include "exec/scripted_keyword.hpp"
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

inline bool mutex_is_free(pthread_mutex_t& mutex) {
    if (pthread_mutex_trylock(&mutex) != 0) return false;
    pthread_mutex_unlock(&mutex);
    return true;
}

class DispatchTest : public testing::Test {
protected:
    // Runs through the fixture's table, keeping both streams.
    int dispatch(const char* keyword, const char* params) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        int result = table.execute(keyword, params);
        err = testing::internal::GetCapturedStderr();
        out = testing::internal::GetCapturedStdout();
        return result;
    }
    bool iwset_mutex_is_free() { return mutex_is_free(nan.iwset_mutex); }

    recording_exec_seams seams;
    nan_interface_state nan;
    scripted_rooms rooms;
    keyword_dispatch_table table{nan, rooms.handlers(), seams.runner, seams.pauser};
    std::string out;
    std::string err;
};
