// The access rule a program starts with: a new install private with a link
// of its own, an existing one as open as it always was, a damaged file
// closed and left as it is.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "app/ViewerAccessFile.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::WriteWholeFile;

mode_t ModeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

TEST(ViewerAccessFileTest, ANewInstallStartsPrivateAndKeepsItsLink) {
    testsupport::ProgramFolder folder("lumaaccess");
    std::string problem;
    const AccessSettings first = LoadViewerAccess(&problem);
    EXPECT_EQ(problem, "");
    EXPECT_EQ(first.viewers, ViewerRule::kInvite);
    EXPECT_EQ(first.token.size(), 32u);
    EXPECT_EQ(ModeOf(folder / "access.cfg"), 0600);
    // The next start finds the same link.
    EXPECT_EQ(LoadViewerAccess(&problem).token, first.token);
}

TEST(ViewerAccessFileTest, AnExistingInstallKeepsLettingEveryoneWatch) {
    testsupport::ProgramFolder folder("lumaaccess");
    WriteWholeFile(folder / "lumasrv.cfg", std::string(356, '\0'));
    std::string problem;
    const AccessSettings settings = LoadViewerAccess(&problem);
    EXPECT_EQ(settings.viewers, ViewerRule::kEveryone);
    EXPECT_FALSE(settings.token.empty());  // ready for when the user turns it on
    EXPECT_NE(ReadWholeFile(folder / "access.cfg").find("viewers=everyone\n"), std::string::npos);
}

TEST(ViewerAccessFileTest, ADamagedFileLetsNobodyInAndStaysAsItWas) {
    testsupport::ProgramFolder folder("lumaaccess");
    WriteWholeFile(folder / "access.cfg", "viewers=everybody\n");
    std::string problem;
    const AccessSettings settings = LoadViewerAccess(&problem);
    EXPECT_EQ(settings.viewers, ViewerRule::kInvite);
    EXPECT_EQ(settings.token, "");
    EXPECT_NE(problem.find("line 1: viewers= must be everyone, invite or password"),
              std::string::npos)
        << problem;
    EXPECT_EQ(ReadWholeFile(folder / "access.cfg"), "viewers=everybody\n");
}

}  // namespace
