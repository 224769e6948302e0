// The desktop program end to end, as a user drives it: started on a desktop
// of the test's own (an X server with a window manager, or a Wayland
// compositor with XWayland), clicked and typed at through the screen with
// xdotool, and looked at as the user sees it: the window manager's stacking
// order, the active window and screenshots of the whole screen. The stream
// is read by ffprobe and a remote broadcaster is lumastream.

#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>

#include <QApplication>
#include <QImage>
#include <QLibraryInfo>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "diag/ProgramPath.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "settings/ServerList.h"
#include "tests/support/Commands.h"
#include "tests/support/Desktops.h"
#include "tests/support/GuiTest.h"
#include "tests/support/Processes.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"
#include "tests/support/TestStream.h"
#include "tests/support/VirtualDisplay.h"
#include "ui/Templates.h"
#include "ui/toolkit/DialogBuilder.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;
using testsupport::ScreenRect;
using testsupport::WaitFor;

// Where the screenshots go when scripts/screenshot asks for them.
std::string ScreenshotPath(const std::string& name) {
    const char* folder = std::getenv("LUMACAST_SCREENSHOT_DIR");
    return folder ? std::string(folder) + "/" + name : std::string();
}

// Mean of each colour channel over a rectangle of an image.
struct Colour {
    double red = 0, green = 0, blue = 0;
};
Colour MeanColour(const QImage& image, const QRect& area) {
    Colour mean;
    int count = 0;
    const QRect inside = area.intersected(image.rect());
    for (int y = inside.top(); y <= inside.bottom(); ++y) {
        for (int x = inside.left(); x <= inside.right(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            mean.red += qRed(pixel);
            mean.green += qGreen(pixel);
            mean.blue += qBlue(pixel);
            ++count;
        }
    }
    if (count > 0) mean = {mean.red / count, mean.green / count, mean.blue / count};
    return mean;
}

// The desktop a test drives: the X display the program's windows are on,
// and the screen, where input goes in and screenshots come from. On an X
// server they are one; in a Wayland session the windows are XWayland's and
// the screen is the compositor's output.
class Desk {
  public:
    Desk(const testsupport::VirtualDisplay& screen, std::string windows)
        : screen_(screen), windows_(std::move(windows)) {}

    const std::string& Windows() const { return windows_; }

    // A command against the program's X display.
    int Query(const std::string& command, std::string* output = nullptr) const {
        int exitCode = -1;
        const std::string printed =
            testsupport::RunCommand("DISPLAY=" + windows_ + " " + command, &exitCode);
        if (output) *output = printed;
        return exitCode;
    }
    // xdotool input through the screen, while the test's own application
    // keeps answering.
    void Input(const std::string& arguments) const {
        screen_.Run("xdotool " + arguments);
        testsupport::ProcessEventsFor(200ms);
    }
    void Click(int x, int y, const std::string& click = "click 1") const {
        Input("mousemove " + std::to_string(x) + " " + std::to_string(y) + " " + click);
    }

    // The visible window whose title matches, as a number; 0 when none came.
    unsigned long FindWindow(const std::string& title, int seconds = 30) const {
        std::string found;
        if (Query("timeout " + std::to_string(seconds) +
                      " xdotool search --sync --onlyvisible --name '" + title + "'",
                  &found) != 0) {
            return 0;
        }
        return std::strtoul(found.c_str(), nullptr, 10);
    }
    // The same once it also has the focus, so that what is typed next goes
    // there; 0 when it did not come or did not get the focus.
    unsigned long FindFocusedWindow(const std::string& title) const {
        const unsigned long window = FindWindow(title);
        if (window == 0 || !WaitFor([&] { return ActiveWindow() == window; }, 10s)) return 0;
        return window;
    }
    static std::string Id(unsigned long window) { return std::to_string(window); }

    ScreenRect Rect(unsigned long window) const {
        ScreenRect rect;
        testsupport::WindowRectOn(windows_, Id(window), &rect);
        return rect;
    }
    // The window with the frame the window manager put around it.
    ScreenRect FrameRect(unsigned long window) const {
        std::string tree;
        std::smatch parent;
        ScreenRect rect = Rect(window);
        if (Query("xwininfo -tree -id " + Id(window), &tree) == 0 &&
            std::regex_search(tree, parent, std::regex("Parent window id: (0x[0-9a-f]+)"))) {
            testsupport::WindowRectOn(windows_, parent[1].str(), &rect);
        }
        return rect;
    }
    bool Mapped(unsigned long window) const {
        std::string info;
        Query("xwininfo -id " + Id(window), &info);
        return info.find("Map State: IsViewable") != std::string::npos;
    }
    // The window manager's stacking order, lowest first, and its active
    // window.
    std::vector<unsigned long> Stacking() const { return RootWindows("_NET_CLIENT_LIST_STACKING"); }
    unsigned long ActiveWindow() const {
        const std::vector<unsigned long> active = RootWindows("_NET_ACTIVE_WINDOW");
        return active.empty() ? 0 : active.front();
    }
    // The top-level windows of the X server, topmost first (xwininfo lists
    // them so): the stacking where the window manager keeps no list.
    std::vector<unsigned long> TopLevels() const {
        std::string children;
        Query("xwininfo -root -children", &children);
        std::vector<unsigned long> windows;
        const std::regex window("^\\s+(0x[0-9a-f]+) ");
        std::istringstream lines(children);
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (std::regex_search(line, match, window))
                windows.push_back(std::stoul(match[1].str(), nullptr, 16));
        }
        return windows;
    }

    // A popup menu is up on the screen: a window that the window manager
    // leaves alone, as menus and tooltips are, and no tooltip.
    bool MenuShown() const {
        std::string children;
        Query("xwininfo -root -children", &children);
        const std::regex window("^\\s+(0x[0-9a-f]+) ");
        std::istringstream lines(children);
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (!std::regex_search(line, match, window)) continue;
            std::string info, type;
            Query("xwininfo -id " + match[1].str(), &info);
            const ScreenRect rect = Rect(std::stoul(match[1].str(), nullptr, 16));
            if (info.find("IsViewable") == std::string::npos ||
                info.find("Override Redirect State: yes") == std::string::npos || rect.width < 30 ||
                rect.height < 30) {
                continue;
            }
            Query("xprop -id " + match[1].str() + " _NET_WM_WINDOW_TYPE", &type);
            if (type.find("TOOLTIP") == std::string::npos) return true;
        }
        return false;
    }

    // The screen as it is now.
    QImage Screen() const {
        const testsupport::TempFolder folder("lumadesk");
        const std::string path = folder / "screen.png";
        if (!screen_.Screenshot(path)) return QImage();
        return QImage(QString::fromStdString(path));
    }
    // A picture of a rectangle of the screen for scripts/screenshot.
    void Keep(const std::string& name, const ScreenRect& rect) const {
        const std::string path = ScreenshotPath(name);
        if (path.empty()) return;
        Input("mousemove 0 0");  // the pointer out of the picture
        EXPECT_TRUE(screen_.Screenshot(path, rect.x, rect.y, rect.width, rect.height)) << path;
    }

  private:
    std::vector<unsigned long> RootWindows(const std::string& property) const {
        std::string text;
        Query("xprop -root " + property, &text);
        std::vector<unsigned long> windows;
        const std::regex window("0x[0-9a-f]+");
        for (auto it = std::sregex_iterator(text.begin(), text.end(), window);
             it != std::sregex_iterator(); ++it) {
            windows.push_back(std::stoul(it->str(), nullptr, 16));
        }
        return windows;
    }

    const testsupport::VirtualDisplay& screen_;
    std::string windows_;
};

