#pragma once
// Recording stand-ins for the three edges the parameter room reaches: shell commands, batch
// pauses and replies to clients. Nothing here runs a program.
#include <pthread.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "at_command.hpp"
#include "exec/scripted_output.hpp"
#include "exec/scripted_keyword.hpp"
#include "keyword.hpp"
#include "param_store.hpp"

// Answers captured commands from a script (through the real reading half, so cutting and the
// final line feed behave as with a real command) and status commands from a list of results.
class scripted_runner : public command_runner {
public:
    std::vector<std::string> captured;  // command lines, in order
    std::vector<std::string> statuses;  // command lines, in order
    std::map<std::string, std::string> answers;
    int capture_result = 0;
    std::deque<int> status_results;  // consumed in order; then 0
    std::function<void(const char*)> on_run;  // called inside every command

    int capture(const char* cmd, char* output, size_t len) override {
        captured.emplace_back(cmd);
        if (on_run) on_run(cmd);
        if (capture_result != 0) return capture_result;
        auto it = answers.find(cmd);
        if (it != answers.end() && !it->second.empty()) {
            std::string text = it->second;
            store_scripted_output(text, output, len);
        }
        return 0;
    }

    int status(const char* cmd) override {
        statuses.emplace_back(cmd);
        if (on_run) on_run(cmd);
        if (status_results.empty()) return 0;
        int result = status_results.front();
        status_results.pop_front();
        return result;
    }
};

class recording_pauser : public exec_pauser {
public:
    std::vector<unsigned> pauses;
    void pause_us(unsigned microseconds) override { pauses.push_back(microseconds); }
};

// The reply handle a command is run with: records what it sends and whether it stopped video.
class recording_sink : public at_reply {
public:
    struct reply_record {
        std::string text;
    };
    std::vector<reply_record> replies;
    int suspended = 0;
    int send(const char* text) override {
        replies.push_back({text});
        return 0;
    }
    void suspend_video() override { ++suspended; }
    // The server thread writes the status; here it is a marker.
    int send_status() override {
        replies.push_back({"<status>\r\nOK\r\n"});
        return 0;
    }
};

// True when the mutex is held (by anyone, this thread included).
inline bool mutex_held(pthread_mutex_t& mutex) {
    if (pthread_mutex_trylock(&mutex) != 0) return true;
    pthread_mutex_unlock(&mutex);
    return false;
}

// The parameter room as the daemon builds it, over whatever runner and pauser the test gives:
// the record, the keyword table (its vendor rows do nothing here) and the AT commands.
struct params_under_test {
    params_under_test(command_runner& runner, exec_pauser& pauser)
        : keywords(nan,
                   {vendor_rows, vendor_rows, vendor_rows, vendor_rows, vendor_rows, vendor_rows,
                    config_write},
                   runner, pauser) {}

    nan_interface_state nan;
    param_state params;
    config_write_keyword config_write{params};
    scripted_keyword vendor_rows;
    keyword_dispatch_table keywords;
    at_commands at{params, keywords};
};

// A parameter room over recorders, with the names the tests speak of.
struct params_fixture {
    scripted_runner runner;
    recording_pauser pauser;
    params_under_test room{runner, pauser};
    param_record& current_param = room.params.current_param;
    bool& current_param_escaped = room.params.current_param_escaped;
    pthread_mutex_t& param_mutex = room.params.param_mutex;
    pthread_mutex_t& iwset_mutex = room.nan.iwset_mutex;
};
