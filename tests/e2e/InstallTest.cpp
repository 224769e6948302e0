// The program as installed: `cmake --install` into a prefix of the test's own
// gives the whole tree, and the installed program, run by a user who cannot
// write its folder, serves its page and stream while keeping the user's
// files in the user's own folder.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include "diag/ProgramPath.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/Commands.h"
#include "tests/support/Skip.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"
#include "tests/support/VirtualDisplay.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

using testsupport::Fetch;

std::set<std::string> FilesUnder(const fs::path& folder) {
    std::set<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
        names.insert(fs::relative(entry.path(), folder).string());
    }
    return names;
}

class InstallTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // Others than the owner must reach the prefix and the user's home.
        fs::permissions(folder_.Path(), fs::perms::owner_all | fs::perms::group_read |
                                            fs::perms::group_exec | fs::perms::others_read |
                                            fs::perms::others_exec);
        prefix_ = folder_.Path() / "prefix";
        home_ = folder_.Path() / "home";
        const std::string install = "cmake --install '" + std::string(LUMACAST_BUILD_DIR) +
                                    "' --prefix '" + prefix_.string() + "' > '" +
                                    (folder_.Path() / "install.log").string() + "' 2>&1";
        ASSERT_EQ(std::system(install.c_str()), 0)
            << testsupport::ReadWholeFile(folder_.Path() / "install.log");
    }

    testsupport::TempFolder folder_{"lumacast-install"};
    fs::path prefix_;
    fs::path home_;
};

TEST_F(InstallTest, TheTreeIsComplete) {
    const fs::path program = prefix_ / "lib/lumacast";
    for (const char* file :
         {"lumasrv.bin", "libwmvcore.so.9", "liblumacheck.so", "lumacheck", "fnf.html", "mna.html",
          "help/index.htm", "help/using.htm", "help/servers.htm", "help/relay.htm", "hls.min.js",
          "player.js", "icons/lumacast.svg"}) {
        EXPECT_TRUE(fs::exists(program / file)) << file;
    }
    EXPECT_EQ(fs::read_symlink(program / "lumasrv"), "lumasrv.bin");
    EXPECT_EQ(fs::canonical(prefix_ / "bin/lumasrv"), fs::canonical(program / "lumasrv.bin"));
    EXPECT_EQ(fs::canonical(prefix_ / "bin/lumacheck"), fs::canonical(program / "lumacheck"));
    EXPECT_TRUE(fs::exists(prefix_ / "share/icons/hicolor/scalable/apps/lumacast.svg"));
    const std::string entry =
        testsupport::ReadWholeFile(prefix_ / "share/applications/lumacast.desktop");
    for (const char* line : {"[Desktop Entry]\n", "Type=Application\n", "Name=Lumacast\n",
                             "Exec=lumasrv\n", "Icon=lumacast\n", "Comment="}) {
        EXPECT_NE(entry.find(line), std::string::npos) << line;
    }
    EXPECT_NE(entry.find("Categories=AudioVideo;"), std::string::npos) << entry;
    // The installed check runs from bin/ and finds the runtime beside it.
    EXPECT_EQ(std::system(
                  ("env -u DISPLAY '" + (prefix_ / "bin/lumacheck").string() + "' > /dev/null 2>&1")
                      .c_str()),
              0);
}

