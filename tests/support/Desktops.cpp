#include "tests/support/Desktops.h"

#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>

#include "tests/support/Commands.h"
#include "tests/support/Processes.h"
#include "tests/support/Wait.h"

namespace testsupport {

namespace {

using namespace std::chrono_literals;

// One panel along the top of the screen with the notification area alone.
// With a configuration of its own the panel skips its first-start dialog.
constexpr char kPanelConfiguration[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<channel name="xfce4-panel" version="1.0">
  <property name="configver" type="int" value="2"/>
  <property name="panels" type="array">
    <value type="int" value="1"/>
    <property name="panel-1" type="empty">
      <property name="position" type="string" value="p=6;x=0;y=0"/>
      <property name="length" type="uint" value="100"/>
      <property name="position-locked" type="bool" value="true"/>
      <property name="size" type="uint" value="32"/>
      <property name="plugin-ids" type="array">
        <value type="int" value="1"/>
      </property>
    </property>
  </property>
  <property name="plugins" type="empty">
    <property name="plugin-1" type="string" value="systray"/>
  </property>
</channel>
)";

std::string Quoted(const std::string& text) {
    return "'" + text + "'";
}

// Weston's output leaves a strip of the screen below it, where the pointer
// can leave its window and come back (see WaylandSession).
constexpr int kOutputWidth = 1024;
constexpr int kOutputHeight = 768;

// Between two tries of a condition that takes a command to look at.
void Pause() {
    std::this_thread::sleep_for(100ms);
}

}  // namespace

StatusNotifierPanel::StatusNotifierPanel(const std::string& xDisplay) : display_(xDisplay) {
    for (const char* program : {"dbus-daemon", "dbus-send", "xfce4-panel"}) {
        if (!HaveProgram(program)) {
            error_ = std::string(program) + " is not installed";
            return;
        }
    }
    const std::filesystem::path config = folder_.Path() / "config";
    const std::filesystem::path channels = config / "xfce4/xfconf/xfce-perchannel-xml";
    std::filesystem::create_directories(channels);
    WriteWholeFile(channels / "xfce4-panel.xml", kPanelConfiguration);
    // The bus starts the panel's settings daemon, which reads the
    // configuration from the folder in the bus's own environment.
    const std::vector<std::string> folders = {"XDG_CONFIG_HOME=" + config.string(),
                                              "XDG_CACHE_HOME=" + (folder_ / "cache")};

    const std::string addressFile = folder_ / "bus";
    busPid_ = SpawnProcess({"dbus-daemon", "--session", "--nofork", "--print-address=1"}, folders,
                           addressFile);
    if (!WaitUntil(
            [&] {
                std::smatch match;
                const std::string text = ReadWholeFile(addressFile);
                if (!std::regex_search(text, match, std::regex("(unix:[^\n]+)\n"))) return false;
                busAddress_ = match[1].str();
                return true;
            },
            10s)) {
        error_ = "the session bus did not start";
        return;
    }

    std::vector<std::string> variables = folders;
    variables.push_back("DISPLAY=" + display_);
    variables.push_back("DBUS_SESSION_BUS_ADDRESS=" + busAddress_);
    variables.push_back("GDK_BACKEND=x11");
    variables.push_back("NO_AT_BRIDGE=1");  // no accessibility bus of its own
    variables.push_back("SESSION_MANAGER=");
    variables.push_back("WAYLAND_DISPLAY=");
    panelPid_ = SpawnProcess({"xfce4-panel"}, variables, folder_ / "panel.log");
    // Ready once its notification area has told the watcher that it hosts
    // icons: programs that start from then on put their icons there.
    const std::string hostRegistered =
        "dbus-send --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher "
        "org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "
        "string:IsStatusNotifierHostRegistered 2>/dev/null | grep -q 'boolean true'";
    const bool hosting = WaitUntil(
        [&] {
            if (Run(hostRegistered) == 0) return true;
            Pause();
            return false;
        },
        30s);
    if (!hosting) {
        error_ =
            "xfce4-panel did not host a notification area: " + ReadWholeFile(folder_ / "panel.log");
    }
}

StatusNotifierPanel::~StatusNotifierPanel() {
    StopProcess(panelPid_);
    StopProcess(busPid_);  // its settings daemon goes with it
}

int StatusNotifierPanel::Run(const std::string& command, std::string* output) const {
    int exitCode = -1;
    const std::string printed = RunCommand(
        "DISPLAY=" + display_ + " DBUS_SESSION_BUS_ADDRESS=" + Quoted(busAddress_) + " " + command,
        &exitCode);
    if (output) *output = printed;
    return exitCode;
}

std::vector<std::string> StatusNotifierPanel::RegisteredItems() const {
    std::string reply;
    Run("dbus-send --print-reply --dest=org.kde.StatusNotifierWatcher /StatusNotifierWatcher "
        "org.freedesktop.DBus.Properties.Get string:org.kde.StatusNotifierWatcher "
        "string:RegisteredStatusNotifierItems",
        &reply);
    std::vector<std::string> items;
    const std::regex item("string \"([^\"]+)\"");
    for (auto it = std::sregex_iterator(reply.begin(), reply.end(), item);
         it != std::sregex_iterator(); ++it) {
        items.push_back((*it)[1].str());
    }
    return items;
}

bool StatusNotifierPanel::IconArea(ScreenRect* area) const {
    // The notification area is the plugin's window inside the panel's; it
    // is one pixel wide while it holds no icon.
    std::string tree;
    if (Run("xwininfo -root -tree", &tree) != 0) return false;
    std::istringstream lines(tree);
    std::string line;
    std::size_t panelIndent = std::string::npos;
    const std::regex plugin(
        R"(\("wrapper-2\.0" "Wrapper-2\.0"\)\s+(\d+)x(\d+)[+-]-?\d+[+-]-?\d+\s+\+(-?\d+)\+(-?\d+))");
    while (std::getline(lines, line)) {
        const std::size_t indent = line.find_first_not_of(' ');
        if (indent == std::string::npos) continue;
        if (panelIndent != std::string::npos && indent <= panelIndent)
            panelIndent = std::string::npos;
        if (line.find("(\"xfce4-panel\" \"Xfce4-panel\")") != std::string::npos) {
            panelIndent = indent;
            continue;
        }
        std::smatch match;
        if (panelIndent == std::string::npos || !std::regex_search(line, match, plugin)) continue;
        const ScreenRect found{std::stoi(match[3]), std::stoi(match[4]), std::stoi(match[1]),
                               std::stoi(match[2])};
        if (found.width > 1 && found.height > 1) {
            *area = found;
            return true;
        }
    }
    return false;
}

VirtualDisplay::Options WaylandSession::ScreenOptions() {
    VirtualDisplay::Options options;
    options.width = kOutputWidth;
    options.height = kOutputHeight + 32;
    return options;
}

WaylandSession::WaylandSession() {
    if (!screen_.Ok()) {
        error_ = screen_.Error();
        return;
    }
    if (!HaveProgram("weston") || !HaveProgram("Xwayland")) {
        error_ = "weston or Xwayland is not installed";
        return;
    }
    ::chmod(runtime_.Path().c_str(), 0700);
    // Weston draws its output into a window of the X server (its x11
    // backend) rather than into memory (its headless backend), since only
    // there does it have a seat: input that reaches the screen reaches
    // Weston, and from Weston its clients, XWayland's among them. Without a
    // seat XWayland has no pointer to move, and crashes on the first try.
    const std::string log = runtime_ / "weston.log";
    compositorPid_ = SpawnProcess(
        {"weston", "--backend=x11-backend.so", "--use-pixman", "--xwayland",
         "--socket=" + waylandDisplay_, "--width=" + std::to_string(kOutputWidth),
         "--height=" + std::to_string(kOutputHeight), "--idle-time=0"},
        {"DISPLAY=" + screen_.Display(), "XDG_RUNTIME_DIR=" + RuntimeDir(), "WAYLAND_DISPLAY="},
        log);
    const std::regex listening("xserver listening on display (:[0-9]+)");
    if (!WaitUntil(
            [&] {
                std::smatch match;
                const std::string text = ReadWholeFile(log);
                if (!std::regex_search(text, match, listening)) return false;
                xDisplay_ = match[1].str();
                return true;
            },
            30s)) {
        error_ = "weston did not start XWayland: " + ReadWholeFile(log);
        return;
    }
    // XWayland starts at the first X client; its window manager is Weston's.
    if (!WaitUntil(
            [&] {
                std::string root;
                if (RunX("xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null", &root) == 0 &&
                    root.find("window id") != std::string::npos) {
                    return true;
                }
                Pause();
                return false;
            },
            30s)) {
        error_ = "XWayland did not come up: " + ReadWholeFile(log);
        return;
    }
    // Weston follows the pointer by its moves from where it last came into
    // the output's window. It comes in once here, from the strip below, so
    // that the first click lands where it is aimed.
    screen_.Run("xdotool mousemove " + std::to_string(kOutputWidth / 2) + " " +
                std::to_string(kOutputHeight + 16));
    std::this_thread::sleep_for(200ms);
    screen_.Run("xdotool mousemove " + std::to_string(kOutputWidth / 2) + " " +
                std::to_string(kOutputHeight / 2));
}

WaylandSession::~WaylandSession() {
    StopProcess(compositorPid_);  // XWayland and Weston's own clients go with it
}

int WaylandSession::RunX(const std::string& command, std::string* output) const {
    int exitCode = -1;
    const std::string printed = RunCommand("DISPLAY=" + xDisplay_ + " " + command, &exitCode);
    if (output) *output = printed;
    return exitCode;
}

bool WaylandSession::WindowRect(const std::string& window, ScreenRect* rect) const {
    return WindowRectOn(xDisplay_, window, rect);
}

}  // namespace testsupport