// The frame of window that holds it: the top-level window of the X server.
unsigned long TopLevelOf(const Desk& desk, unsigned long window) {
    for (;;) {
        std::string tree;
        std::smatch match;
        if (desk.Query("xwininfo -tree -id " + Desk::Id(window), &tree) != 0 ||
            !std::regex_search(tree, match, std::regex("Root window id: (0x[0-9a-f]+)"))) {
            return window;
        }
        const unsigned long root = std::stoul(match[1].str(), nullptr, 16);
        if (!std::regex_search(tree, match, std::regex("Parent window id: (0x[0-9a-f]+)")))
            return window;
        const unsigned long parent = std::stoul(match[1].str(), nullptr, 16);
        if (parent == root) return window;
        window = parent;
    }
}

class DesktopProgramTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testsupport::EnsureApplication();  // the dialog font, to find the buttons
        program_ = testsupport::CopyStagedProgram(folder_.Path());
        ASSERT_FALSE(program_.empty()) << "the staged program folder is missing";
        setenv("LUMACAST_FAKE_DEVICES", "1", 1);

        // The test devices on free ports.
        g_settings = AppSettings{};
        ASSERT_TRUE(testsupport::ChooseTestDevices(g_settings));
        g_settings.httpPort = testsupport::FreeTcpPort();
        g_settings.asfPort = testsupport::FreeTcpPort();
        g_settings.videoFramesPerSecond = 10;
        g_settings.mainWindowLeft = 40;
        g_settings.mainWindowTop = 60;
        SaveSettings();
    }

    void TearDown() override {
        if (pid_ > 0) testsupport::StopProcess(pid_);
        SetProgramPath("");
    }

    // Saves g_settings the way the program saves them.
    void SaveSettings() {
        SetProgramPath((program_ / "lumasrv.bin").string());
        ASSERT_TRUE(SaveConfig());
        SetProgramPath("");
    }

    // The servers list of the Servers dialog: one entry for address.
    void ListServer(const std::string& name, const std::string& address) {
        ServerList list(1);
        ASSERT_EQ(MakeServerEntry(name, address, &list.front()), ServerEntryCheck::kOk);
        ASSERT_TRUE(SaveServerListFile((program_ / "srvlist.cfg").string(), list));
    }

    // Starts the program with these variables ("NAME=value") in place of the
    // display's, the platform's and the session bus's of the test.
    void Launch(const std::vector<std::string>& variables) {
        const std::string path = (program_ / "lumasrv").string();
        std::vector<std::string> dropped = {"DISPLAY=", "QT_QPA_PLATFORM=", "WAYLAND_DISPLAY=",
                                            "DBUS_SESSION_BUS_ADDRESS=", "XDG_SESSION_TYPE="};
        for (const std::string& variable : variables) {
            dropped.push_back(variable.substr(0, variable.find('=') + 1));
        }
        std::vector<std::string> environment;
        for (char** variable = environ; *variable; ++variable) {
            const std::string entry = *variable;
            bool replaced = false;
            for (const std::string& name : dropped) {
                if (entry.rfind(name, 0) == 0) replaced = true;
            }
            if (!replaced) environment.push_back(entry);
        }
        environment.insert(environment.end(), variables.begin(), variables.end());
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
    bool Running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }

    // The centre of a toolbar button of the main window, by its x in dialog
    // units: below the menu bar, which takes what the client area leaves.
    static std::pair<int, int> ToolbarButton(const ScreenRect& window, int unitsX) {
        const DialogUnits units(QApplication::font());
        const int menuHeight =
            window.height - units.ToPixelsY(FindDialogTemplate(kMainDialogId)->height);
        return {window.x + units.ToPixelsX(unitsX + 27 / 2),
                window.y + menuHeight + units.ToPixelsY(12)};
    }
    static constexpr int kStartButtonX = 3;
    static constexpr int kSetupButtonX = 63;
    static constexpr int kConnectButtonX = 93;
    static constexpr int kHelpButtonX = 258;

    // Starts broadcasting with the Start button; the stream's address once
    // ffprobe read video and audio from it.
    void StartBroadcastWithTheButton(const Desk& desk, unsigned long window) {
        const auto [x, y] = ToolbarButton(desk.Rect(window), kStartButtonX);
        desk.Click(x, y);
        const fs::path page = program_ / "index.htm";
        ASSERT_TRUE(WaitFor([&] { return fs::exists(page); }, 20s))
            << "no broadcast started: index.htm was not written";
        std::smatch match;
        const std::string text = testsupport::ReadWholeFile(page);
        ASSERT_TRUE(std::regex_search(text, match, std::regex("(http://[^\"]+)/MyFile.wma")));
        int exitCode = -1;
        const std::string probe = testsupport::RunCommand(
            "ffprobe -v error -show_entries stream=codec_type -of csv=p=0 '" + match[1].str() +
                "/MyFile.wma' < /dev/null",
            &exitCode);
        EXPECT_EQ(exitCode, 0);
        EXPECT_NE(probe.find("video"), std::string::npos) << probe;
        EXPECT_NE(probe.find("audio"), std::string::npos) << probe;
    }

    // Opens the Servers dialog from the toolbar and connects to its first
    // entry by keyboard (Home selects it, Enter presses Connect); the player
    // window, which is to come up in front of the dialog and the main window
    // with the focus and show the remote picture. Its strip's Stop then
    // takes effect on the screen while the Servers dialog stays open.
    unsigned long ConnectAndWatch(const Desk& desk, unsigned long window, const std::string& title,
                                  const std::function<bool(unsigned long)>& onTop,
                                  const std::string& picture) {
        const auto [x, y] = ToolbarButton(desk.Rect(window), kConnectButtonX);
        desk.Click(x, y);
        const unsigned long servers = desk.FindFocusedWindow("^Servers$");
        EXPECT_NE(servers, 0u) << "the Servers dialog did not open";
        if (servers == 0) return 0;
        desk.Input("key Home Return");
        const unsigned long player = desk.FindWindow(title);
        EXPECT_NE(player, 0u) << "no player window";
        if (player == 0) return 0;
        EXPECT_TRUE(WaitFor([&] { return onTop(player); }, 10s))
            << "the player window is not in front";
        EXPECT_TRUE(WaitFor([&] { return desk.ActiveWindow() == player; }, 10s))
            << "the player window does not have the focus";

        // The stream's picture has blue in its lower left quarter; on the
        // screen it is there, above whatever lies behind the player.
        const ScreenRect client = desk.Rect(player);
        const int videoHeight = client.height - 26;  // the strip below the picture
        const QRect lowerLeft(client.x + client.width / 10, client.y + videoHeight * 6 / 10,
                              client.width / 4, videoHeight / 4);
        EXPECT_TRUE(WaitFor(
            [&] {
                const Colour seen = MeanColour(desk.Screen(), lowerLeft);
                return seen.blue > 150 && seen.green < 80;
            },
            60s))
            << "the remote picture is not on the screen";
        // The main window, the Servers dialog and the player in front.
        const ScreenRect main = desk.FrameRect(window);
        const ScreenRect shown = desk.FrameRect(player);
        const int right = std::max(main.x + main.width, shown.x + shown.width);
        const int bottom = std::max(main.y + main.height, shown.y + shown.height);
        const int left = std::min(main.x, shown.x), top = std::min(main.y, shown.y);
        desk.Keep(picture, {left, top, right - left, bottom - top});

        // Stop, the strip's second button: the picture goes black.
        desk.Click(client.x + 38, client.y + client.height - 11);
        EXPECT_TRUE(WaitFor(
            [&] {
                const Colour seen = MeanColour(desk.Screen(), lowerLeft);
                return seen.red < 20 && seen.green < 20 && seen.blue < 20;
            },
            20s))
            << "the player's Stop did not take effect";
        EXPECT_TRUE(desk.Mapped(servers)) << "the Servers dialog went away";
        return player;
    }

    testsupport::TempFolder folder_{"lumadesktop-e2e"};
    fs::path program_;
    pid_t pid_ = -1;
};

