#pragma once
// Settings for tests that broadcast: the test camera and microphone chosen the
// way a user would in Server setup (free ports in the settings' range are in
// Sockets.h).

#include "settings/AppSettings.h"
#include "tests/support/Sockets.h"

namespace testsupport {

// Chooses the test camera, the test microphone and its 44100 Hz stereo 16-bit
// capture format in settings (LUMACAST_FAKE_DEVICES must be set); false when
// either device is missing.
bool ChooseTestDevices(AppSettings& settings);

}  // namespace testsupport
