// The keyword table and the dispatcher: lookup, the lock, the refusing rows, plain shell rows.
#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <string>
#include <vector>

#include "dispatch_fixture.hpp"

namespace {

// ---- handlers a test installs ----

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

int no_command(const char*, command_batch&, int*) { return 0; }

int rejects_after_adding(const char*, command_batch& batch, int* count) {
    add_command(batch, count, "must not run");
    return 2;
}

int lock_state_in_handler = 0;
int reports_lock_state(const char*, command_batch& batch, int* count) {
    lock_state_in_handler = pthread_mutex_trylock(&iwset_mutex);
    if (lock_state_in_handler == 0) pthread_mutex_unlock(&iwset_mutex);
    add_command(batch, count, "probe");
    return 0;
}

// A runner that notes whether iwset_mutex was held while each command ran.
class lock_probing_runner : public recording_runner {
public:
    int status(const char* cmd) override {
        int state = pthread_mutex_trylock(&iwset_mutex);
        if (state == 0) pthread_mutex_unlock(&iwset_mutex);
        lock_states.push_back(state);
        return recording_runner::status(cmd);
    }
    std::vector<int> lock_states;
};

bool iwset_mutex_is_free() {
    if (pthread_mutex_trylock(&iwset_mutex) != 0) return false;
    pthread_mutex_unlock(&iwset_mutex);
    return true;
}

const char* const refusing_rows[] = {"srvc_ext",   "data_req", "data_rsp",    "data_end",
                                     "followup",   "pasn_start", "config_write"};

// ---- the table ----

TEST(KeywordTable, LookupIsExact) {
    keyword_dispatch_table table;
    EXPECT_EQ(table.find("Start"), nullptr);
    EXPECT_EQ(table.find("star"), nullptr);
    EXPECT_EQ(table.find("start "), nullptr);
    EXPECT_EQ(table.find(""), nullptr);
    EXPECT_EQ(table.find(nullptr), nullptr);
}

TEST(KeywordTable, HandlersAreInstalledOnlyOnHandlerRows) {
    keyword_dispatch_table table;
    keyword_handler refusing = table.find("followup")->handler;
    EXPECT_TRUE(table.set_handler("followup", no_command));
    EXPECT_EQ(table.find("followup")->handler, no_command);
    EXPECT_TRUE(table.set_handler("followup", nullptr));
    EXPECT_EQ(table.find("followup")->handler, refusing);

    EXPECT_FALSE(table.set_handler("ls", no_command));
    EXPECT_EQ(table.find("ls")->handler, nullptr);
    EXPECT_FALSE(table.set_handler("nope", no_command));
    EXPECT_FALSE(table.set_handler(nullptr, no_command));
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

TEST_F(DispatchTest, RefusingRowsNeverReachTheRunner) {
    for (const char* keyword : refusing_rows) {
        SCOPED_TRACE(keyword);
        EXPECT_EQ(dispatch(keyword, "data_path sec_password secret"), -1);
        EXPECT_EQ(err, std::string("Error: keyword <") + keyword + "> is not available!\n");
        EXPECT_EQ(out, "");
        EXPECT_EQ(dispatch(keyword, nullptr), -1);
        EXPECT_TRUE(iwset_mutex_is_free());
    }
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(seams.pauser.pauses().empty());
}

TEST_F(DispatchTest, AFourthCommandIsRefusedAndTheOthersRun) {
    keyword_dispatch_table table;
    ASSERT_TRUE(table.set_handler("srvc_ext", four_commands));
    EXPECT_EQ(dispatch("srvc_ext", "", &table), 0);
    EXPECT_EQ(out, "Error: Command buffer is full (max 3 commands)!\n" +
                       batch_lines({"cmd one", "cmd two", "cmd three"}));
    EXPECT_EQ(err, "");
    EXPECT_EQ(seams.runner.status_commands(),
              (std::vector<std::string>{"cmd one", "cmd two", "cmd three"}));
    EXPECT_EQ(seams.pauser.pauses(), (std::vector<unsigned>{1000000, 1000000, 1000000}));
}

TEST_F(DispatchTest, ACommandFailingThreeTimesEndsTheKeyword) {
    keyword_dispatch_table table;
    ASSERT_TRUE(table.set_handler("data_req", three_commands));
    seams.runner.push_status(1);
    seams.runner.push_status(1);
    seams.runner.push_status(1);
    EXPECT_EQ(dispatch("data_req", "x", &table), -1);
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

TEST_F(DispatchTest, AHandlerThatAddsNothingSucceeds) {
    keyword_dispatch_table table;
    ASSERT_TRUE(table.set_handler("data_rsp", no_command));
    EXPECT_EQ(dispatch("data_rsp", "rsp_mode peer ndl_rsp accept data_path_id 1", &table), 0);
    EXPECT_EQ(out, "No commands to execute!\n");
    EXPECT_EQ(err, "");
}

TEST_F(DispatchTest, AFailingHandlerRunsNothingAndKeepsItsResult) {
    keyword_dispatch_table table;
    ASSERT_TRUE(table.set_handler("data_end", rejects_after_adding));
    EXPECT_EQ(dispatch("data_end", "", &table), 2);
    EXPECT_EQ(out, "");
    EXPECT_TRUE(seams.runner.commands().empty());
    EXPECT_TRUE(iwset_mutex_is_free());
}

TEST_F(DispatchTest, HandlerAndCommandsRunUnderTheMutex) {
    lock_probing_runner probe;
    scoped_command_runner scope(probe);
    keyword_dispatch_table table;
    ASSERT_TRUE(table.set_handler("pasn_start", reports_lock_state));
    lock_state_in_handler = 0;
    EXPECT_EQ(dispatch("pasn_start", "", &table), 0);
    EXPECT_EQ(lock_state_in_handler, EBUSY);
    EXPECT_EQ(probe.lock_states, std::vector<int>{EBUSY});
    EXPECT_TRUE(iwset_mutex_is_free());
}

TEST_F(DispatchTest, InstalledHandlerServesTheDaemonsTable) {
    set_keyword_handler("followup", no_command);
    EXPECT_EQ(dispatch("followup", "handle 1"), 0);
    EXPECT_EQ(out, "No commands to execute!\n");
    set_keyword_handler("followup", nullptr);
    EXPECT_EQ(dispatch("followup", "handle 1"), -1);
    EXPECT_EQ(err, "Error: keyword <followup> is not available!\n");

    testing::internal::CaptureStderr();
    set_keyword_handler("ls", no_command);
    set_keyword_handler("unknown", no_command);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Error: Cannot install a handler for keyword <ls>!\n"
              "Error: Cannot install a handler for keyword <unknown>!\n");
    EXPECT_EQ(keyword_table().find("ls")->handler, nullptr);
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