TEST_F(DesktopProgramTest, StartButtonBroadcastsAndTheCloseBoxEndsTheProgram) {
    testsupport::VirtualDisplay::Options options;
    options.windowManager = true;
    testsupport::VirtualDisplay display(options);
    if (!display.Ok())
        LUMACAST_SKIP() << "no X server for the desktop program: " << display.Error();
    ASSERT_EQ(display.Error(), "");
    const Desk desk(display, display.Display());

    Launch({"DISPLAY=" + display.Display()});
    const unsigned long window = desk.FindFocusedWindow("^Lumacast!$");
    ASSERT_NE(window, 0u) << "the main window did not appear";
    StartBroadcastWithTheButton(desk, window);
    // scripts/screenshot keeps the picture of the window for the README.
    desk.Keep("main-window.png", desk.FrameRect(window));

    // The close box sits at the right end of the window manager's title bar.
    const ScreenRect geometry = desk.Rect(window);
    desk.Click(geometry.x + geometry.width - 10, geometry.y - 10);
    EXPECT_EQ(WaitForExit(20s), 0);
}

// Minimised, the window lives only as its tray icon, and how it comes back
// depends on the kind of tray. An XEmbed tray (trayer) passes every click
// on: a double click brings the window back, one click or a middle click
// does not. A StatusNotifierItem host (Xfce's panel) reports any click as an
// activation, which brings it back; its middle click does not. On both the
// icon's menu restores the window, and its Exit ends the program as the
// main menu's does, with the save prompt, which neither Escape nor the
// window manager's close answers.
TEST_F(DesktopProgramTest, MinimisedItLivesInTheTrayUntilTheIconBringsItBack) {
    enum class Gesture { kClick, kMiddleClick, kDoubleClick, kMenuRestore };
    struct Row {
        Gesture gesture;
        const char* name;
        bool restores;
    };
    struct Host {
        const char* name;
        bool statusNotifier;
        std::vector<Row> rows;  // those that leave the window hidden first
    };
    const Host hosts[] = {
        {"XEmbed tray",
         false,
         {{Gesture::kClick, "a click", false},
          {Gesture::kMiddleClick, "a middle click", false},
          {Gesture::kDoubleClick, "a double click", true},
          {Gesture::kMenuRestore, "the menu's Restore", true}}},
        {"StatusNotifierItem host",
         true,
         {{Gesture::kMiddleClick, "a middle click", false},
          {Gesture::kClick, "a click", true},
          {Gesture::kDoubleClick, "a double click", true},
          {Gesture::kMenuRestore, "the menu's Restore", true}}},
    };
    for (const Host& host : hosts) {
        SCOPED_TRACE(host.name);
        testsupport::VirtualDisplay::Options options;
        options.windowManager = true;
        options.trayHost = !host.statusNotifier;
        testsupport::VirtualDisplay display(options);
        if (!display.Ok()) LUMACAST_SKIP() << "no X server: " << display.Error();
        ASSERT_EQ(display.Error(), "");
        std::unique_ptr<testsupport::StatusNotifierPanel> panel;
        if (host.statusNotifier) {
            panel = std::make_unique<testsupport::StatusNotifierPanel>(display.Display());
            ASSERT_TRUE(panel->Ok()) << panel->Error();
        }
        const Desk desk(display, display.Display());
        std::vector<std::string> variables = {"DISPLAY=" + display.Display()};
        if (panel) variables.push_back("DBUS_SESSION_BUS_ADDRESS=" + panel->BusAddress());
        Launch(variables);
        const unsigned long window = desk.FindFocusedWindow("^Lumacast!$");
        ASSERT_NE(window, 0u) << "the main window did not appear";

        // The icon: the program's window docked in trayer's panel, or the
        // program's item registered with the panel's watcher.
        ScreenRect icon;
        ASSERT_TRUE(WaitFor(
            [&] {
                if (panel) return panel->RegisteredItems().size() == 1 && panel->IconArea(&icon);
                std::string tree;
                desk.Query("xwininfo -root -tree", &tree);
                const std::size_t tray = tree.find("(\"panel\" \"trayer\")");
                std::smatch match;
                const std::string below = tray == std::string::npos ? "" : tree.substr(tray);
                return std::regex_search(below, match,
                                         std::regex("(0x[0-9a-f]+) \"[^\"]*\": \\(\"lumasrv\"")) &&
                       testsupport::WindowRectOn(display.Display(), match[1].str(), &icon);
            },
            20s))
            << "the program's icon did not come";

        // The configuration changes (Options, OK by Enter), so that Exit asks.
        desk.Input("key alt+m");
        desk.Input("key Down Down Down Return");
        ASSERT_NE(desk.FindFocusedWindow("^Options$"), 0u);
        desk.Input("key Return");

        for (const Row& row : host.rows) {
            SCOPED_TRACE(row.name);
            if (desk.Mapped(window)) {
                desk.Input("windowminimize --sync " + Desk::Id(window));
                ASSERT_TRUE(WaitFor([&] { return !desk.Mapped(window); }, 10s));
                std::string state;
                desk.Query("xprop -id " + Desk::Id(window) + " WM_STATE", &state);
                EXPECT_EQ(state.find("Iconic"), std::string::npos)
                    << "hidden, not iconified: " << state;
            }

            switch (row.gesture) {
                case Gesture::kClick:
                    desk.Click(icon.CentreX(), icon.CentreY());
                    break;
                case Gesture::kMiddleClick:
                    desk.Click(icon.CentreX(), icon.CentreY(), "click 2");
                    break;
                case Gesture::kDoubleClick:
                    desk.Click(icon.CentreX(), icon.CentreY(), "click --repeat 2 --delay 120 1");
                    break;
                case Gesture::kMenuRestore:
                    desk.Click(icon.CentreX(), icon.CentreY(), "click 3");
                    ASSERT_TRUE(WaitFor([&] { return desk.MenuShown(); }, 10s)) << "no menu";
                    desk.Input("key Down Return");
                    break;
            }
            if (row.restores) {
                EXPECT_TRUE(WaitFor([&] { return desk.Mapped(window); }, 10s))
                    << "the window did not come back";
                EXPECT_TRUE(WaitFor([&] { return desk.ActiveWindow() == window; }, 10s));
            } else {
                testsupport::ProcessEventsFor(1s);
                EXPECT_FALSE(desk.Mapped(window)) << "the window came back";
            }
        }

        // Exit from the icon's menu, with the window hidden.
        fs::remove(program_ / "lumasrv.cfg");
        desk.Input("windowminimize --sync " + Desk::Id(window));
        ASSERT_TRUE(WaitFor([&] { return !desk.Mapped(window); }, 10s));
        desk.Click(icon.CentreX(), icon.CentreY(), "click 3");
        ASSERT_TRUE(WaitFor([&] { return desk.MenuShown(); }, 10s)) << "no menu";
        desk.Input("key Down Down Return");
        const unsigned long prompt = desk.FindFocusedWindow("^Lumacast$");
        ASSERT_NE(prompt, 0u) << "Exit did not ask to save";
        desk.Input("key Escape");
        desk.Input("key alt+F4");
        testsupport::ProcessEventsFor(1s);
        EXPECT_TRUE(desk.Mapped(prompt)) << "Escape or the close answered the prompt";
        EXPECT_TRUE(Running());
        desk.Input("key Return");  // Yes
        EXPECT_EQ(WaitForExit(20s), 0);
        EXPECT_TRUE(fs::exists(program_ / "lumasrv.cfg")) << "Yes did not save";
    }
}

