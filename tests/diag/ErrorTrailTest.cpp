#include <gtest/gtest.h>
#include <sys/utsname.h>

#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "diag/ErrorTrail.h"
#include "diag/ProgramPath.h"
#include "tests/support/TempFolder.h"

namespace {

using testsupport::ReadWholeFile;
using testsupport::TempFolder;

const std::string kRule(40, '-');

// The dump's fixed head: everything up to the first frame.
std::string DumpHead() {
    std::FILE* file = std::tmpfile();
    AppendOsVersion(file);
    std::rewind(file);
    std::string os;
    char chunk[256];
    while (std::size_t n = std::fread(chunk, 1, sizeof chunk, file)) os.append(chunk, n);
    std::fclose(file);
    return "\n" + kRule + "\n Error dump\n" + kRule + "\n" + os + "\nStack and variables:\n\n";
}

// Every test keeps its program path, and so its dump, in its own folder.
class ErrorTrailTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(folder_.Path().empty());
        SetProgramPath(folder_ / "lumasrv.bin");
    }
    void TearDown() override { SetProgramPath(""); }
    std::string DumpPath() const { return folder_ / "lumasrv.log"; }

    TempFolder folder_{"lumadiag"};
};

TEST_F(ErrorTrailTest, CheckResultRecordsOnlyNegativeCodes) {
    struct Case {
        HRESULT code;
        bool failed;
        const char* value;
    };
    const std::vector<Case> cases = {
        {S_OK, false, nullptr},
        {S_FALSE, false, nullptr},
        {0x7FFFFFFF, false, nullptr},
        {E_FAIL, true, "0x80004005"},
        {E_INVALIDARG, true, "0x80070057"},
        {static_cast<HRESULT>(0x80000000u), true, "0x80000000"},
        {-1, true, "0xffffffff"},
    };
    ErrorTrail trail;
    trail.OpenFrame("StartBroadcast", "app");
    std::size_t expectedEntries = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        EXPECT_EQ(trail.CheckResult(c.code, 352), c.failed);
        if (c.failed) ++expectedEntries;
        ASSERT_EQ(trail.EntryCount(), expectedEntries);
    }
    trail.WriteErrorDump();
    const std::string dump = ReadWholeFile(DumpPath());
    EXPECT_NE(dump.find("    Line  352   hresult failed == 0x80004005\n"), std::string::npos);
    EXPECT_NE(dump.find("    Line  352   hresult failed == 0xffffffff\n"), std::string::npos);
}

TEST_F(ErrorTrailTest, SetValueWritesUnsignedLowercaseHex) {
    const std::vector<std::pair<std::int32_t, std::string>> cases = {
        {0, "0x0"},
        {255, "0xff"},
        {16, "0x10"},
        {0x7FFFFFFF, "0x7fffffff"},
        {E_FAIL, "0x80004005"},
        {-1, "0xffffffff"},
    };
    ErrorTrail trail;
    for (const auto& [value, text] : cases) {
        TrailEntry& entry = trail.RecordEntry("hr", 1, true);
        EXPECT_EQ(entry.value, "-unknown-");
        entry.SetValue(value);
        EXPECT_EQ(entry.value, text);
    }
}

TEST_F(ErrorTrailTest, AssertionEntriesArePrefixed) {
    ErrorTrail trail;
    TrailEntry& assertion = trail.RecordEntry("m_hDlg", 116, true);
    assertion.SetValue(0);
    EXPECT_EQ(assertion.expression, "assert: m_hDlg");
    EXPECT_EQ(assertion.value, "0x0");
    EXPECT_EQ(assertion.line, 116);

    TrailEntry& plain = trail.RecordEntry("hresult failed", 7, false);
    EXPECT_EQ(plain.expression, "hresult failed");
    EXPECT_EQ(plain.value, "-unknown-");
}

TEST_F(ErrorTrailTest, EmptyTrailDumpEndsAfterTheHeading) {
    ErrorTrail trail;
    trail.WriteErrorDump();
    EXPECT_EQ(ReadWholeFile(DumpPath()), DumpHead());
}