// The installed lumasrv answers as command-line programs do, without a
// display: --help and --version on standard output, anything it does not
// know named on standard error with exit 2; Qt's own options pass.
TEST_F(InstallTest, TheCommandLineAnswersAsCommandsDo) {
    struct Case {
        const char* arguments;
        int exitCode;
        const char* said;
    };
    const Case cases[] = {
        {"--help", 0, "Usage: lumasrv [--headless | --viewer-password | --help | --version]"},
        {"-h", 0, "  --headless         broadcast without a window"},
        {"--version", 0, "lumasrv (Lumacast) " LUMACAST_VERSION "\n"},
        {"-platform offscreen --version", 0, "lumasrv (Lumacast) "},
        {"--style=fusion --help", 0, "Usage: lumasrv"},
        {"--bogus", 2, "lumasrv: unknown option '--bogus'\nTry 'lumasrv --help'.\n"},
        {"--headless --bogus", 2, "lumasrv: unknown option '--bogus'"},
        {"stray.wma", 2, "lumasrv: unknown argument 'stray.wma'"},
        {"-platform", 2, "lumasrv: -platform needs a value"},
    };
    const std::string binary = (prefix_ / "bin/lumasrv").string();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments);
        int exitCode = -1;
        const std::string out = testsupport::RunCommand(
            "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" + binary + "' " + c.arguments +
                (c.exitCode == 0 ? " 2>/dev/null" : " 2>&1 >/dev/null"),
            &exitCode);
        EXPECT_EQ(exitCode, c.exitCode);
        EXPECT_NE(out.find(c.said), std::string::npos) << out;
    }
}

// The systemd user unit runs the installed lumasrv --headless and passes
// systemd's own check (its command and its manual page are found); the
// manual pages format without a warning and name every option --help does.
TEST_F(InstallTest, TheServiceUnitAndTheManualPagesHoldUp) {
    const fs::path unit = prefix_ / "lib/systemd/user/lumacast.service";
    const std::string text = testsupport::ReadWholeFile(unit);
    for (const std::string& line :
         {"ExecStart=" + (prefix_ / "bin/lumasrv").string() + " --headless\n",
          std::string("Restart=on-failure\n"), std::string("KillSignal=SIGTERM\n"),
          std::string("WantedBy=default.target\n")})
        EXPECT_NE(text.find(line), std::string::npos) << line << text;
    if (!testsupport::HaveProgram("systemd-analyze") || !testsupport::HaveProgram("man"))
        LUMACAST_SKIP() << "systemd-analyze or man is not installed";
    const fs::path runtime = folder_.Path() / "runtime";
    fs::create_directories(runtime);
    fs::permissions(runtime, fs::perms::owner_all);
    int exitCode = -1;
    const std::string verified = testsupport::RunCommand(
        "XDG_RUNTIME_DIR='" + runtime.string() + "' MANPATH='" + (prefix_ / "share/man").string() +
            "' systemd-analyze --user verify '" + unit.string() + "' 2>&1",
        &exitCode);
    EXPECT_EQ(exitCode, 0) << verified;
    EXPECT_EQ(verified, "");

    const std::string help =
        testsupport::RunCommand("'" + (prefix_ / "bin/lumasrv").string() + "' --help");
    for (const char* page : {"lumasrv.1.gz", "lumacheck.1.gz"}) {
        SCOPED_TRACE(page);
        const std::string path = (prefix_ / "share/man/man1" / page).string();
        const std::string warnings =
            testsupport::RunCommand("MANWIDTH=80 man --warnings -l '" + path + "' 2>&1 >/dev/null");
        EXPECT_EQ(warnings, "");
        const std::string shown = testsupport::RunCommand(
            "MANWIDTH=200 MAN_KEEP_FORMATTING=0 man -l '" + path + "' 2>/dev/null | col -b");
        EXPECT_NE(shown.find("NAME"), std::string::npos) << shown;
        if (std::string(page) != "lumasrv.1.gz") continue;
        for (const char* option : {"--headless", "--viewer-password", "--help", "--version"}) {
            EXPECT_NE(help.find(option), std::string::npos) << option;
            EXPECT_NE(shown.find(option), std::string::npos) << option << " is not in the manual";
        }
    }
}

