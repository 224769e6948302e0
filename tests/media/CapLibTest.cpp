// The capture library on the test devices: device lists and names, the log,
// the graph's life through selection, preview start and stop, frames with
// the caption, the lock, and the audio tap.

#include <atomic>
#include <cmath>
#include <mutex>
#include <regex>

#include "MediaTestSupport.h"
#include "capture/PreviewSurface.h"
#include "media/CapLib.h"
#include "media/Caption.h"
#include "platform/MessageBox.h"
#include "settings/AppSettings.h"

using namespace capture;

namespace {

// Whether the library's frames come to have this length. The first frame of
// a graph just built may take longer than the second GetFrameLength waits
// (a slow build, a busy machine), so it is asked again until it comes.
testing::AssertionResult FrameLengthBecomes(CapLib& lib, int length) {
    if (WaitUntil([&] { return lib.GetFrameLength() == length; }))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "frame length " << lib.GetFrameLength() << ", not " << length;
}

// What the audio callback received.
struct AudioLog {
    std::mutex mutex;
    std::vector<std::int16_t> samples;
    std::atomic<int> chunks{0};
    std::atomic<long> bytes{0};
    std::atomic<int> oddLengths{0};
    std::atomic<int> lastPeak{0};  // of the latest buffer
};
// A log must outlive the library that calls into it: a buffer may be on its
// way on the audio thread while the test takes the callback away.
std::atomic<AudioLog*> g_audio{nullptr};

struct AudioRecorder final : AudioChunkCallback {
    void OnAudioChunk(const std::uint8_t* data, std::int32_t length) override;
} g_recorder;

void AudioRecorder::OnAudioChunk(const std::uint8_t* data, std::int32_t length) {
    AudioLog* log = g_audio.load();
    if (!log) return;
    ++log->chunks;
    log->bytes += length;
    if (length % 4 != 0) ++log->oddLengths;
    const auto* pcm = reinterpret_cast<const std::int16_t*>(data);
    int peak = 0;
    for (std::int32_t i = 0; i < length / 2; ++i) peak = std::max(peak, std::abs(int{pcm[i]}));
    log->lastPeak = peak;
    std::lock_guard lock(log->mutex);
    if (log->samples.size() < 200000) {
        const auto* s = reinterpret_cast<const std::int16_t*>(data);
        log->samples.insert(log->samples.end(), s, s + length / 2);
    }
}

class CapLibTest : public ::testing::Test {
  protected:
    void SetUp() override {
        EnsureApplication();
        SetTestDevices(DefaultTestDevices());
    }
    void TearDown() override {
        g_audio = nullptr;
        ResetTestDevices();
    }

