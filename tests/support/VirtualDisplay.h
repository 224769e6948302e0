#pragma once
// An X server of the test's own (Xvfb) on a display number the server picks,
// with an optional window manager (openbox) and notification-area host
// (trayer), for tests that drive the real program or real tray from outside.
// Commands run against it with DISPLAY set; screenshots go through ffmpeg.

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// A rectangle on the screen, in pixels.
struct ScreenRect {
    int x = 0, y = 0, width = 0, height = 0;
    int CentreX() const { return x + width / 2; }
    int CentreY() const { return y + height / 2; }
};

class VirtualDisplay {
  public:
    struct Options {
        bool windowManager = false;
        bool trayHost = false;
        int width = 1024;
        int height = 768;
    };

    VirtualDisplay() : VirtualDisplay(Options{}) {}
    explicit VirtualDisplay(const Options& options);
    ~VirtualDisplay();  // stops everything it started
    VirtualDisplay(const VirtualDisplay&) = delete;
    VirtualDisplay& operator=(const VirtualDisplay&) = delete;

    // Whether the X server runs; Error says why not (a skip reason).
    bool Ok() const { return !display_.empty(); }
    const std::string& Error() const { return error_; }
    const std::string& Display() const { return display_; }  // ":N"

    // The tray host can be stopped and started again (the shell restarting).
    bool StartTrayHost();
    void StopTrayHost();
    bool TrayHostRunning() const { return trayPid_ > 0; }
    // Whether a tray host (ours or any other) owns the notification area.
    bool TrayHostReady() const;

    // Runs a shell command with DISPLAY set; its exit status, and what it
    // printed on standard output when output is given.
    int Run(const std::string& command, std::string* output = nullptr) const;

    // The whole screen, or a rectangle of it, as a PNG file.
    bool Screenshot(const std::string& pngPath) const;
    bool Screenshot(const std::string& pngPath, int x, int y, int width, int height) const;

    // Where a window (by its id, as xwininfo takes it) is on the screen.
    bool WindowRect(const std::string& window, ScreenRect* rect) const;

  private:
    bool WaitUntil(const std::string& command, int timeoutMs) const;

    Options options_;
    std::string display_;
    std::string error_;
    pid_t serverPid_ = -1;
    pid_t windowManagerPid_ = -1;
    pid_t trayPid_ = -1;
};

// Where a window (by its id, as xwininfo takes it) is on the screen of an
// X display (":N").
bool WindowRectOn(const std::string& display, const std::string& window, ScreenRect* rect);

}  // namespace testsupport
