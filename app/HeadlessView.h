#pragma once
// The session's window when there is none: the preview goes to a headless
// surface, the stream's addresses are printed once a broadcast runs, and
// the number of viewers whenever it changes and what becomes of the chosen
// devices go to standard error.

#include <cstdio>
#include <string>

#include "app/BroadcastSession.h"
#include "capture/PreviewSurface.h"

class HeadlessView : public SessionView {
  public:
    // httpPort: where the web server serves the viewers' page; 0 when it
    // serves nothing, and then no page address is printed. out gets the
    // addresses, errors (standard error) the device notices and the relay's
    // state changes.
    HeadlessView(int httpPort, std::FILE* out, std::FILE* errors = stderr)
        : httpPort_(httpPort), out_(out), errors_(errors) {}

    void EnableStartButton(bool) override {}
    void EnableStopButton(bool) override {}
    // "Viewers: N" when the count differs from the last one.
    void SetUserCount(const std::string& count) override;
    void SetConnectionUrl(const std::string& url, const std::string& invite) override;
    // "Viewer page (IPv6): ..." and "Stream (IPv6): ..." when there is one.
    void SetIpv6Url(const std::string& url, const std::string& invite) override;
    void InvalidateMeter() override {}
    void SetWaitCursor(bool) override {}
    void HideWindow() override {}
    int MeterScalePosition() override;
    capture::PreviewSurface* PreviewWindow() override { return &surface_; }
    void ShowDeviceNotice(const std::string& text) override;
    // Each new state on its own line, with the relay's masked address.
    void SetRelayState(const std::string& line, bool newState) override;
    void SetRelayAddress(const std::string& maskedUrl) { relayAddress_ = maskedUrl; }

  private:
    // The page's and the stream's addresses, family (" (IPv6)" or "") after
    // their names; nothing for an empty url.
    void PrintAddresses(const std::string& url, const std::string& invite, const char* family);

    int httpPort_;
    std::FILE* out_;
    std::FILE* errors_;
    std::string relayAddress_;
    std::string userCount_ = "0";
    bool relayLogged_ = false;
    capture::HeadlessSurface surface_;
};