    TempProgramDir folder_;
    RecordingMessageBoxes boxes_;
};

// Index of the last (test) device of each kind.
int LastVideo(const CapLib& lib) {
    return lib.GetVideoDeviceCount() - 1;
}
int LastAudio(const CapLib& lib) {
    return lib.GetAudioDeviceCount() - 1;
}

// Index of an audio capture format.
int FormatIndex(CapLib& lib, int audio, std::uint32_t rate, std::uint16_t channels,
                std::uint16_t bits) {
    std::unique_ptr<WAVEFORMATEX[]> formats;
    const int count = lib.GetAudioCaptureFormats(audio, &formats);
    for (int i = 0; i < count; ++i)
        if (formats[i].nSamplesPerSec == rate && formats[i].nChannels == channels &&
            formats[i].wBitsPerSample == bits)
            return i;
    return -1;
}

TEST_F(CapLibTest, ListsNamesAndLogsThem) {
    CapLib lib;
    EXPECT_TRUE(std::filesystem::exists(folder_.Path() / "caplib.txt"));
    EXPECT_EQ(ReadWholeFile(folder_.Path() / "caplib.txt"), "");
    ASSERT_GE(lib.GetVideoDeviceCount(), 1);
    ASSERT_GE(lib.GetAudioDeviceCount(), 1);
    EXPECT_STREQ(lib.GetVideoDeviceName(LastVideo(lib)), "Lumacast Test Camera");
    EXPECT_STREQ(lib.GetAudioDeviceName(LastAudio(lib)), "Lumacast Test Microphone");
    EXPECT_STREQ(lib.GetVideoDeviceName(lib.GetVideoDeviceCount()), "");
    EXPECT_STREQ(lib.GetAudioDeviceName(-1), "");
    g_capLog.Flush();
    const std::string log = ReadWholeFile(folder_.Path() / "caplib.txt");
    const std::regex expected(
        "   Lumacast Test Camera \n"
        "[0-2][0-9]:[0-5][0-9]:[0-5][0-9]:[0-9]{3}    Lumacast Test Microphone \n"
        "[0-9:]{12}    \n"
        "[0-9:]{12}    \n"
        "[0-9:]{12} ");
    EXPECT_TRUE(std::regex_match(log, expected)) << log;
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(CapLibTest, TablesHoldTenDevicesAndSkipNamelessOnes) {
    std::vector<TestDevice> devices;
    for (int i = 0; i < 12; ++i) {
        TestDevice d;
        d.name = "Camera " + std::to_string(i);
        d.hasName = i != 2;
        devices.push_back(d);
    }
    SetTestDevices(devices);
    CapLib lib;
    ASSERT_EQ(lib.GetVideoDeviceCount(), 10);
    EXPECT_EQ(lib.GetAudioDeviceCount(), 0);
    std::vector<std::string> names;
    for (int i = 0; i < 10; ++i) names.push_back(lib.GetVideoDeviceName(i));
    // With real cameras present the test ones come after them.
    if (names.front() == "Camera 0") {
        EXPECT_EQ(names[1], "Camera 1");
        EXPECT_EQ(names[2], "Camera 3");  // the nameless one takes no index
        EXPECT_EQ(names[9], "Camera 10");
    }
    std::unique_ptr<WAVEFORMATEX[]> formats;
    EXPECT_EQ(lib.GetAudioCaptureFormats(0, &formats), 0);
    EXPECT_EQ(formats, nullptr);
}

TEST_F(CapLibTest, AudioCaptureFormats) {
    CapLib lib;
    std::unique_ptr<WAVEFORMATEX[]> formats;
    const int count = lib.GetAudioCaptureFormats(LastAudio(lib), &formats);
    ASSERT_EQ(count, 28);
    ASSERT_NE(formats, nullptr);
    // Entries are packed 18-byte records: read fields by value.
    EXPECT_EQ(std::uint32_t{formats[0].nSamplesPerSec}, 8000u);
    EXPECT_EQ(std::uint32_t{formats[count - 1].nSamplesPerSec}, 48000u);
    EXPECT_EQ(lib.GetAudioCaptureFormats(LastAudio(lib) + 1, &formats), 0);
    EXPECT_EQ(formats, nullptr);
    EXPECT_EQ(lib.GetAudioCaptureFormats(-1, &formats), 0);
}

struct LifeCase {
    const char* name;
    bool video;
    bool audio;
};

class GraphLife : public CapLibTest, public ::testing::WithParamInterface<LifeCase> {};

TEST_P(GraphLife, SelectBuildStartStopTearDownAgain) {
    const LifeCase c = GetParam();
    HeadlessSurface surface;  // outlives the library, which clears it on closing
    AudioLog audioLog;
    CapLib lib;
    lib.wantPreview = true;
    const int video = c.video ? LastVideo(lib) : -1;
    const int audio = c.audio ? LastAudio(lib) : -1;
    const int format = c.audio ? FormatIndex(lib, audio, 22050, 2, 16) : 0;
    g_audio = &audioLog;

    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        lib.SelectDevices(video, audio, &surface, format);
        ASSERT_TRUE(lib.PreviewGraphBuilt());
        ASSERT_TRUE(lib.Previewing());
        EXPECT_EQ(lib.StartPreview(), 1);  // already running
        const auto names = lib.GraphFilterNames();
        auto has = [&](const char* n) {
            return std::find(names.begin(), names.end(), n) != names.end();
        };
        EXPECT_EQ(has("Sample grabber"), c.video);
        EXPECT_EQ(has("Video Renderer"), c.video);
        EXPECT_EQ(has("MySoundCapture"), c.audio);
        EXPECT_EQ(has("Null sound render"), c.audio);
        EXPECT_EQ(names.size(), (c.video ? 3u : 0u) + (c.audio ? 3u : 0u));

        // Selecting the same again changes nothing; the preview keeps running.
        CaptureFilter* before = lib.VideoCaptureFilter();
        lib.SelectDevices(video, audio, &surface, format);
        EXPECT_EQ(lib.VideoCaptureFilter(), before);
        EXPECT_TRUE(lib.Previewing());

        lib.SetAudioCallback(&g_recorder);
        if (c.video) {
            EXPECT_TRUE(FrameLengthBecomes(lib, DibStride(320) * 240));
            EXPECT_EQ(lib.GetFrameWidth(), 320);
            EXPECT_EQ(lib.GetFrameHeight(), 240);
            EXPECT_TRUE(WaitUntil([&] { return surface.FrameCount() > 0; }));
        } else {
            EXPECT_EQ(lib.GetFrameLength(), 0);
            EXPECT_EQ(lib.LockFrame(), nullptr);
            lib.UnlockFrame();
        }
        if (c.audio) {
            const int chunks = audioLog.chunks;
            EXPECT_TRUE(WaitUntil([&] { return audioLog.chunks > chunks + 2; }));
        }
        lib.SetAudioCallback(nullptr);

        EXPECT_EQ(lib.StopPreview(), 1);
        EXPECT_EQ(lib.StopPreview(), 0);  // was not running
        if (c.video) {
            EXPECT_TRUE(surface.Cleared());
        }
        EXPECT_EQ(lib.StartPreview(), 1);  // restarts after a stop
        EXPECT_TRUE(lib.Previewing());

        // Nothing selected: the graph goes, and preview cannot start.
        lib.SelectDevices(-1, -1, &surface, format);
        EXPECT_FALSE(lib.PreviewGraphBuilt());
        EXPECT_FALSE(lib.Previewing());
        EXPECT_EQ(lib.StartPreview(), 0);
        EXPECT_EQ(lib.StopPreview(), 0);
        EXPECT_TRUE(lib.GraphFilterNames().empty());
    }
    lib.Close();
    lib.Close();  // twice is harmless
    EXPECT_EQ(boxes_.Count(), 0u) << (boxes_.Count() ? boxes_.Boxes()[0].text : "");
    EXPECT_EQ(audioLog.oddLengths, 0);
}

INSTANTIATE_TEST_SUITE_P(Devices, GraphLife,
                         ::testing::Values(LifeCase{"VideoOnly", true, false},
                                           LifeCase{"AudioOnly", false, true},
                                           LifeCase{"Both", true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(CapLibTest, WithoutWantPreviewNothingRuns) {
    CapLib lib;
    EXPECT_EQ(lib.StartPreview(), 0);
    EXPECT_EQ(lib.StopPreview(), 0);
    lib.SelectDevices(LastVideo(lib), LastAudio(lib), nullptr, 0);
    EXPECT_FALSE(lib.PreviewGraphBuilt());
    EXPECT_EQ(lib.StartPreview(), 0);
    EXPECT_EQ(lib.GetFrameLength(), 0);
    EXPECT_EQ(lib.GetFrameDC(), nullptr);
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(CapLibTest, AudioTapDeliversTheToneAtTheChosenFormat) {
    struct Format {
        std::uint32_t rate;
        std::uint16_t channels;
    };
    for (Format f : {Format{16000, 1}, Format{44100, 2}}) {
        SCOPED_TRACE(f.rate);
        CapLib lib;
        lib.wantPreview = true;
        const int audio = LastAudio(lib);
        const int index = FormatIndex(lib, audio, f.rate, f.channels, 16);
        ASSERT_GE(index, 0);
        lib.SelectDevices(-1, audio, nullptr, index);
        ASSERT_TRUE(lib.Previewing());
        // Audio flows without a callback; it reaches one installed later.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        AudioLog log;
        g_audio = &log;
        lib.SetAudioCallback(&g_recorder);
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard lock(log.mutex);
            return log.samples.size() >= f.rate * f.channels / 2;
        }));
        lib.StopPreview();
        g_audio = nullptr;

        std::lock_guard lock(log.mutex);
        const auto& s = log.samples;
        int peak = 0, crossings = 0;
        const std::size_t frames = s.size() / f.channels;
        for (std::size_t i = 0; i < frames; ++i) {
            const int left = s[i * f.channels];
            peak = std::max(peak, std::abs(left));
            if (f.channels == 2) {
                ASSERT_EQ(s[i * 2 + 1], left);  // the tone is the same on both sides
            }
            if (i > 0 && (s[(i - 1) * f.channels] < 0) != (left < 0)) ++crossings;
        }
        EXPECT_GT(peak, 5000);  // not silence
        // Two zero crossings per period: the 440 Hz tone tells the sample rate.
        const double hertz = crossings / 2.0 * f.rate / static_cast<double>(frames);
        EXPECT_NEAR(hertz, 440.0, 440.0 * 0.05);
    }
}

int WhiteInCaptionArea(const std::uint8_t* bits, int width, int height);

// Whatever the capture format, a delivery format makes the callback receive
// the tone converted to it: at its rate (the tone keeps its 440 Hz when read
// at that rate) and channel count, in 16 bits. Without one, the capture
// format arrives as it is.
TEST_F(CapLibTest, AudioTapConvertsToTheDeliveryFormat) {
    struct Case {
        std::uint32_t captureRate;
        std::uint16_t captureChannels;
        std::uint16_t captureBits;
        std::uint32_t rate;  // delivered; 0 = no delivery format
        std::uint16_t channels;
        bool setWhileRunning;
    };
    const Case cases[] = {
        {8000, 1, 8, 44100, 2, true},
        {48000, 2, 16, 22050, 1, false},
        {16000, 1, 16, 0, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.captureRate);
        CapLib lib;
        lib.wantPreview = true;
        const int audio = LastAudio(lib);
        const int index = FormatIndex(lib, audio, c.captureRate, c.captureChannels, c.captureBits);
        ASSERT_GE(index, 0);
        WAVEFORMATEX pcm{};
        pcm.wFormatTag = WAVE_FORMAT_PCM;
        pcm.nChannels = c.channels;
        pcm.nSamplesPerSec = c.rate;
        pcm.wBitsPerSample = 16;
        pcm.nBlockAlign = static_cast<std::uint16_t>(c.channels * 2);
        pcm.nAvgBytesPerSec = pcm.nBlockAlign * c.rate;
        const WAVEFORMATEX* wanted = c.rate ? &pcm : nullptr;
        if (!c.setWhileRunning) {
            ASSERT_EQ(lib.SetAudioDeliveryFormat(wanted), 1);
        }
        lib.SelectDevices(-1, audio, nullptr, index);
        ASSERT_TRUE(lib.Previewing());
        if (c.setWhileRunning) {
            ASSERT_EQ(lib.SetAudioDeliveryFormat(wanted), 1);
        }
        ASSERT_TRUE(lib.Previewing());

        const std::uint32_t rate = c.rate ? c.rate : c.captureRate;
        const std::uint16_t channels = c.rate ? c.channels : c.captureChannels;
        AudioLog log;
        g_audio = &log;
        lib.SetAudioCallback(&g_recorder);
        ASSERT_TRUE(WaitUntil([&] {
            std::lock_guard lock(log.mutex);
            return log.samples.size() >= rate * channels;
        }));
        lib.StopPreview();
        g_audio = nullptr;

        std::lock_guard lock(log.mutex);
        const auto& s = log.samples;
        if (c.rate == 0) continue;  // 16-bit capture without conversion: checked above
        EXPECT_EQ(log.bytes % (channels * 2), 0);
        int peak = 0, crossings = 0;
        const std::size_t frames = s.size() / channels;
        for (std::size_t i = 0; i < frames; ++i) {
            const int left = s[i * channels];
            peak = std::max(peak, std::abs(left));
            if (channels == 2) {
                ASSERT_NEAR(s[i * 2 + 1], left, 256);  // the same tone on both sides
            }
            if (i > 0 && (s[(i - 1) * channels] < 0) != (left < 0)) ++crossings;
        }
        EXPECT_GT(peak, 5000);
        const double hertz = crossings / 2.0 * rate / static_cast<double>(frames);
        EXPECT_NEAR(hertz, 440.0, 440.0 * 0.05);
    }
    EXPECT_EQ(boxes_.Count(), 0u);
}

// A camera format and picture controls set for the settings pages stay with
// the device when the graph is made anew (another audio format), and a fresh
// device list starts from the device's own defaults.
TEST_F(CapLibTest, DeviceSettingsOutliveARebuildOfTheGraph) {
    HeadlessSurface surface;  // outlives the library, which clears it on closing
    {
        CaptionOverlay caption({false, "ON AIR"});
        CapLib lib;
        lib.wantPreview = true;
        const int audio = LastAudio(lib);
        lib.SelectDevices(LastVideo(lib), audio, &surface, FormatIndex(lib, audio, 8000, 1, 16));
        ASSERT_TRUE(lib.Previewing());
        lib.SetFrameCallback(&caption);
        ASSERT_EQ(lib.SetVideoFormat(lib.GetVideoFormats()[2]), 1);
        ASSERT_EQ(lib.VideoCaptureFilter()->SetControl("BRIGHTNESS", 500), S_OK);
        ASSERT_EQ(lib.AudioCaptureFilter()->SetControl("Volume", 30), S_OK);
        // Held, so that the new filter cannot take the old one's address.
        const RefPtr<CaptureFilter> before(lib.VideoCaptureFilter());

        lib.SelectDevices(LastVideo(lib), audio, &surface, FormatIndex(lib, audio, 44100, 2, 16));
        ASSERT_TRUE(lib.Previewing());
        EXPECT_NE(lib.VideoCaptureFilter(), before.Get());  // made anew
        EXPECT_EQ(lib.GetFrameWidth(), 1280);
        EXPECT_TRUE(FrameLengthBecomes(lib, DibStride(1280) * 720));
        // The caption set before goes on through the rebuilds.
        std::vector<std::uint8_t> shown;
        int w = 0, h = 0;
        EXPECT_TRUE(WaitUntil([&] {
            return surface.LastFrame(&shown, &w, &h) && w == 1280 &&
                   WhiteInCaptionArea(shown.data(), w, h) > 0;
        }));
        std::vector<DeviceControl> controls;
        ASSERT_EQ(lib.VideoCaptureFilter()->GetControls(&controls), S_OK);
        for (const auto& control : controls) {
            if (control.name == "BRIGHTNESS") {
                EXPECT_EQ(control.value, 500);
            }
        }
        ASSERT_EQ(lib.AudioCaptureFilter()->GetControls(&controls), S_OK);
        ASSERT_EQ(controls.size(), 1u);
        EXPECT_EQ(controls[0].value, 30);
        lib.SetFrameCallback(nullptr);
        lib.Close();
    }
    CapLib fresh;
    fresh.wantPreview = true;
    fresh.SelectDevices(LastVideo(fresh), -1, &surface, 0);
    EXPECT_EQ(fresh.GetFrameWidth(), 320);
    fresh.Close();
    EXPECT_EQ(boxes_.Count(), 0u);
}

// Pure white pixels in the top rows of the picture as shown.
int WhiteInCaptionArea(const std::uint8_t* bits, int width, int height) {
    int count = 0;
    const int stride = DibStride(width);
    for (int y = 0; y < 24 && y < height; ++y) {
        const std::uint8_t* row = bits + static_cast<std::size_t>(height - 1 - y) * stride;
        for (int x = 0; x < 120 && x < width; ++x)
            if (row[x * 3] == 255 && row[x * 3 + 1] == 255 && row[x * 3 + 2] == 255) ++count;
    }
    return count;
}

TEST_F(CapLibTest, CaptionReachesPreviewAndLockedFramePassesWithout) {
    CaptionOverlay caption({false, "ON AIR"});
    HeadlessSurface surface;  // outlives the library, which clears it on closing
    CapLib lib;
    lib.wantPreview = true;
    lib.SelectDevices(LastVideo(lib), -1, &surface, 0);
    ASSERT_TRUE(lib.Previewing());
    lib.SetFrameCallback(&caption);

    const int length = lib.GetFrameLength();
    ASSERT_EQ(length, DibStride(320) * 240);
    // Wait until a captioned frame has been shown.
    std::vector<std::uint8_t> shown;
    int w = 0, h = 0;
    ASSERT_TRUE(WaitUntil([&] {
        return surface.LastFrame(&shown, &w, &h) && WhiteInCaptionArea(shown.data(), w, h) > 0;
    }));

    std::uint8_t* pixels = lib.LockFrame();
    ASSERT_NE(pixels, nullptr);
    EXPECT_GT(WhiteInCaptionArea(pixels, 320, 240), 0);
    const std::vector<std::uint8_t> locked(pixels, pixels + length);
    const auto seen = surface.FrameCount();
    ASSERT_TRUE(WaitUntil([&] { return surface.FrameCount() > seen + 3; }));
    ASSERT_TRUE(surface.LastFrame(&shown, &w, &h));
    EXPECT_EQ(WhiteInCaptionArea(shown.data(), w, h), 0);  // passed on without caption
    EXPECT_EQ(0, std::memcmp(pixels, locked.data(),
                             locked.size()));  // the moving picture did not reach them
    lib.UnlockFrame();

    // Date and time instead of the text: still a caption.
    caption.SetCaption({true, "ON AIR"});
    const auto after = surface.FrameCount();
    ASSERT_TRUE(WaitUntil([&] { return surface.FrameCount() > after + 2; }));
    ASSERT_TRUE(surface.LastFrame(&shown, &w, &h));
    EXPECT_GT(WhiteInCaptionArea(shown.data(), w, h), 0);

    // An empty text with date and time off draws nothing.
    caption.SetCaption({false, ""});
    const auto plain = surface.FrameCount();
    ASSERT_TRUE(WaitUntil([&] { return surface.FrameCount() > plain + 2; }));
    ASSERT_TRUE(surface.LastFrame(&shown, &w, &h));
    EXPECT_EQ(WhiteInCaptionArea(shown.data(), w, h), 0);

    // A new camera format while running: the frame buffer follows it.
    RefPtr<StreamConfig> config = RefPtr<StreamConfig>::Adopt(
        new StreamConfig(RefPtr<CaptureFilter>(lib.VideoCaptureFilter())));
    MediaType vga;
    ASSERT_EQ(config->GetStreamCaps(1, &vga), S_OK);
    ASSERT_EQ(config->SetFormat(vga), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return lib.GetFrameLength() == DibStride(640) * 480; }));
    EXPECT_EQ(lib.GetFrameWidth(), 640);
    EXPECT_EQ(lib.GetFrameHeight(), 480);
    ASSERT_NE(lib.GetFrameDC(), nullptr);
    lib.SetFrameCallback(nullptr);
    lib.Close();
    EXPECT_EQ(boxes_.Count(), 0u);
}

