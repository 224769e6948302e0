#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "diag/ProgramPath.h"

namespace {

TEST(ProgramPath, ReplaceLastThreeCharacters) {
    struct Case {
        std::string path;
        const char* suffix;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"/usr/lib/lumacast/lumasrv.bin", "cfg", "/usr/lib/lumacast/lumasrv.cfg"},
        {"/usr/lib/lumacast/lumasrv.bin", "log", "/usr/lib/lumacast/lumasrv.log"},
        {"C:/Program Files/lumasrv.exe", "log", "C:/Program Files/lumasrv.log"},
        {"/opt/lumasrv", "cfg", "/opt/lumacfg"},  // no extension: still three characters
        {"/x/prog.binary", "log", "/x/prog.binlog"},
        {"abc", "log", "log"},
        {"ab", "log", ""},  // too short to name a file
        {"", "cfg", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(ReplaceLastThree(c.path, c.suffix), c.expected);
    }
}

TEST(ProgramPath, FolderKeepsTheTrailingSlash) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/usr/lib/lumacast/lumasrv.bin", "/usr/lib/lumacast/"},
        {"/lumasrv.bin", "/"},
        {"/a/b/", "/a/b/"},
        {"lumasrv.bin", ""},
        {"", ""},
    };
    for (const auto& [path, folder] : cases) EXPECT_EQ(FolderOf(path), folder) << path;
}

TEST(ProgramPath, DefaultsToTheRunningExecutableAndCanBeOverridden) {
    char buffer[PATH_MAX];
    const ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    ASSERT_GT(length, 0);
    const std::string executable(buffer, static_cast<std::size_t>(length));

    EXPECT_EQ(ProgramPath(), executable);
    SetProgramPath("/tmp/somewhere/lumasrv.bin");
    EXPECT_EQ(ProgramPath(), "/tmp/somewhere/lumasrv.bin");
    SetProgramPath("");
    EXPECT_EQ(ProgramPath(), executable);
}

}  // namespace
