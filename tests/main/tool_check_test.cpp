#include "tool_check.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "common/temp_dir.hpp"

namespace {

class ToolLookup : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.path().empty());
        for (const char* sub : {"/a", "/b"}) ASSERT_EQ(mkdir((dir.path() + sub).c_str(), 0755), 0);
    }
    void make(const std::string& relative, mode_t mode) {
        const std::string path = dir.file(relative);
        std::ofstream(path) << "#!/bin/sh\n";
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
    }
    std::string path_list(const std::string& tail = "") const {
        return dir.file("a") + ":" + dir.file("b") + tail;
    }
    temp_dir dir;
};

TEST_F(ToolLookup, AnExecutableInAnyDirectoryOfThePathCounts) {
    make("b/iw", 0755);
    EXPECT_FALSE(tool_missing("iw", path_list().c_str()));
    EXPECT_TRUE(tool_missing("iw", dir.file("a").c_str()));
}

TEST_F(ToolLookup, NeitherAPlainFileNorADirectoryIsATool) {
    make("a/iw", 0644);
    ASSERT_EQ(mkdir(dir.file("b/iw").c_str(), 0755), 0);
    EXPECT_TRUE(tool_missing("iw", path_list().c_str()));
}

TEST_F(ToolLookup, AnEmptyEntryIsTheCurrentDirectory) {
    make("iw", 0755);
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof here), nullptr);
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    EXPECT_FALSE(tool_missing("iw", path_list(":").c_str()));
    EXPECT_TRUE(tool_missing("iw", path_list().c_str()));
    ASSERT_EQ(chdir(here), 0);
}

TEST_F(ToolLookup, APathIsTakenAsItIsNeverLookedUp) {
    make("a/usb.sh", 0755);
    EXPECT_FALSE(tool_missing(dir.file("a/usb.sh").c_str(), ""));
    EXPECT_TRUE(tool_missing(dir.file("b/usb.sh").c_str(), path_list().c_str()));
}

}  // namespace