TEST_F(CapLibTest, VideoFormatChangeRebuildsTheGraph) {
    HeadlessSurface surface;  // outlives the library, which clears it on closing
    AudioLog logs[3];
    CapLib lib;
    lib.wantPreview = true;
    lib.SelectDevices(LastVideo(lib), LastAudio(lib), &surface,
                      FormatIndex(lib, LastAudio(lib), 8000, 1, 16));
    ASSERT_TRUE(lib.Previewing());
    const auto formats = lib.GetVideoFormats();
    ASSERT_EQ(formats.size(), 3u);
    const auto names = lib.GraphFilterNames();

    struct Step {
        int format;
        int width, height;
    };
    AudioLog* log = logs;
    for (Step step : {Step{1, 640, 480}, Step{2, 1280, 720}, Step{0, 320, 240}}) {
        SCOPED_TRACE(step.width);
        ASSERT_EQ(lib.SetVideoFormat(formats[static_cast<std::size_t>(step.format)]), 1);
        ASSERT_TRUE(lib.Previewing());
        EXPECT_EQ(lib.GraphFilterNames(), names);  // the same graph again, nothing left behind
        EXPECT_EQ(lib.GetFrameWidth(), step.width);
        EXPECT_TRUE(FrameLengthBecomes(lib, DibStride(step.width) * step.height));
        const auto seen = surface.FrameCount();
        EXPECT_TRUE(WaitUntil([&] { return surface.FrameCount() > seen; }));
        g_audio = log;
        lib.SetAudioCallback(&g_recorder);  // the audio tap is new after a rebuild
        EXPECT_TRUE(WaitUntil([&] { return log->chunks > 1; }));
        lib.SetAudioCallback(nullptr);
        g_audio = nullptr;
        ++log;
    }
    // A format the camera cannot take: refused, and the preview runs on.
    EXPECT_EQ(lib.SetVideoFormat(VideoMediaType(SubType::YUY2, 0, 0, 30, 1)), 0);
    EXPECT_TRUE(lib.Previewing());
    EXPECT_EQ(lib.GetFrameLength(), DibStride(320) * 240);
    EXPECT_EQ(boxes_.Count(), 0u);
}