TEST_F(ErrorTrailTest, DumpOfOneFrameWithTwoEntries) {
    ErrorTrail trail;
    trail.OpenFrame("StartBroadcast", "app/MainDialog.cpp");
    trail.CheckResult(E_FAIL, 352);
    trail.RecordEntry("m_hDlg", 116, true).SetValue(0);
    trail.WriteErrorDump();
    EXPECT_EQ(ReadWholeFile(DumpPath()), DumpHead() +
                                             "--StartBroadcast  at  <app/MainDialog.cpp>\n"
                                             "    Line  352   hresult failed == 0x80004005\n"
                                             "    Line  116   assert: m_hDlg == 0x0\n");
}

TEST_F(ErrorTrailTest, NestedFramesIndentByDepthAndLinesKeepTheirWidth) {
    ErrorTrail trail;
    trail.OpenFrame("outer", "a");
    trail.RecordEntry("pWriter", 5, true);
    trail.OpenFrame("inner", "b");
    trail.RecordEntry("pProfile", 12345, true).SetValue(0);
    trail.RecordEntry("hr", -3, true).SetValue(1);
    trail.WriteErrorDump();
    EXPECT_EQ(ReadWholeFile(DumpPath()), DumpHead() +
                                             "--outer  at  <a>\n"
                                             "    Line    5   assert: pWriter == -unknown-\n"
                                             "----inner  at  <b>\n"
                                             "      Line 12345   assert: pProfile == 0x0\n"
                                             "      Line   -3   assert: hr == 0x1\n");
}

TEST_F(ErrorTrailTest, EntryWithoutAnyFrameIsKeptInTheProgramFrame) {
    ErrorTrail trail;
    trail.CheckResult(E_FAIL, 42);
    ASSERT_EQ(trail.FrameCount(), 1u);
    trail.OpenProgramFrame();  // already there: not opened twice
    EXPECT_EQ(trail.FrameCount(), 1u);
    trail.WriteErrorDump();
    EXPECT_EQ(ReadWholeFile(DumpPath()), DumpHead() + "--lumasrv.bin  at  <" + ProgramPath() +
                                             ">\n    Line   42   hresult failed == 0x80004005\n");
}

TEST_F(ErrorTrailTest, EachDumpRewritesTheOneFile) {
    ErrorTrail trail;
    trail.OpenFrame("f", "l");
    trail.CheckResult(E_FAIL, 1);
    trail.WriteErrorDump();
    const std::string first = ReadWholeFile(DumpPath());
    trail.CheckResult(E_OUTOFMEMORY, 2);
    trail.WriteErrorDump();

    std::vector<std::string> files;
    for (const auto& item : std::filesystem::directory_iterator(folder_.Path()))
        files.push_back(item.path().filename().string());
    EXPECT_EQ(files, std::vector<std::string>{"lumasrv.log"});
    const std::string second = ReadWholeFile(DumpPath());
    EXPECT_EQ(second, first + "    Line    2   hresult failed == 0x8007000e\n");
}

TEST_F(ErrorTrailTest, UnwritableDumpIsSkippedAndTheTrailKept) {
    SetProgramPath(folder_ / "missing/folder/lumasrv.bin");
    ErrorTrail trail;
    trail.CheckResult(E_FAIL, 1);
    trail.WriteErrorDump();
    EXPECT_FALSE(std::filesystem::exists(folder_ / "missing"));
    EXPECT_EQ(trail.EntryCount(), 1u);
}

TEST_F(ErrorTrailTest, ConcurrentRecordingKeepsEveryEntry) {
    constexpr int kThreads = 8;
    constexpr int kPerThread = 2000;
    ErrorTrail trail;
    trail.OpenFrame("capture", "threads");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&trail, t] {
            for (int i = 0; i < kPerThread; ++i) {
                if (i % 2)
                    trail.CheckResult(E_FAIL, t);
                else
                    trail.RecordEntry("m_hDlg", t, true).SetValue(i);
            }
        });
    // Dumps meanwhile read the trail while it grows.
    std::thread dumper([&trail] {
        for (int i = 0; i < 20; ++i) trail.WriteErrorDump();
    });
    for (auto& thread : threads) thread.join();
    dumper.join();

    EXPECT_EQ(trail.EntryCount(), static_cast<std::size_t>(kThreads * kPerThread));
    trail.WriteErrorDump();
    const std::string dump = ReadWholeFile(DumpPath());
    std::size_t failed = 0, asserted = 0;
    for (std::size_t at = 0;
         (at = dump.find("hresult failed == 0x80004005\n", at)) != std::string::npos; ++at)
        ++failed;
    for (std::size_t at = 0; (at = dump.find("assert: m_hDlg == 0x", at)) != std::string::npos;
         ++at)
        ++asserted;
    EXPECT_EQ(failed, static_cast<std::size_t>(kThreads * kPerThread / 2));
    EXPECT_EQ(asserted, static_cast<std::size_t>(kThreads * kPerThread / 2));
}

