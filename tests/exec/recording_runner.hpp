#pragma once
// Test doubles for the command execution seams: a runner that records every command line instead
// of running it and answers from a script, and a pauser that records pauses instead of waiting.
// Any room's tests may use them, handing them to the code under test:
//
//     recording_exec_seams seams;
//     seams.runner.push_status(1);             // the next status-mode command fails once
//     seams.runner.push_capture("0x2\n");      // the next captured command prints this
//     ... code under test ...
//     EXPECT_EQ(seams.runner.commands(), (std::vector<std::string>{"iw ..."}));
//     EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{500000}));
//
// Both are safe to use from several threads.
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "exec/scripted_output.hpp"
#include "keyword.hpp"

class recording_runner : public command_runner {
public:
    // Scripted answers, used in order; when they run out, status commands give default_status
    // and captured commands print nothing and give 0.
    void push_status(int result) {
        std::lock_guard<std::mutex> guard(lock_);
        status_results_.push_back(result);
    }
    void push_capture(std::string text, int result = 0) {
        std::lock_guard<std::mutex> guard(lock_);
        capture_replies_.emplace_back(std::move(text), result);
    }
    void set_default_status(int result) {
        std::lock_guard<std::mutex> guard(lock_);
        default_status_ = result;
    }

    // Every command line, in order, of both modes.
    std::vector<std::string> commands() const {
        std::lock_guard<std::mutex> guard(lock_);
        return commands_;
    }
    std::vector<std::string> status_commands() const {
        std::lock_guard<std::mutex> guard(lock_);
        return status_commands_;
    }
    std::vector<std::string> capture_commands() const {
        std::lock_guard<std::mutex> guard(lock_);
        return capture_commands_;
    }

    int status(const char* cmd) override {
        std::lock_guard<std::mutex> guard(lock_);
        commands_.emplace_back(cmd != nullptr ? cmd : "");
        status_commands_.emplace_back(cmd != nullptr ? cmd : "");
        if (status_results_.empty()) return default_status_;
        int result = status_results_.front();
        status_results_.pop_front();
        return result;
    }

    // The scripted text goes through the real reading code, so it is cut, warned about and
    // stripped of one final line feed exactly as a real command's output would be.
    int capture(const char* cmd, char* output, size_t len) override {
        std::pair<std::string, int> reply;
        {
            std::lock_guard<std::mutex> guard(lock_);
            commands_.emplace_back(cmd != nullptr ? cmd : "");
            capture_commands_.emplace_back(cmd != nullptr ? cmd : "");
            if (!capture_replies_.empty()) {
                reply = capture_replies_.front();
                capture_replies_.pop_front();
            }
        }
        if (output == nullptr || len == 0) return -1;
        output[0] = '\0';
        if (!reply.first.empty()) store_scripted_output(reply.first, output, len);
        return reply.second;
    }

private:
    mutable std::mutex lock_;
    std::vector<std::string> commands_;
    std::vector<std::string> status_commands_;
    std::vector<std::string> capture_commands_;
    std::deque<int> status_results_;
    std::deque<std::pair<std::string, int>> capture_replies_;
    int default_status_ = 0;
};

class recording_pauser : public exec_pauser {
public:
    void pause_us(unsigned microseconds) override {
        std::lock_guard<std::mutex> guard(lock_);
        pauses_.push_back(microseconds);
    }
    std::vector<unsigned> pauses() const {
        std::lock_guard<std::mutex> guard(lock_);
        return pauses_;
    }

private:
    mutable std::mutex lock_;
    std::vector<unsigned> pauses_;
};

// Both doubles, for the code under test to be handed.
struct recording_exec_seams {
    recording_runner runner;
    recording_pauser pauser;
};
