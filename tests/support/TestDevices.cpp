#include "tests/support/TestDevices.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <random>
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

int FreeTcpPort() {
    // The settings take ports up to 32767 only, below the system's own range
    // of ports it hands out for port 0; so a port is picked at random there
    // until one is free on every address.
    static std::mt19937 random(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
    std::uniform_int_distribution<int> pick(20000, 32767);
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int port = pick(random);
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        if (free) return port;
    }
    return 0;
}

}  // namespace testsupport
