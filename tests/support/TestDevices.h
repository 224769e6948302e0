#pragma once
// Settings for tests that broadcast: the test camera and microphone chosen the
// way a user would in Server setup, and free ports on loopback.

#include "settings/AppSettings.h"

namespace testsupport {

// Chooses the test camera, the test microphone and its 44100 Hz stereo 16-bit
// capture format in settings (LUMACAST_FAKE_DEVICES must be set); false when
// either device is missing.
bool ChooseTestDevices(AppSettings& settings);

// A TCP port in the settings' range (up to 32767) that nothing uses right now.
int FreeTcpPort();

}  // namespace testsupport
