// nanvideo-keyword as a program: its parameter text, its lines and its exit statuses. Only
// keywords that are harmless on a development machine are run.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <string>

#include "keyword.hpp"

namespace {

const std::string tool = NANVIDEO_KEYWORD_TOOL;

shell_command_runner& shell() {
    static running_command_lists lists;
    static shell_command_runner runner(command_time_limit_ms, lists.cuttable, lists.writes);
    return runner;
}

// Runs a shell line and returns what it printed on standard output.
std::string shell_output(const std::string& line) {
    static char buffer[16384];
    buffer[0] = '\0';
    EXPECT_EQ(shell().capture(line.c_str(), buffer, sizeof buffer), 0);
    return buffer;
}

// The tool's standard output followed by "exit=N".
std::string run_tool(const std::string& arguments) {
    return shell_output(tool + " " + arguments + " 2>/dev/null; echo \"exit=$?\"");
}

// The tool's standard error followed by "exit=N".
std::string run_tool_stderr(const std::string& arguments) {
    return shell_output(tool + " " + arguments + " 2>&1 >/dev/null; echo \"exit=$?\"");
}

std::string batch_of_one(const std::string& command) {
    return "\n=== Start executing collected commands ===\n"
           "[TID] Executing command [1/1] (retry 1): " + command + "\n"
           "Command [1] executed successfully!\n"
           "=== All commands execution completed ===\n\n";
}

// Thread identifiers differ from run to run; replace the first "[digits]" with "[TID]".
std::string without_thread_id(std::string text) {
    size_t open = text.find("] Executing");
    size_t start = text.rfind('[', open);
    if (open != std::string::npos && start != std::string::npos) {
        text.replace(start, open - start + 1, "[TID]");
    }
    return text;
}

TEST(KeywordTool, UsageAndExitStatuses) {
    std::string usage = run_tool_stderr("");
    EXPECT_EQ(usage.rfind("Usage: nanvideo-keyword KEYWORD [PARAMETERS...]\n", 0), 0u);
    EXPECT_NE(usage.find("\nexit=64"), std::string::npos);
    EXPECT_EQ(run_tool("Start pref 128"), "Error: Unsupported keyword <Start>!\nexit=1");
}

// The tool installs the vendor rooms' handlers: a vendor keyword is parsed as a record and never
// reaches the shell. (Keywords that query or change the Wi-Fi interface run only on the
// simulated board, in the end-to-end suite.)
TEST(KeywordTool, VendorKeywordsAreRecordsNotShellCommands) {
    EXPECT_EQ(run_tool_stderr("srvc_ext data_path sec_pmk"),
              "Error: sec_pmk requires 32-character string!\nexit=1");
}

TEST(KeywordTool, JoinsParametersWithSingleBlanks) {
    char pattern[] = "/tmp/nanvideo_keyword_tool_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    std::string printed = run_tool("mkdir '" + dir + "/a'   '" + dir + "/b'");
    EXPECT_EQ(without_thread_id(printed),
              batch_of_one("echo \"Create directory: \" && mkdir " + dir + "/a " + dir + "/b") +
                  "exit=0");
    struct stat info {};
    EXPECT_EQ(stat((dir + "/a").c_str(), &info), 0);
    EXPECT_EQ(stat((dir + "/b").c_str(), &info), 0);
    EXPECT_EQ(shell().status(("rm -r '" + dir + "'").c_str()), 0);
}

TEST(KeywordTool, NoParametersMeansNoTrailingBlank) {
    EXPECT_EQ(without_thread_id(run_tool("ls")),
              batch_of_one("echo \"List directory: \" && ls") + "exit=0");
}

}  // namespace
