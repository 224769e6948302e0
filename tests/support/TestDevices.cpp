#include "tests/support/TestDevices.h"

#include <memory>
#include <string>

#include "media/CapLib.h"

namespace testsupport {

bool ChooseTestDevices(AppSettings& settings) {
    CapLib devices;
    settings.videoDeviceIndex = -1;
    settings.audioDeviceIndex = -1;
    for (int i = 0; i < devices.GetVideoDeviceCount(); ++i) {
        if (std::string(devices.GetVideoDeviceName(i)) == "Lumacast Test Camera") {
            settings.videoDeviceIndex = i;
        }
    }
    for (int i = 0; i < devices.GetAudioDeviceCount(); ++i) {
        if (std::string(devices.GetAudioDeviceName(i)) != "Lumacast Test Microphone") continue;
        settings.audioDeviceIndex = i;
        std::unique_ptr<WAVEFORMATEX[]> formats;
        const int count = devices.GetAudioCaptureFormats(i, &formats);
        for (int f = 0; f < count; ++f) {
            if (formats[f].nSamplesPerSec == 44100 && formats[f].nChannels == 2 &&
                formats[f].wBitsPerSample == 16) {
                settings.audioCaptureFormatIndex = f;
            }
        }
    }
    devices.Close();
    return settings.videoDeviceIndex != -1 && settings.audioDeviceIndex != -1;
}

}  // namespace testsupport