// Every window a user meets comes up in front of the ones behind it, with the
// focus, as the window manager's stacking order says and the screen shows:
// the dialogs, the help window, and a player window opened from the Servers
// dialog, whose picture plays and whose strip works while the dialog stays.
// scripts/screenshot keeps a picture of each.
TEST_F(DesktopProgramTest, EachWindowComesUpInFrontWhereTheUserSeesIt) {
    testsupport::VirtualDisplay::Options options;
    options.windowManager = true;
    testsupport::VirtualDisplay display(options);
    if (!display.Ok())
        LUMACAST_SKIP() << "no X server for the desktop program: " << display.Error();
    ASSERT_EQ(display.Error(), "");
    const testsupport::TestStream stream;
    ASSERT_TRUE(stream.Ok()) << "lumastream did not start";
    ListServer("Studio", stream.Url());
    const Desk desk(display, display.Display());

    Launch({"DISPLAY=" + display.Display()});
    const unsigned long window = desk.FindFocusedWindow("^Lumacast!$");
    ASSERT_NE(window, 0u) << "the main window did not appear";
    const auto onTop = [&](unsigned long shown) {
        const std::vector<unsigned long> stacking = desk.Stacking();
        return !stacking.empty() && stacking.back() == shown;
    };

    struct Row {
        const char* title;
        int toolbarX;      // the toolbar button that opens it, or 0
        const char* keys;  // else the keys that open it from the menu
        const char* picture;
    };
    const Row rows[] = {
        {"^Server setup$", kSetupButtonX, nullptr, "server-setup.png"},
        {"^Options$", 0, "key alt+m Down Down Down Return", "options.png"},
        {"^About Lumacast!$", 0, "key alt+h Up Return", "about.png"},
        {"^Lumacast help$", kHelpButtonX, nullptr, "help.png"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.title);
        if (row.toolbarX) {
            const auto [x, y] = ToolbarButton(desk.Rect(window), row.toolbarX);
            desk.Click(x, y);
        } else {
            desk.Input(row.keys);
        }
        const unsigned long shown = desk.FindWindow(row.title);
        ASSERT_NE(shown, 0u) << "it did not open";
        EXPECT_TRUE(WaitFor([&] { return onTop(shown); }, 10s)) << "not in front";
        EXPECT_TRUE(WaitFor([&] { return desk.ActiveWindow() == shown; }, 10s)) << "no focus";
        desk.Keep(row.picture, desk.FrameRect(shown));
        desk.Input("key alt+F4");  // the window manager closes it
        ASSERT_TRUE(WaitFor([&] { return !desk.Mapped(shown); }, 10s)) << "it did not close";
    }

    EXPECT_NE(ConnectAndWatch(desk, window, "^Studio \\( " + stream.Url() + " \\)$", onTop,
                              "servers-and-player.png"),
              0u);
}