// Started from bin/ by a user who cannot write the installed folder (nobody,
// when the test runs as root; otherwise the folder is made read-only).
TEST_F(InstallTest, InstalledProgramKeepsTheUsersFilesInTheirFolder) {
    const bool root = ::geteuid() == 0;
    const fs::path program = prefix_ / "lib/lumacast";
    const fs::path userFolder = home_ / ".config/lumacast";
    fs::create_directories(userFolder);
    fs::create_directories(folder_.Path() / "state");

    // The user's settings: the first camera and microphone (the test devices
    // alone), free ports.
    SetProgramPath((userFolder / "lumasrv.bin").string());
    g_settings = AppSettings{};
    g_settings.httpPort = testsupport::FreeTcpPort();
    g_settings.asfPort = testsupport::FreeTcpPort();
    ASSERT_TRUE(SaveConfig());
    SetProgramPath("");
    if (root) {
        for (const auto& path : {home_, home_ / ".config", userFolder, userFolder / "lumasrv.cfg",
                                 folder_.Path() / "state"}) {
            ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0) << path;
        }
    } else {
        ::chmod(program.c_str(), 0555);
    }
    const std::set<std::string> installed = FilesUnder(program);

    const std::string binary = (prefix_ / "bin/lumasrv").string();
    std::vector<std::string> argv = {binary, "--headless"};
    if (root) {
        argv.insert(argv.begin(), {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    std::vector<std::string> environment = {"HOME=" + home_.string(),
                                            "XDG_STATE_HOME=" + (folder_.Path() / "state").string(),
                                            "LUMACAST_FAKE_DEVICES=only", "PATH=/usr/bin:/bin"};
    std::vector<char*> args, envp;
    for (auto& arg : argv) args.push_back(arg.data());
    args.push_back(nullptr);
    for (auto& variable : environment) envp.push_back(variable.data());
    envp.push_back(nullptr);

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    UniqueFd reader(out[0]);
    std::string output;
    char buffer[1024];
    while (output.find("/MyFile.wma\n") == std::string::npos) {
        pollfd event{reader.Get(), POLLIN, 0};
        if (::poll(&event, 1, 30000) <= 0) break;
        const ssize_t got = ::read(reader.Get(), buffer, sizeof buffer);
        if (got <= 0) break;
        output.append(buffer, static_cast<std::size_t>(got));
    }
    ASSERT_NE(output.find("/MyFile.wma\n"), std::string::npos) << output;

    const std::string page = Fetch(g_settings.httpPort, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(page.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << page;
    EXPECT_NE(page.find("/MyFile.wma"), std::string::npos);
    EXPECT_NE(Fetch(g_settings.httpPort, "GET /lumasrv.cfg HTTP/1.0\r\n\r\n").find(" 404 "),
              std::string::npos);
    const std::string missing = Fetch(g_settings.httpPort, "GET /nothing.htm HTTP/1.0\r\n\r\n");
    EXPECT_NE(missing.find(testsupport::ReadWholeFile(program / "fnf.html").substr(0, 40)),
              std::string::npos)
        << "the status page answers from the user's folder: " << missing;

    const std::string probe =
        "timeout 30 ffprobe -v error -show_entries stream=codec_type -of csv=p=0 "
        "'http://127.0.0.1:" +
        std::to_string(g_settings.asfPort) + "/MyFile.wma' < /dev/null 2>&1";
    const std::string streams = testsupport::RunCommand(probe);
    EXPECT_NE(streams.find("video"), std::string::npos) << streams;
    EXPECT_NE(streams.find("audio"), std::string::npos) << streams;

    ::kill(pid, SIGTERM);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

    EXPECT_TRUE(fs::exists(userFolder / "index.htm"));
    EXPECT_TRUE(fs::exists(userFolder / "caplib.txt"));
    EXPECT_TRUE(fs::exists(userFolder / "fnf.html"));
    // The page's player and hls.js come from the web server, whose root is
    // here.
    EXPECT_TRUE(fs::exists(userFolder / "player.js"));
    EXPECT_TRUE(fs::exists(userFolder / "hls.min.js"));
    EXPECT_EQ(FilesUnder(program), installed) << "nothing is written into the installed folder";
    if (!root) ::chmod(program.c_str(), 0755);
}

}  // namespace
