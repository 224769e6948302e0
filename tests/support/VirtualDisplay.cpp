#include "tests/support/VirtualDisplay.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "tests/support/Commands.h"
#include "tests/support/Processes.h"

namespace testsupport {

VirtualDisplay::VirtualDisplay(const Options& options) : options_(options) {
    if (!HaveProgram("Xvfb")) {
        error_ = "Xvfb is not installed";
        return;
    }
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) {
        error_ = "no pipe for Xvfb";
        return;
    }
    const std::string fd = std::to_string(pipeFds[1]);
    const std::string screen =
        std::to_string(options.width) + "x" + std::to_string(options.height) + "x24";
    serverPid_ = ::fork();
    if (serverPid_ == 0) {
        ::close(pipeFds[0]);
        ::execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", screen.c_str(),
                 "-nolisten", "tcp", "-noreset", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(pipeFds[1]);
    // Xvfb writes its display number once it accepts clients.
    std::string number;
    pollfd waitFor{pipeFds[0], POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (::poll(&waitFor, 1, 200) <= 0) continue;
        char ch = 0;
        const ssize_t got = ::read(pipeFds[0], &ch, 1);
        if (got <= 0 || ch == '\n') break;
        number += ch;
    }
    ::close(pipeFds[0]);
    if (number.empty()) {
        error_ = "Xvfb did not start";
        StopProcess(serverPid_);
        serverPid_ = -1;
        return;
    }
    display_ = ":" + number;

    if (options.windowManager) {
        if (!HaveProgram("openbox")) {
            error_ = "openbox is not installed";
        } else {
            windowManagerPid_ = SpawnProcess({"openbox", "--sm-disable"}, {"DISPLAY=" + display_});
            // The window manager announces itself on the root window.
            if (!WaitUntil("xprop -root _NET_SUPPORTING_WM_CHECK | grep -q 'window id'", 10000)) {
                error_ = "openbox did not start";
            }
        }
    }
    if (options.trayHost && !StartTrayHost()) error_ = "trayer did not start";
}

VirtualDisplay::~VirtualDisplay() {
    StopTrayHost();
    StopProcess(windowManagerPid_);
    StopProcess(serverPid_);
}

bool VirtualDisplay::WaitUntil(const std::string& command, int timeoutMs) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Run(command) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool VirtualDisplay::StartTrayHost() {
    if (!Ok() || !HaveProgram("trayer")) return false;
    StopTrayHost();
    trayPid_ = SpawnProcess({"trayer", "--edge", "top", "--align", "right", "--widthtype",
                             "request", "--height", "32", "--transparent", "false"},
                            {"DISPLAY=" + display_});
    // The tray host is ready once it owns the notification area's selection,
    // which is what applications look for.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!TrayHostReady()) {
        if (std::chrono::steady_clock::now() > deadline) {
            StopTrayHost();
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return true;
}

bool VirtualDisplay::TrayHostReady() const {
    if (!Ok()) return false;
    ::Display* connection = XOpenDisplay(display_.c_str());
    if (!connection) return false;
    const std::string name = "_NET_SYSTEM_TRAY_S" + std::to_string(DefaultScreen(connection));
    const Atom selection = XInternAtom(connection, name.c_str(), False);
    const bool owned = XGetSelectionOwner(connection, selection) != None;
    XCloseDisplay(connection);
    return owned;
}

void VirtualDisplay::StopTrayHost() {
    if (trayPid_ <= 0) return;
    StopProcess(trayPid_);
    trayPid_ = -1;
    // The server gives the selection up as it drops the client.
    for (int i = 0; i < 50 && TrayHostReady(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int VirtualDisplay::Run(const std::string& command, std::string* output) const {
    const std::string full = "DISPLAY=" + display_ + " " + command;
    FILE* pipe = ::popen(full.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buffer{};
    std::size_t got = 0;
    while ((got = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) {
        if (output) output->append(buffer.data(), got);
    }
    const int status = ::pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool VirtualDisplay::WindowRect(const std::string& window, ScreenRect* rect) const {
    return WindowRectOn(display_, window, rect);
}

bool WindowRectOn(const std::string& display, const std::string& window, ScreenRect* rect) {
    int exitCode = -1;
    const std::string info =
        RunCommand("DISPLAY=" + display + " xwininfo -id " + window + " 2>/dev/null", &exitCode);
    if (exitCode != 0) return false;
    auto field = [&info](const std::string& label, int* value) {
        const auto at = info.find(label + ":");
        if (at == std::string::npos) return false;
        *value = std::atoi(info.c_str() + at + label.size() + 1);
        return true;
    };
    return field("Absolute upper-left X", &rect->x) && field("Absolute upper-left Y", &rect->y) &&
           field("Width", &rect->width) && field("Height", &rect->height);
}

bool VirtualDisplay::Screenshot(const std::string& pngPath) const {
    return Screenshot(pngPath, 0, 0, options_.width, options_.height);
}

bool VirtualDisplay::Screenshot(const std::string& pngPath, int x, int y, int width,
                                int height) const {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const std::string origin = "+" + std::to_string(x) + "," + std::to_string(y);
    return Run("ffmpeg -loglevel error -y -f x11grab -video_size " + size + " -i " + display_ +
               origin + " -frames:v 1 '" + pngPath + "' < /dev/null") == 0;
}

}  // namespace testsupport