TEST_F(ErrorTrailTest, ProcessTrailStartsWithTheProgramFrame) {
    // g_errorTrail opened its frame before this test set a program path, so
    // it names the test executable itself.
    ASSERT_GE(g_errorTrail.FrameCount(), 1u);
    const std::size_t before = g_errorTrail.EntryCount();
    EXPECT_TRUE(CheckResult(E_FAIL, 9));
    EXPECT_FALSE(CheckResult(S_OK, 10));
    RecordAssertion("pWriter", 11, 0);
    EXPECT_EQ(g_errorTrail.EntryCount(), before + 2);

    WriteErrorDump();
    const std::string dump = ReadWholeFile(DumpPath());
    EXPECT_NE(dump.find("--diag_tests  at  <"), std::string::npos);
    EXPECT_NE(dump.find("    Line    9   hresult failed == 0x80004005\n"), std::string::npos);
    EXPECT_NE(dump.find("    Line   11   assert: pWriter == 0x0\n"), std::string::npos);
}

TEST(OsVersion, DescribesDistributionAndKernel) {
    TempFolder folder{"lumadiag"};
    struct Case {
        const char* osRelease;  // null: no file
        bool haveKernel;
        std::string expected;
    };
    const OsNames kernel{"Linux", "6.1.0-13-amd64", "x86_64"};
    const std::vector<Case> cases = {
        {"PRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\nNAME=\"Debian GNU/Linux\"\n"
         "VERSION_ID=\"12\"\nVERSION=\"12 (bookworm)\"\nID=debian\n",
         true, "Debian GNU/Linux 12 (bookworm) Linux 6.1.0-13-amd64 x86_64\n"},
        {"# comment\nNAME='Fedora Linux'\nVERSION_ID=39\n", true,
         "Fedora Linux 39 Linux 6.1.0-13-amd64 x86_64\n"},
        {"ID=arch\nBUILD_ID=rolling\n", true, "arch Linux 6.1.0-13-amd64 x86_64\n"},
        {"NAME=\"Quoted \\\"name\\\"\"\nVERSION=\"1\"\n", true,
         "Quoted \"name\" 1 Linux 6.1.0-13-amd64 x86_64\n"},
        {"NAME=Debian\nVERSION=12\n", false, "Debian 12\n"},
        {"garbage without equals\n", false, ""},
        {nullptr, true, "Linux 6.1.0-13-amd64 x86_64\n"},
        {nullptr, false, ""},
    };
    const std::string path = folder / "os-release";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        std::filesystem::remove(path);
        if (c.osRelease) {
            std::FILE* file = std::fopen(path.c_str(), "w");
            ASSERT_TRUE(file);
            std::fputs(c.osRelease, file);
            std::fclose(file);
        }
        EXPECT_EQ(DescribeOsVersion(path.c_str(), c.haveKernel ? &kernel : nullptr), c.expected);
    }
}

TEST(OsVersion, DescribesThisSystem) {
    struct utsname names {};
    ASSERT_EQ(::uname(&names), 0);
    std::FILE* file = std::tmpfile();
    ASSERT_TRUE(file);
    AppendOsVersion(file);
    std::rewind(file);
    char line[1024] = {};
    ASSERT_TRUE(std::fgets(line, sizeof line, file));
    std::fclose(file);
    const std::string text = line;
    const std::string kernelPart =
        std::string(names.sysname) + " " + names.release + " " + names.machine + "\n";
    ASSERT_GE(text.size(), kernelPart.size());
    EXPECT_EQ(text.substr(text.size() - kernelPart.size()), kernelPart);
}

}  // namespace