// A program started on the test camera captures the size that
// LUMACAST_TEST_CAMERA_SIZE puts first; the list keeps every size once.
TEST_F(CapLibTest, TestCameraStartsAtTheSizeAskedFor) {
    struct Case {
        const char* size;
        int width, height;
        std::size_t formats;
    };
    for (const Case c : {Case{"640x480", 640, 480, 3}, Case{"800x600", 800, 600, 4},
                         Case{"12x9000", 320, 240, 3}}) {
        SCOPED_TRACE(c.size);
        setenv("LUMACAST_TEST_CAMERA_SIZE", c.size, 1);
        SetTestDevices(DefaultTestDevices());
        HeadlessSurface surface;
        {
            CapLib lib;
            lib.wantPreview = true;
            lib.SelectDevices(LastVideo(lib), -1, &surface, 0);
            ASSERT_TRUE(lib.Previewing());
            EXPECT_EQ(lib.GetFrameWidth(), c.width);
            EXPECT_EQ(lib.GetFrameHeight(), c.height);
            EXPECT_EQ(lib.GetVideoFormats().size(), c.formats);
            lib.Close();
        }
        unsetenv("LUMACAST_TEST_CAMERA_SIZE");
    }
}

TEST_F(CapLibTest, CompressedCameraIsDecoded) {
    TestDevice camera = DefaultTestDevices()[0];
    camera.compressed = true;
    SetTestDevices({camera});
    HeadlessSurface surface;  // outlives the library, which clears it on closing
    CapLib lib;
    lib.wantPreview = true;
    lib.SelectDevices(LastVideo(lib), -1, &surface, 0);
    ASSERT_TRUE(lib.Previewing());
    ASSERT_FALSE(lib.GetVideoFormats().empty());
    EXPECT_EQ(lib.GetVideoFormats()[0].subtype, SubType::MJPG);
    EXPECT_TRUE(FrameLengthBecomes(lib, DibStride(320) * 240));
    EXPECT_TRUE(WaitUntil([&] { return surface.FrameCount() > 2; }));
    ASSERT_EQ(lib.SetVideoFormat(lib.GetVideoFormats()[1]), 1);
    EXPECT_EQ(lib.GetFrameLength(), DibStride(640) * 480);
    EXPECT_EQ(boxes_.Count(), 0u);
}

