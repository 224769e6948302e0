// The desktop program end to end, as a user drives it: started on an X
// server of the test's own with a window manager, its Start button clicked
// through the X server, the stream read by ffprobe and the page written, and
// the window's close box ending the program with exit code 0.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>

#include "diag/ProgramPath.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/Commands.h"
#include "tests/support/GuiTest.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"
#include "tests/support/VirtualDisplay.h"
#include "ui/toolkit/DialogBuilder.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

struct Geometry {
    int x = 0, y = 0, width = 0, height = 0;
};

// The window's place on the screen from xwininfo (xdotool counts the window
// manager's frame twice).
bool ParseGeometry(const std::string& info, Geometry* geometry) {
    std::smatch match;
    auto field = [&](const char* name, int* value) {
        const std::regex pattern(std::string(name) + ":\\s+(-?[0-9]+)");
        if (!std::regex_search(info, match, pattern)) return false;
        *value = std::stoi(match[1]);
        return true;
    };
    return field("Absolute upper-left X", &geometry->x) &&
           field("Absolute upper-left Y", &geometry->y) && field("Width", &geometry->width) &&
           field("Height", &geometry->height);
}

class DesktopProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApplication();  // the dialog font, to find the buttons
        const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
        ASSERT_TRUE(staged && fs::exists(fs::path(staged) / "lumasrv.bin"));
        program_ = folder_.Path() / "program";
        fs::copy(staged, program_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
        fs::create_directories(folder_.Path() / "state");
        setenv("XDG_STATE_HOME", (folder_.Path() / "state").c_str(), 1);
        setenv("LUMACAST_FAKE_DEVICES", "1", 1);

        // The test devices on free ports, saved the way the program saves them.
        SetProgramPath((program_ / "lumasrv.bin").string());
        g_settings = AppSettings{};
        ASSERT_TRUE(testsupport::ChooseTestDevices(g_settings));
        g_settings.httpPort = testsupport::FreeTcpPort();
        g_settings.asfPort = testsupport::FreeTcpPort();
        g_settings.videoFramesPerSecond = 10;
        g_settings.mainWindowLeft = 40;
        g_settings.mainWindowTop = 60;
        ASSERT_TRUE(SaveConfig());
        SetProgramPath("");
    }

    void TearDown() override {
        if (pid_ > 0) testsupport::StopProcess(pid_);
    }

    void Launch(const testsupport::VirtualDisplay& display) {
        const std::string path = (program_ / "lumasrv").string();
        const std::string displayVariable = "DISPLAY=" + display.Display();
        std::vector<std::string> environment;
        for (char** variable = environ; *variable; ++variable) {
            const std::string entry = *variable;
            if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("QT_QPA_PLATFORM=", 0) == 0) {
                continue;
            }
            environment.push_back(entry);
        }
        environment.push_back(displayVariable);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, program_.c_str());
        ASSERT_EQ(posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
    }

    // Starts the program and waits for its main window; the window's id, or
    // empty when none appeared.
    std::string LaunchAndFindWindow(const testsupport::VirtualDisplay& display) {
        Launch(display);
        std::string found;
        if (display.Run("timeout 30 xdotool search --sync --onlyvisible --name '^Lumacast!$'",
                        &found) != 0) {
            return {};
        }
        return found.substr(0, found.find('\n'));
    }

    // Waits for the program to end; its exit status, or -1.
    int WaitForExit(std::chrono::seconds limit) {
        const auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return -1;
    }

    testsupport::TempFolder folder_{"lumadesktop-e2e"};
    fs::path program_;
    pid_t pid_ = -1;
};

