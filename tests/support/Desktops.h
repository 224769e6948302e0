#pragma once
// The desktops users run, for tests that drive the real program: a tray host
// of the D-Bus StatusNotifierItem kind (Xfce's panel with nothing on it but
// its notification area, on a session bus of its own) and a Wayland session
// (Weston with XWayland). Both start with the object and stop with it.

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/TempFolder.h"
#include "tests/support/VirtualDisplay.h"

namespace testsupport {

class StatusNotifierPanel {
  public:
    // The panel on the X display xDisplay (":N").
    explicit StatusNotifierPanel(const std::string& xDisplay);
    ~StatusNotifierPanel();
    StatusNotifierPanel(const StatusNotifierPanel&) = delete;
    StatusNotifierPanel& operator=(const StatusNotifierPanel&) = delete;

    // Whether the panel hosts icons; Error says why not.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // The session bus the panel hosts icons on: a program whose icon is to
    // go there takes it as DBUS_SESSION_BUS_ADDRESS, before it starts.
    const std::string& BusAddress() const { return busAddress_; }

    // The icons the panel's watcher has registered, each "SERVICE/PATH".
    std::vector<std::string> RegisteredItems() const;
    // Where the panel's notification area is on the screen; false while it
    // holds no icon.
    bool IconArea(ScreenRect* area) const;

  private:
    int Run(const std::string& command, std::string* output = nullptr) const;

    TempFolder folder_{"lumapanel"};  // the panel's settings and cache
    std::string display_;
    std::string busAddress_;
    std::string error_;
    pid_t busPid_ = -1;
    pid_t panelPid_ = -1;
};

class WaylandSession {
  public:
    WaylandSession();
    ~WaylandSession();
    WaylandSession(const WaylandSession&) = delete;
    WaylandSession& operator=(const WaylandSession&) = delete;

    // Whether the session runs; Error says why not.
    bool Ok() const { return error_.empty(); }
    const std::string& Error() const { return error_; }

    // The screen: the X server whose window at its top left, 1024 x 768, is
    // the compositor's output. Input goes in there (xdotool) and screenshots
    // come from there.
    const VirtualDisplay& Screen() const { return screen_; }

    // What a program of the session is given: the X display of XWayland,
    // the Wayland socket's name and the runtime folder that holds it.
    const std::string& XDisplay() const { return xDisplay_; }
    const std::string& WaylandDisplay() const { return waylandDisplay_; }
    std::string RuntimeDir() const { return runtime_.Path().string(); }

    // Runs a shell command against XWayland; its exit status, with its
    // standard output in *output when given.
    int RunX(const std::string& command, std::string* output = nullptr) const;
    // Where an X window of the session is on the screen.
    bool WindowRect(const std::string& window, ScreenRect* rect) const;

  private:
    static VirtualDisplay::Options ScreenOptions();

    VirtualDisplay screen_{ScreenOptions()};
    TempFolder runtime_{"lumawayland"};
    std::string xDisplay_;
    std::string waylandDisplay_ = "lumacast-wayland";
    std::string error_;
    pid_t compositorPid_ = -1;
};

}  // namespace testsupport