struct FailureCase {
    const char* name;
    TestDevice camera;
    TestDevice microphone;
    int formatIndex;
    const char* message;
    bool fatal;
    bool audioRuns;
    // The microphone captures in its format nearest to 16-bit stereo at
    // 44100 Hz, as the one named cannot be set.
    bool nearest = false;
};

class Failures : public CapLibTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(Failures, ShowTheirMessage) {
    const FailureCase c = GetParam();
    SetTestDevices({c.camera, c.microphone});
    AudioLog log;
    CapLib lib;
    lib.wantPreview = true;
    g_audio = &log;
    lib.SelectDevices(LastVideo(lib), LastAudio(lib), nullptr, c.formatIndex);
    const auto boxes = boxes_.Boxes();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes[0].text, c.message);
    EXPECT_EQ(boxes[0].caption, "Error");
    EXPECT_EQ(boxes[0].type & MB_ICONMASK, MB_ICONERROR);
    if (c.fatal) {
        EXPECT_TRUE(lib.GraphFilterNames().empty());  // a fatal failure frees every filter
        EXPECT_FALSE(lib.Previewing());
    } else {
        EXPECT_TRUE(lib.Previewing());
        EXPECT_EQ(lib.GetFrameLength(), DibStride(320) * 240);
    }
    if (c.audioRuns) {
        lib.SetAudioCallback(&g_recorder);
        EXPECT_TRUE(WaitUntil([&] { return log.chunks > 2; }));
        lib.SetAudioCallback(nullptr);
    }
    if (c.nearest) {
        const MediaType format = lib.AudioCaptureFilter()->CurrentFormat();
        ASSERT_NE(format.Wave(), nullptr);
        EXPECT_EQ(std::uint32_t{format.Wave()->nSamplesPerSec}, 44100u);
        EXPECT_EQ(format.Wave()->nChannels, 2);
        EXPECT_EQ(format.Wave()->wBitsPerSample, 16);
    }
    lib.Close();
}