TEST_F(DesktopProgramTest, StartButtonBroadcastsAndTheCloseBoxEndsTheProgram) {
    testsupport::VirtualDisplay::Options options;
    options.windowManager = true;
    testsupport::VirtualDisplay display(options);
    if (!display.Ok()) GTEST_SKIP() << "no X server for the desktop program: " << display.Error();
    ASSERT_EQ(display.Error(), "");

    const std::string window = LaunchAndFindWindow(display);
    ASSERT_NE(window, "") << "the main window did not appear";
    std::string info;
    ASSERT_EQ(display.Run("xwininfo -id " + window, &info), 0);
    Geometry geometry;
    ASSERT_TRUE(ParseGeometry(info, &geometry)) << info;

    // The Start button: the toolbar's first button, below the menu bar.
    const DialogUnits units(QApplication::font());
    const int menuHeight = geometry.height - units.ToPixelsY(161);
    const int startX = geometry.x + units.ToPixelsX(3 + 27 / 2);
    const int startY = geometry.y + menuHeight + units.ToPixelsY(12);
    ASSERT_EQ(display.Run("xdotool mousemove " + std::to_string(startX) + " " +
                          std::to_string(startY) + " click 1"),
              0);

    const fs::path page = program_ / "index.htm";
    ASSERT_TRUE(testsupport::WaitFor([&] { return fs::exists(page); }, std::chrono::seconds(20)))
        << "no broadcast started: index.htm was not written";
    std::smatch match;
    const std::string text = testsupport::ReadWholeFile(page);
    ASSERT_TRUE(std::regex_search(text, match, std::regex("(http://[^\"]+)/MyFile.wma")));
    int exitCode = -1;
    const std::string probe =
        testsupport::RunCommand("ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" +
                                    match[1].str() + "/MyFile.wma' < /dev/null",
                                &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(probe.find("video"), std::string::npos) << probe;
    EXPECT_NE(probe.find("audio"), std::string::npos) << probe;

    // scripts/screenshot keeps the picture of the window for the README.
    if (const char* shots = std::getenv("LUMACAST_SCREENSHOT_DIR")) {
        display.Run("xdotool mousemove 0 0");  // the pointer out of the picture
        // The window manager's frame is the window's parent.
        std::string tree, frameInfo;
        std::smatch parent;
        Geometry frame;
        if (display.Run("xwininfo -tree -id " + window, &tree) == 0 &&
            std::regex_search(tree, parent, std::regex("Parent window id: (0x[0-9a-f]+)")) &&
            display.Run("xwininfo -id " + parent[1].str(), &frameInfo) == 0 &&
            ParseGeometry(frameInfo, &frame)) {
            EXPECT_TRUE(display.Screenshot(std::string(shots) + "/main-window.png", frame.x,
                                           frame.y, frame.width, frame.height));
        }
    }

    // The close box sits at the right end of the window manager's title bar.
    ASSERT_EQ(display.Run("xdotool mousemove " + std::to_string(geometry.x + geometry.width - 10) +
                          " " + std::to_string(geometry.y - 10) + " click 1"),
              0);
    EXPECT_EQ(WaitForExit(std::chrono::seconds(20)), 0);
}

// With a tray, minimising hides the window completely; a double click on the
// program's icon in the tray brings it back.
TEST_F(DesktopProgramTest, MinimisedItLivesInTheTrayUntilTheIconIsDoubleClicked) {
    testsupport::VirtualDisplay::Options options;
    options.windowManager = true;
    options.trayHost = true;
    testsupport::VirtualDisplay display(options);
    if (!display.Ok()) GTEST_SKIP() << "no X server for the desktop program: " << display.Error();
    ASSERT_EQ(display.Error(), "");

    const std::string window = LaunchAndFindWindow(display);
    ASSERT_NE(window, "") << "the main window did not appear";
    auto mapState = [&] {
        std::string info;
        display.Run("xwininfo -id " + window, &info);
        std::smatch match;
        return std::regex_search(info, match, std::regex("Map State: (\\w+)")) ? match[1].str()
                                                                               : std::string();
    };
    // The icon: the program's window embedded in the tray host's panel.
    std::string icon;
    ASSERT_TRUE(testsupport::WaitFor(
        [&] {
            std::string tree;
            display.Run("xwininfo -root -tree", &tree);
            const std::size_t panel = tree.find("(\"panel\" \"trayer\")");
            if (panel == std::string::npos) return false;
            std::smatch match;
            const std::string below = tree.substr(panel);
            if (!std::regex_search(below, match,
                                   std::regex("(0x[0-9a-f]+) \"[^\"]*\": \\(\"lumasrv\""))) {
                return false;
            }
            icon = match[1].str();
            return true;
        },
        std::chrono::seconds(20)))
        << "the program's icon did not dock";

    ASSERT_EQ(display.Run("xdotool windowminimize --sync " + window), 0);
    EXPECT_TRUE(
        testsupport::WaitFor([&] { return mapState() == "IsUnMapped"; }, std::chrono::seconds(10)));
    std::string state;
    display.Run("xprop -id " + window + " WM_STATE", &state);
    EXPECT_EQ(state.find("Iconic"), std::string::npos) << "hidden, not iconified: " << state;

    std::string info;
    display.Run("xwininfo -id " + icon, &info);
    Geometry geometry;
    ASSERT_TRUE(ParseGeometry(info, &geometry)) << info;
    display.Run("xdotool mousemove " + std::to_string(geometry.x + geometry.width / 2) + " " +
                std::to_string(geometry.y + geometry.height / 2) +
                " click --repeat 2 --delay 120 1");
    EXPECT_TRUE(
        testsupport::WaitFor([&] { return mapState() == "IsViewable"; }, std::chrono::seconds(10)))
        << "the double click did not bring the window back";
}

TEST_F(DesktopProgramTest, WithoutADisplayItNamesTheHeadlessProgram) {
    const std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM '" +
                                (program_ / "lumasrv").string() + "' 2>&1";
    int exitCode = -1;
    const std::string output = testsupport::RunCommand(command, &exitCode);
    EXPECT_EQ(exitCode, 1);
    EXPECT_NE(output.find("--headless"), std::string::npos) << output;
    EXPECT_EQ(std::count(output.begin(), output.end(), '\n'), 1) << output;
}

}  // namespace
