// The keyword table and the dispatcher: lookup, the lock, the rooms' rows, plain shell rows.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "dispatch_fixture.hpp"

namespace {

// ---- what a room's row does in a test ----

int four_commands(const char*, command_batch& batch, int* count) {
    add_command(batch, count, "cmd one");
    add_command(batch, count, "cmd two");
    add_command(batch, count, "cmd three");
    add_command(batch, count, "cmd four");
    return 0;
}

int three_commands(const char*, command_batch& batch, int* count) {
    add_command(batch, count, "cmd one");
    add_command(batch, count, "cmd two");
    add_command(batch, count, "cmd three");
    return 0;
}

int rejects_after_adding(const char*, command_batch& batch, int* count) {
    add_command(batch, count, "must not run");
    return 2;
}

// A runner that notes whether the table's iwset_mutex was held while each command ran.
class lock_probing_runner : public recording_runner {
public:
    explicit lock_probing_runner(pthread_mutex_t& mutex) : mutex_(mutex) {}
    int status(const char* cmd) override {
        lock_states.push_back(mutex_is_free(mutex_) ? 0 : EBUSY);
        return recording_runner::status(cmd);
    }
    std::vector<int> lock_states;

private:
    pthread_mutex_t& mutex_;
};

// ---- the table ----

TEST_F(DispatchTest, LookupIsExact) {
    EXPECT_EQ(table.find("Start"), nullptr);
    EXPECT_EQ(table.find("star"), nullptr);
    EXPECT_EQ(table.find("start "), nullptr);
    EXPECT_EQ(table.find(""), nullptr);
    EXPECT_EQ(table.find(nullptr), nullptr);
}

// ---- dispatch ----

TEST_F(DispatchTest, UnsupportedKeywordReleasesTheMutex) {
    EXPECT_EQ(dispatch("Start", "pref 128 bands 2GHz 5GHz"), -1);
    EXPECT_EQ(out, "Error: Unsupported keyword <Start>!\n");
    EXPECT_EQ(err, "");
    EXPECT_TRUE(iwset_mutex_is_free());

    EXPECT_EQ(dispatch("", nullptr), -1);
    EXPECT_EQ(out, "Error: Unsupported keyword <>!\n");
    EXPECT_EQ(dispatch(nullptr, nullptr), -1);
    EXPECT_EQ(out, "Error: Unsupported keyword <>!\n");
    EXPECT_TRUE(iwset_mutex_is_free());
    EXPECT_TRUE(seams.runner.commands().empty());
}

// Each row another room builds runs that room's handler, never a shell command named after the
// keyword.
TEST_F(DispatchTest, EveryRoomRowRunsItsOwnRoomsHandler) {
    const std::pair<const char*, scripted_keyword*> room_rows[] = {
        {"srvc_ext", &rooms.srvc_ext},   {"data_req", &rooms.data_req},
        {"data_rsp", &rooms.data_rsp},   {"data_end", &rooms.data_end},
        {"followup", &rooms.followup},   {"pasn_start", &rooms.pasn_start},
        {"config_write", &rooms.config_write},
    };
    for (const auto& [keyword, handler] : room_rows) {
        SCOPED_TRACE(keyword);
        EXPECT_EQ(dispatch(keyword, keyword), 0);
        EXPECT_EQ(handler->calls, std::vector<std::string>{keyword});
        EXPECT_EQ(out, "No commands to execute!\n");
        EXPECT_EQ(err, "");
        EXPECT_TRUE(iwset_mutex_is_free());
    }
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(DispatchTest, AFourthCommandIsRefusedAndTheOthersRun) {
    rooms.srvc_ext.body = four_commands;
    EXPECT_EQ(dispatch("srvc_ext", ""), 0);
    EXPECT_EQ(out, "Error: Command buffer is full (max 3 commands)!\n" +
                       batch_lines({"cmd one", "cmd two", "cmd three"}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(),
              (std::vector<std::string>{"cmd one", "cmd two", "cmd three"}));
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{1000000, 1000000, 1000000}));
}

TEST_F(DispatchTest, ACommandFailingThreeTimesEndsTheKeyword) {
    rooms.data_req.body = three_commands;
    seams.runner.push_status(1);
    seams.runner.push_status(1);
    seams.runner.push_status(1);
    EXPECT_EQ(dispatch("data_req", "x"), -1);
    const std::string tag = thread_tag();
    EXPECT_EQ(out, "\n=== Start executing collected commands ===\n" + tag +
                       " Executing command [1/3] (retry 1): cmd one\n" + tag +
                       " Executing command [1/3] (retry 2): cmd one\n" + tag +
                       " Executing command [1/3] (retry 3): cmd one\n"
                       "=== All commands execution completed ===\n\n");
    EXPECT_EQ(err, tag + " Error: Executing command failed (exit code: 1, retries: 3)!\n");
    EXPECT_EQ(seams.runner.status_commands(),
              (std::vector<std::string>{"cmd one", "cmd one", "cmd one"}));
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{500000, 500000, 500000}));
    EXPECT_TRUE(iwset_mutex_is_free());
}