TestDevice Camera(bool canBind = true) {
    TestDevice d = DefaultTestDevices()[0];
    d.canBind = canBind;
    return d;
}
TestDevice Microphone(bool canBind = true, bool hasStreamConfig = true) {
    TestDevice d = DefaultTestDevices()[1];
    d.canBind = canBind;
    d.hasStreamConfig = hasStreamConfig;
    return d;
}

INSTANTIATE_TEST_SUITE_P(
    CapLib, Failures,
    ::testing::Values(FailureCase{"VideoCannotBind", Camera(false), Microphone(), 0,
                                  "Cannot create video capture filter", true, false},
                      FailureCase{"AudioCannotBind", Camera(), Microphone(false), 0,
                                  "Cannot create audio capture filter", false, false},
                      FailureCase{"NoAudioStreamConfig", Camera(), Microphone(true, false), 0,
                                  "Cannot find ACapture:IAMStreamConfig", false, true},
                      FailureCase{"FormatIndexBeyondList", Camera(), Microphone(), 28,
                                  "Cannot GetStreamCaps", false, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- devices that go, fail and come back ----------------------------------

// The frame the encoder would take, with its middle rows' white pixels (the
// "No signal" of a card) and whether it is one colour around them.
struct CardLook {
    int whiteInMiddle = 0;
    bool plainBelow = true;
};
CardLook LookAtFrame(CapLib& lib) {
    CardLook look;
    const int width = lib.GetFrameWidth(), height = lib.GetFrameHeight();
    const std::uint8_t* bits = lib.LockFrame();
    if (bits) {
        const int stride = DibStride(width);
        // Rows are bottom-up: the picture's middle band, then a band near its
        // bottom, away from the text.
        for (int y = height * 2 / 5; y < height * 3 / 5; ++y)
            for (int x = 0; x < width; ++x) {
                const std::uint8_t* p = bits + y * stride + x * 3;
                look.whiteInMiddle += p[0] > 200 && p[1] > 200 && p[2] > 200;
            }
        const std::uint8_t* corner = bits + 5 * stride;
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c)
                look.plainBelow = look.plainBelow && std::abs(corner[x * 3 + c] - corner[c]) < 8;
    }
    lib.UnlockFrame();
    return look;
}

// A chosen device that goes away gives way, in the running graph, to its
// stand-in of the same format while the other device runs on; this is told
// once, and the device is taken up again when it comes back.
TEST_F(CapLibTest, UnpluggedDevicesGiveWayToStandInsAndComeBack) {
    using Kind = CapLib::DeviceEvent::Kind;
    for (const bool camera : {true, false}) {
        SCOPED_TRACE(camera ? "camera" : "microphone");
        const std::vector<TestDevice> both = DefaultTestDevices();
        const std::string& name = both[camera ? 0 : 1].name;
        SetTestDevices(both);
        HeadlessSurface surface;  // outlives the library, which clears it on closing
        AudioLog log;
        CapLib lib;
        lib.wantPreview = true;
        const int audio = LastAudio(lib);
        lib.SelectDevices(LastVideo(lib), audio, &surface, FormatIndex(lib, audio, 44100, 2, 16));
        g_audio = &log;
        lib.SetAudioCallback(&g_recorder);
        const auto bothRun = [&] {
            const auto frames = surface.FrameCount();
            const int chunks = log.chunks;
            return WaitUntil(
                [&] { return surface.FrameCount() > frames + 3 && log.chunks > chunks + 3; });
        };
        ASSERT_TRUE(bothRun());
        EXPECT_TRUE(lib.CheckDevices().empty());
        const int length = lib.GetFrameLength();
        EXPECT_FALSE(LookAtFrame(lib).plainBelow) << "a card before any device went";

        SetTestDevices({both[camera ? 1 : 0]});
        auto events = lib.CheckDevices();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Lost);
        EXPECT_EQ(events[0].video, camera);
        EXPECT_EQ(events[0].name, name);
        EXPECT_EQ(camera ? lib.VideoStandingIn() : lib.AudioStandingIn(), true);
        EXPECT_TRUE(lib.CheckDevices().empty()) << "told twice";
        ASSERT_TRUE(bothRun());
        EXPECT_EQ(lib.GetFrameLength(), length) << "the picture changed its size";
        if (camera) {
            const CardLook card = LookAtFrame(lib);
            EXPECT_GT(card.whiteInMiddle, 100) << "no \"No signal\" on the card";
            EXPECT_TRUE(card.plainBelow);
        } else {
            EXPECT_EQ(log.lastPeak, 0) << "sound where the microphone was";
        }

        // Taken up once it has been listed for a while, not at the first look.
        SetTestDevices(both);
        EXPECT_TRUE(lib.CheckDevices().empty()) << "taken up before it settled";
        events.clear();
        ASSERT_TRUE(WaitUntil([&] {
            for (auto& event : lib.CheckDevices()) events.push_back(event);
            return !events.empty();
        }));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, Kind::Back);
        EXPECT_EQ(events[0].name, name);
        EXPECT_FALSE(camera ? lib.VideoStandingIn() : lib.AudioStandingIn());
        ASSERT_TRUE(bothRun());
        if (camera) {
            EXPECT_FALSE(LookAtFrame(lib).plainBelow) << "still the card";
        } else {
            EXPECT_GT(log.lastPeak, 5000) << "no tone once the microphone is back";
        }
        EXPECT_EQ(boxes_.Count(), 0u);
        lib.SetAudioCallback(nullptr);
        lib.Close();
        g_audio = nullptr;
    }
}

