// A broadcast whose stored audio capture format does not match its codec
// format (a configuration written elsewhere, a device whose formats changed)
// still carries the sound whole and at its speed: ffmpeg, an independent
// client, decodes three seconds of the test tone at 440 Hz from three
// seconds of stream.

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "MediaTestSupport.h"
#include "app/BroadcastSession.h"
#include "capture/PreviewSurface.h"
#include "media/CapLib.h"
#include "media/WmProfile.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "tests/support/SilentView.h"
#include "tests/support/Sockets.h"

namespace {

using testsupport::FreeTcpPort;
using testsupport::RunWhilePumping;
using testsupport::SilentView;

// The codec format of the first audio codec with this rate and channel
// count, or -1.
int CodecFormatIndex(std::uint32_t rate, std::uint16_t channels) {
    WmProfile profile;
    std::uint32_t count = 0;
    if (FAILED(profile.Create()) || FAILED(profile.GetAudioFormatCount(0, &count))) return -1;
    for (std::uint32_t i = 0; i < count; ++i) {
        std::uint8_t bytes[20] = {};
        WAVEFORMATEX wave{};
        if (FAILED(profile.GetAudioFormat(0, i, bytes))) continue;
        std::memcpy(&wave, bytes, sizeof wave);
        if (wave.nSamplesPerSec == rate && wave.nChannels == channels) return static_cast<int>(i);
    }
    return -1;
}

int CaptureFormatIndex(CapLib& capture, std::uint32_t rate, std::uint16_t channels,
                       std::uint16_t bits) {
    std::unique_ptr<WAVEFORMATEX[]> formats;
    const int count = capture.GetAudioCaptureFormats(0, &formats);
    for (int i = 0; i < count; ++i) {
        if (formats[i].nSamplesPerSec == rate && formats[i].nChannels == channels &&
            formats[i].wBitsPerSample == bits)
            return i;
    }
    return -1;
}

TEST(SoundDeliveryTest, MismatchedCaptureAndCodecFormatsStillCarryTheTone) {
    struct Case {
        std::uint32_t captureRate;
        std::uint16_t captureChannels, captureBits;
        std::uint32_t codecRate;
        std::uint16_t codecChannels;
    };
    const Case cases[] = {
        {8000, 1, 8, 44100, 2},
        {48000, 2, 16, 44100, 1},
    };
    EnsureApplication();
    setenv("LUMACAST_FAKE_DEVICES", "only", 1);
    capture::SetTestDevices(capture::DefaultTestDevices());
    TempProgramDir folder;
    DetermineProgramDir();
    RecordingMessageBoxes boxes;

    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.captureRate) + " -> " + std::to_string(c.codecRate));
        SilentView view;
        CapLib capture;
        BroadcastSession session(&capture, &view);
        g_settings = AppSettings{};
        g_settings.audioDeviceIndex = 0;
        g_settings.audioCaptureFormatIndex =
            CaptureFormatIndex(capture, c.captureRate, c.captureChannels, c.captureBits);
        g_settings.audioFormatIndex = CodecFormatIndex(c.codecRate, c.codecChannels);
        ASSERT_GE(g_settings.audioCaptureFormatIndex, 0);
        ASSERT_GE(g_settings.audioFormatIndex, 0);
        g_settings.asfPort = FreeTcpPort();
        session.ConfigureCapture(BroadcastSettingsFrom(g_settings));
        session.StartBroadcast(BroadcastSettingsFrom(g_settings));
        ASSERT_TRUE(session.IsRunning());

        const auto sound = folder.Path() / "sound.pcm";
        ASSERT_EQ(
            RunWhilePumping("timeout 60 ffmpeg -nostdin -v error -y -i http://127.0.0.1:" +
                            std::to_string(g_settings.asfPort) +
                            "/MyFile.wma -map 0:a -t 3 -ac 1 -ar 44100 -f s16le " + sound.string()),
            0);
        session.StopBroadcast();
        capture.Close();

        const std::string bytes = ReadWholeFile(sound);
        std::vector<std::int16_t> samples(bytes.size() / 2);
        std::memcpy(samples.data(), bytes.data(), samples.size() * 2);
        // Three seconds of sound, each half second of it the tone at 440 Hz.
        ASSERT_GE(samples.size(), 44100u * 29 / 10);
        constexpr std::size_t kWindow = 22050;
        for (std::size_t start = 0; start + kWindow <= samples.size(); start += kWindow) {
            SCOPED_TRACE(start);
            double energy = 0;
            int crossings = 0;
            for (std::size_t i = start + 1; i < start + kWindow; ++i) {
                energy += static_cast<double>(samples[i]) * samples[i];
                crossings += (samples[i - 1] < 0) != (samples[i] < 0);
            }
            EXPECT_GT(std::sqrt(energy / kWindow), 1000.0);
            const double hertz = crossings / 2.0 / (static_cast<double>(kWindow) / 44100);
            EXPECT_NEAR(hertz, 440.0, 440.0 * 0.05);
        }
    }
    EXPECT_EQ(boxes.Count(), 0u);
    capture::ResetTestDevices();
}

}  // namespace