// In a Wayland session (Weston) the program runs through XWayland although
// Qt could run it natively: only there can it place its windows and learn
// that it was minimised. The main window opens, Start broadcasts, "Minimize
// to system tray" hides the window at the first broadcast (Weston's window
// manager for X11 windows has no minimise), a click on the icon in the
// panel brings it back, and a player window opens in front and plays.
//
// The panel stands for the desktop's own, which in a Wayland session is the
// compositor's and no X11 client: it is on the screen beside Weston's output
// (over Weston's top bar), and meets the program over D-Bus alone.
TEST_F(DesktopProgramTest, InAWaylandSessionItRunsThroughXWaylandAndKeepsItsTrayAndPlayers) {
    // Qt's Wayland platform is there to be chosen, so the choice is the
    // program's.
    const fs::path waylandPlatform =
        fs::path(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()) / "platforms" /
        "libqwayland-generic.so";
    ASSERT_TRUE(fs::exists(waylandPlatform)) << waylandPlatform;
    testsupport::WaylandSession session;
    if (!session.Screen().Ok()) LUMACAST_SKIP() << "no X server: " << session.Error();
    ASSERT_TRUE(session.Ok()) << session.Error();
    testsupport::StatusNotifierPanel panel(session.Screen().Display());
    ASSERT_TRUE(panel.Ok()) << panel.Error();
    const testsupport::TestStream stream;
    ASSERT_TRUE(stream.Ok()) << "lumastream did not start";
    ListServer("Studio", stream.Url());
    g_settings.minimizeToTray = 1;
    SaveSettings();
    const Desk desk(session.Screen(), session.XDisplay());

    Launch({"DISPLAY=" + session.XDisplay(), "WAYLAND_DISPLAY=" + session.WaylandDisplay(),
            "XDG_RUNTIME_DIR=" + session.RuntimeDir(), "XDG_SESSION_TYPE=wayland",
            "DBUS_SESSION_BUS_ADDRESS=" + panel.BusAddress()});
    const unsigned long window = desk.FindFocusedWindow("^Lumacast!$");
    ASSERT_NE(window, 0u) << "no main window on XWayland";

    StartBroadcastWithTheButton(desk, window);
    ASSERT_TRUE(WaitFor([&] { return !desk.Mapped(window); }, 10s))
        << "the window did not go to the tray";
    ScreenRect icon;
    ASSERT_TRUE(WaitFor([&] { return panel.IconArea(&icon); }, 10s)) << "no icon in the panel";
    desk.Click(icon.CentreX(), icon.CentreY());
    ASSERT_TRUE(WaitFor([&] { return desk.Mapped(window); }, 10s))
        << "the click did not bring the window back";

    // Weston keeps no stacking list: the X server's order of the frames,
    // where the first that shows anything is the one in front.
    const auto onTop = [&](unsigned long shown) {
        const unsigned long frame = TopLevelOf(desk, shown);
        for (const unsigned long top : desk.TopLevels()) {
            if (top == frame) return true;
            const ScreenRect rect = desk.Rect(top);
            if (desk.Mapped(top) && rect.width > 1 && rect.height > 1) return false;
        }
        return false;
    };
    EXPECT_NE(ConnectAndWatch(desk, window, "^Studio \\( " + stream.Url() + " \\)$", onTop,
                              "wayland-servers-and-player.png"),
              0u);
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
