// The shared helpers themselves, where a fault would show up elsewhere as a
// puzzling failure: a limit or setting left behind for the next test, a port
// that is not what it claims, a command's status misread.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "diag/ProgramPath.h"
#include "tests/support/Commands.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"

namespace {

using namespace testsupport;

std::optional<std::string> Env(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
}

TEST(TempFolderTest, IsPrivateAndGoesWithEverythingInIt) {
    std::filesystem::path kept;
    {
        TempFolder a("lumasupport"), b("lumasupport");
        ASSERT_FALSE(a.Path().empty());
        EXPECT_NE(a.Path(), b.Path());
        std::filesystem::create_directories(a.Path() / "deep" / "er");
        WriteWholeFile(a / "file", std::string("with\0nul", 8));
        EXPECT_EQ(ReadWholeFile(a / "file"), std::string("with\0nul", 8));
        EXPECT_EQ(ReadWholeFile(a / "missing"), "");
        kept = a.Path();
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
}

TEST(FileSizeLimitTest, WritesFailWhileItLivesAndTheLimitComesBack) {
    TempFolder folder("lumasupport");
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &before), 0);
    {
        FileSizeLimit fullDisk(100);
        ASSERT_TRUE(fullDisk.Ok());
        // Without the signal ignored the process would die here.
        WriteWholeFile(folder / "big", std::string(1000, 'x'));
        EXPECT_EQ(std::filesystem::file_size(folder / "big"), 100u);
    }
    rlimit after{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_cur);
    WriteWholeFile(folder / "big", std::string(1000, 'x'));
    EXPECT_EQ(std::filesystem::file_size(folder / "big"), 1000u);
}

TEST(ProgramFolderTest, PointsTheProgramThereAndPutsEverythingBackAfterwards) {
    const auto stateBefore = Env("XDG_STATE_HOME");
    const std::string pathBefore = ProgramPath();
    std::filesystem::path kept;
    {
        ProgramFolder folder("lumasupport");
        kept = folder.Path();
        EXPECT_EQ(ProgramPath(), folder / "lumasrv.bin");
        EXPECT_EQ(Env("XDG_STATE_HOME"), (folder.Path() / "state").string());
        EXPECT_EQ(folder.ErrorDump(), "");
        WriteWholeFile(folder / "lumasrv.log", "dump");
        EXPECT_EQ(folder.ErrorDump(), "dump");
    }
    EXPECT_FALSE(std::filesystem::exists(kept));
    EXPECT_EQ(ProgramPath(), pathBefore);
    EXPECT_EQ(Env("XDG_STATE_HOME"), stateBefore);
}

TEST(SocketsTest, PortsAreWhatTheySay) {
    int port = 0;
    UniqueFd listener = ListenOnFreePort(&port);
    ASSERT_TRUE(listener);
    ASSERT_GT(port, 0);
    EXPECT_TRUE(AcceptsConnections(port));
    EXPECT_TRUE(WaitForPort(port, std::chrono::seconds(1)));

    // A client from another loopback address is seen from there (on a
    // listener of its own: the checks above wait in the first one's queue).
    listener = ListenOnFreePort(&port);
    ASSERT_TRUE(listener);
    UniqueFd client = ConnectLoopback(port, "127.0.0.2");
    ASSERT_TRUE(client);
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    UniqueFd accepted(accept(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &length));
    ASSERT_TRUE(accepted);
    EXPECT_EQ(ntohl(peer.sin_addr.s_addr), 0x7F000002u);
    ASSERT_TRUE(SendAll(accepted.Get(), std::string(300000, 'y')));
    accepted.Reset();

    const int unused = UnusedPort();
    EXPECT_GT(unused, 0);
    EXPECT_FALSE(AcceptsConnections(unused));
    EXPECT_FALSE(WaitForPort(unused, std::chrono::milliseconds(100)));
    EXPECT_FALSE(ConnectLoopback(unused));
    EXPECT_EQ(Fetch(unused, "GET / HTTP/1.0\r\n\r\n"), "");

    for (int i = 0; i < 20; ++i) {
        const int settingsPort = FreeTcpPort();
        EXPECT_GE(settingsPort, 1024);
        EXPECT_LE(settingsPort, 32767);
    }
}

TEST(CommandsTest, OutputAndExitStatusAsTheCommandLeftThem) {
    struct Case {
        const char* command;
        std::string output;
        int exitCode;
    };
    const Case cases[] = {
        {"printf 'a\\0b'", std::string("a\0b", 3), 0},
        {"echo out; echo err >&2; exit 3", "out\n", 3},
        {"kill -9 $$", "", -1},  // ended by a signal: no exit status
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        int exitCode = 99;
        EXPECT_EQ(RunCommand(c.command, &exitCode), c.output);
        EXPECT_EQ(exitCode, c.exitCode);
    }
    EXPECT_TRUE(HaveProgram("sh"));
    EXPECT_FALSE(HaveProgram("no-such-program-lumacast"));
}

}  // namespace