TEST_F(DispatchTest, AFailingHandlerRunsNothingAndKeepsItsResult) {
    rooms.data_end.body = rejects_after_adding;
    EXPECT_EQ(dispatch("data_end", ""), 2);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(iwset_mutex_is_free());
}

TEST_F(DispatchTest, HandlerAndCommandsRunUnderTheMutex) {
    lock_probing_runner probe(nan.iwset_mutex);
    keyword_dispatch_table probed(nan, rooms.handlers(), probe, seams.pauser);
    int lock_state_in_handler = 0;
    rooms.pasn_start.body = [&](const char*, command_batch& batch, int* count) {
        lock_state_in_handler = mutex_is_free(nan.iwset_mutex) ? 0 : EBUSY;
        add_command(batch, count, "probe");
        return 0;
    };
    EXPECT_EQ(probed.execute("pasn_start", ""), 0);
    EXPECT_EQ(lock_state_in_handler, EBUSY);
    EXPECT_EQ(probe.lock_states, std::vector<int>{EBUSY});
    EXPECT_TRUE(iwset_mutex_is_free());
}

// ---- plain shell rows ----

TEST_F(DispatchTest, PlainRowWithParameters) {
    EXPECT_EQ(dispatch("ls", "/tmp"), 0);
    const std::string command = "echo \"List directory: \" && ls /tmp";
    EXPECT_EQ(out, batch_lines({command}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(), std::vector<std::string>{command});
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(DispatchTest, PlainRowWithoutParametersHasNoTrailingBlank) {
    EXPECT_EQ(dispatch("mkdir", ""), 0);
    EXPECT_EQ(dispatch("cp", nullptr), 0);
    EXPECT_EQ(seams.runner.status_commands(),
              (std::vector<std::string>{"echo \"Create directory: \" && mkdir",
                                        "echo \"Copy file: \" && cp"}));
}

TEST_F(DispatchTest, PlainRowIsCutAt1023Characters) {
    std::string params(2000, 'p');
    EXPECT_EQ(dispatch("cp", params.c_str()), 0);
    std::string prefix = "echo \"Copy file: \" && cp ";
    ASSERT_EQ(seams.runner.status_commands().size(), 1u);
    EXPECT_EQ(seams.runner.status_commands()[0],
              prefix + std::string(1023 - prefix.size(), 'p'));
}

TEST_F(DispatchTest, FailingPlainRowGivesMinusOne) {
    seams.runner.set_default_status(2);
    EXPECT_EQ(dispatch("ls", "/missing"), -1);
    EXPECT_EQ(err, thread_tag() + " Error: Executing command failed (exit code: 2, retries: 3)!\n");
    EXPECT_TRUE(iwset_mutex_is_free());
}

}  // namespace
