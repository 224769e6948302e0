#pragma once
// A session view for tests that watch a broadcast from outside (the stream,
// the pages, the capture): it takes every call and shows nothing, with the
// meter at full scale and a preview surface of its own. Tests that use it
// link lumaapp.

#include <string>

#include "app/BroadcastSession.h"
#include "capture/PreviewSurface.h"

namespace testsupport {

class SilentView : public SessionView {
  public:
    void EnableStartButton(bool) override {}
    void EnableStopButton(bool) override {}
    void SetUserCount(const std::string&) override {}
    void SetConnectionUrl(const std::string&, const std::string&) override {}
    void SetIpv6Url(const std::string&, const std::string&) override {}
    void InvalidateMeter() override {}
    void SetWaitCursor(bool) override {}
    void HideWindow() override {}
    int MeterScalePosition() override { return 32767; }
    capture::PreviewSurface* PreviewWindow() override { return &surface; }
    void ShowDeviceNotice(const std::string&) override {}

    capture::HeadlessSurface surface;
};

}  // namespace testsupport
