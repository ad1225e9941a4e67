// A staging install (a board image, a package build) writes only below its prefix or DESTDIR:
// each install is listed from what cmake reports and from what the folder holds afterwards. The
// commands are the README's, as written, for this build's preset: in the armhf build they
// install the board's static daemon and keyword tool, copied as built (never relinked).
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <utility>

namespace fs = std::filesystem;

namespace {

struct layout_case {
    const char* what;
    const char* destdir;  // below the test's folder, or "" for none
    const char* prefix;   // below the test's folder when relative
    std::set<std::string> files;  // relative to the test's folder
};

void PrintTo(const layout_case& c, std::ostream* os) { *os << c.what; }

// Every path that `cmake --install` says it wrote, as reported on its "-- Installing:" lines.
std::set<std::string> run_install(const std::string& destdir, const std::string& prefix) {
    const std::string command = std::string("env ") +
                                (destdir.empty() ? "-u DESTDIR" : "DESTDIR=" + destdir) + " " +
                                NANVIDEO_CMAKE " --install " NANVIDEO_BUILD_DIR " --prefix " +
                                prefix + " 2>&1";
    std::set<std::string> written;
    FILE* out = popen(command.c_str(), "r");
    if (out == nullptr) return written;
    char line[4096];
    const std::string tag = "-- Installing: ";
    while (fgets(line, sizeof(line), out) != nullptr) {
        std::string text(line);
        if (!text.empty() && text.back() == '\n') text.pop_back();
        if (text.rfind(tag, 0) == 0) written.insert(text.substr(tag.size()));
    }
    EXPECT_EQ(pclose(out), 0) << command;
    return written;
}

std::set<std::string> files_below(const fs::path& root) {
    std::set<std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_directory()) files.insert(fs::relative(entry.path(), root).string());
    }
    return files;
}

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class InstallLayout : public testing::TestWithParam<layout_case> {
protected:
    void SetUp() override {
        char name[] = "/tmp/nanvideo-install-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        root_ = name;
    }
    void TearDown() override { fs::remove_all(root_); }
    fs::path root_;
};

TEST_P(InstallLayout, WritesOnlyBelowItsFolder) {
    const layout_case& c = GetParam();
    const std::string destdir = *c.destdir ? (root_ / c.destdir).string() : "";
    const std::string prefix = c.prefix[0] == '/' ? c.prefix : (root_ / c.prefix).string();
    std::set<std::string> reported;
    for (const std::string& path : run_install(destdir, prefix)) {
        reported.insert(fs::relative(path, root_).string());
    }
    EXPECT_EQ(reported, c.files);
    EXPECT_EQ(files_below(root_), c.files);
}

TEST_F(InstallLayout, TheProgramsAreTheBuiltOnes) {
    run_install((root_ / "image").string(), "/usr");
    for (const auto& [installed, built] :
         {std::pair{"image/usr/sbin/nanvideod", NANVIDEO_DAEMON},
          std::pair{"image/usr/sbin/nanvideo-keyword", NANVIDEO_KEYWORD_TOOL}}) {
        const std::string bytes = file_bytes(root_ / installed);
        EXPECT_FALSE(bytes.empty()) << installed;
        EXPECT_TRUE(bytes == file_bytes(built)) << installed << " differs from " << built;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Staging, InstallLayout,
    testing::Values(
        layout_case{"Prefix", "", "stage",
                    {"stage/sbin/nanvideod", "stage/sbin/nanvideo-keyword",
                     "stage/bin/nanvideoctl", "stage/lib/systemd/system/nanvideod.service",
                     "stage/etc/init.d/S50nanvideod"}},
        layout_case{"DestdirWithUsr", "image", "/usr",
                    {"image/usr/sbin/nanvideod", "image/usr/sbin/nanvideo-keyword",
                     "image/usr/bin/nanvideoctl", "image/usr/lib/systemd/system/nanvideod.service",
                     "image/etc/init.d/S50nanvideod"}}),
    [](const testing::TestParamInfo<layout_case>& param) { return std::string(param.param.what); });

}  // namespace