// A device that another program holds fails as it starts: it gives way to
// its stand-in, told as busy and named, and the other device runs.
TEST_F(CapLibTest, ABusyDeviceIsToldAndTheOtherRuns) {
    for (const bool camera : {true, false}) {
        SCOPED_TRACE(camera ? "camera" : "microphone");
        std::vector<TestDevice> devices = DefaultTestDevices();
        devices[camera ? 0 : 1].busy = true;
        SetTestDevices(devices);
        HeadlessSurface surface;  // outlives the library, which clears it on closing
        AudioLog log;
        CapLib lib;
        lib.wantPreview = true;
        g_audio = &log;
        const int audio = LastAudio(lib);
        lib.SelectDevices(LastVideo(lib), audio, &surface, FormatIndex(lib, audio, 44100, 2, 16));
        lib.SetAudioCallback(&g_recorder);
        std::vector<CapLib::DeviceEvent> events;
        ASSERT_TRUE(WaitUntil([&] {
            for (auto& event : lib.CheckDevices()) events.push_back(event);
            return !events.empty();
        }));
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].kind, CapLib::DeviceEvent::Kind::Busy);
        EXPECT_EQ(events[0].name, devices[camera ? 0 : 1].name);
        EXPECT_TRUE(camera ? lib.VideoStandingIn() : lib.AudioStandingIn());
        EXPECT_TRUE(lib.Previewing());
        const auto frames = surface.FrameCount();
        const int chunks = log.chunks;
        EXPECT_TRUE(WaitUntil(
            [&] { return surface.FrameCount() > frames + 3 && log.chunks > chunks + 3; }));
        if (!camera) {
            EXPECT_EQ(log.lastPeak, 0);
        }
        lib.SetAudioCallback(nullptr);
        lib.Close();
        g_audio = nullptr;
    }
}

}  // namespace
