// The program on devices that the system lists as it lists real ones: a
// PipeWire desktop of the test's own with a virtual camera and microphone,
// and no test devices. lumasrv --headless broadcasts them (ffmpeg decodes
// what a viewer gets), tells on standard error when one is unplugged, goes
// on with a card or silence in its place and takes it up again when it is
// plugged back in; the desktop program says so in a box of its window.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/Commands.h"
#include "tests/support/DecodedStream.h"
#include "tests/support/PipeWireStack.h"
#include "tests/support/Processes.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Skip.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/VirtualDisplay.h"
#include "tests/support/Wait.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

using testsupport::PipeWireStack;
using testsupport::ReadWholeFile;

constexpr char kCamera[] = "Test USB Camera";
constexpr char kMicrophone[] = "Test Headset Mic";

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t count = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

// A viewer joins at a key frame with about three seconds of pictures after
// it (what players on FFmpeg read before they start, at 10 frames a
// second), and the key frames come up to three seconds apart: what was sent
// before it came opens what it decodes. Of nine seconds decoded, the last
// two are what is sent now.
constexpr int kDecoded = 9;
constexpr std::size_t kSecond = 44100;
constexpr std::size_t kNowFrames = 15;  // the last second and a half at 10 frames a second
constexpr std::size_t kQuarter = kSecond / 4;

class RealDevicesTest : public ::testing::Test {
  protected:
    void SetUp() override {
        program_ = testsupport::CopyStagedProgram(folder_.Path());
        ASSERT_FALSE(program_.empty()) << "the staged program folder is missing";
        unsetenv("LUMACAST_FAKE_DEVICES");
    }

    void TearDown() override {
        if (viewer_ > 0) testsupport::StopProcess(viewer_);
        if (pid_ > 0) testsupport::StopProcess(pid_);
        stack_.reset();
    }

    // A desktop of the test's own with a camera and a microphone on it.
    void StartDesktop(PipeWireStack::Options options, PipeWireStack::CameraKind camera) {
        stack_ = std::make_unique<PipeWireStack>(options);
        if (!stack_->Ok()) {
            // Once in CI, beside another test's desktop, a fresh stack's
            // pipewire-pulse never answered within 30 s: the desktop is
            // brought up anew once, and both reasons are told if that fails.
            const std::string first = stack_->Error();
            stack_ = std::make_unique<PipeWireStack>(options);
            ASSERT_TRUE(stack_->Ok()) << first << "; then: " << stack_->Error();
        }
        ASSERT_TRUE(stack_->AddCamera("lumatest_camera", kCamera, camera));
        ASSERT_TRUE(stack_->AddMicrophone("lumatest_microphone", kMicrophone));
        stack_->Enter();
    }

    // Chooses the camera and the microphone by name, with its 44100 Hz
    // stereo 16-bit format, the way Server setup does, and saves the
    // settings on free ports. What the lists showed is kept for the test.
    void Configure(bool autoStart = false) {
        SetProgramPath((program_ / "lumasrv.bin").string());
        g_settings = AppSettings{};
        {
            CapLib devices;
            for (int i = 0; i < devices.GetVideoDeviceCount(); ++i) {
                videoNames_.push_back(devices.GetVideoDeviceName(i));
                if (videoNames_.back() == kCamera) g_settings.videoDeviceIndex = i;
            }
            for (int i = 0; i < devices.GetAudioDeviceCount(); ++i) {
                audioNames_.push_back(devices.GetAudioDeviceName(i));
                if (audioNames_.back() != kMicrophone) continue;
                g_settings.audioDeviceIndex = i;
                std::unique_ptr<WAVEFORMATEX[]> formats;
                const int count = devices.GetAudioCaptureFormats(i, &formats);
                microphoneFormats_.assign(formats.get(), formats.get() + count);
                for (int f = 0; f < count; ++f) {
                    if (formats[f].nSamplesPerSec == 44100 && formats[f].nChannels == 2 &&
                        formats[f].wBitsPerSample == 16)
                        g_settings.audioCaptureFormatIndex = f;
                }
            }
            devices.Close();
        }
        g_settings.httpPort = testsupport::FreeTcpPort();
        g_settings.asfPort = testsupport::FreeTcpPort();
        g_settings.videoFramesPerSecond = 10;
        g_settings.videoBitrateKbps = 1500;
        g_settings.autoStartServer = autoStart ? 1 : 0;
        ASSERT_TRUE(SaveConfig());
        SetProgramPath("");
        const auto listed = [](const std::vector<std::string>& names) {
            std::string all;
            for (const std::string& name : names) all += " \"" + name + "\"";
            return all;
        };
        ASSERT_NE(g_settings.videoDeviceIndex, -1)
            << "the camera is not listed:" << listed(videoNames_);
        ASSERT_NE(g_settings.audioDeviceIndex, -1)
            << "the microphone is not listed:" << listed(audioNames_);
    }

    // Starts the program on the desktop, standard error into a file, and
    // (headless) waits for the line naming the stream.
    void Launch(bool headless, const std::string& display = "") {
        std::vector<std::string> environment;
        for (const std::string& entry : stack_->Environment()) {
            if (entry.rfind("DISPLAY=", 0) == 0 || entry.rfind("QT_QPA_PLATFORM=", 0) == 0)
                continue;
            environment.push_back(entry);
        }
        environment.push_back("XDG_STATE_HOME=" + (folder_.Path() / "state").string());
        if (!display.empty()) environment.push_back("DISPLAY=" + display);
        std::vector<char*> envp;
        for (std::string& entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
        const std::string path = (program_ / "lumasrv").string();
        std::string flag = "--headless";
        std::vector<char*> argv = {const_cast<char*>(path.c_str())};
        if (headless) argv.push_back(flag.data());
        argv.push_back(nullptr);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        UniqueFd reader(out[0]);
        UniqueFd writer(out[1]);
        errors_ = folder_.Path() / "stderr.txt";
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, program_.c_str());
        posix_spawn_file_actions_adddup2(&actions, writer.Get(), STDOUT_FILENO);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errors_.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_EQ(posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv.data(), envp.data()), 0);
        posix_spawn_file_actions_destroy(&actions);
        writer.Reset();
        if (!headless) return;
        std::string printed;
        char buffer[1024];
        while (printed.find("/MyFile.wma\n") == std::string::npos) {
            pollfd event{reader.Get(), POLLIN, 0};
            ASSERT_GT(poll(&event, 1, 30000), 0) << "no stream address: " << Errors();
            const ssize_t got = read(reader.Get(), buffer, sizeof buffer);
            ASSERT_GT(got, 0) << "the program ended early: " << Errors();
            printed.append(buffer, static_cast<std::size_t>(got));
        }
    }

    std::string Errors() const { return ReadWholeFile(errors_); }
    std::string Url() const {
        return "http://127.0.0.1:" + std::to_string(g_settings.asfPort) + "/MyFile.wma";
    }
    bool WaitForNotice(const std::string& text) {
        return testsupport::WaitUntil([&] { return Errors().find(text) != std::string::npos; },
                                      std::chrono::seconds(20));
    }
    void Decode(int seconds, testsupport::DecodedStream* stream,
                const testsupport::DecodeRequest& request = {"crop=320:240:0:0", 320, 240}) {
        ASSERT_TRUE(testsupport::DecodeStream(Url(), seconds, folder_.Path(), request, stream))
            << Errors();
        ASSERT_GE(stream->FrameCount(), 2 * kNowFrames) << Errors();
        ASSERT_GT(stream->samples.size(), 3 * kSecond) << Errors();
    }

    testsupport::TempFolder folder_{"lumadevices"};
    fs::path program_;
    fs::path errors_;
    std::unique_ptr<PipeWireStack> stack_;
    std::vector<std::string> videoNames_;
    std::vector<std::string> audioNames_;
    std::vector<WAVEFORMATEX> microphoneFormats_;
    pid_t pid_ = -1;
    pid_t viewer_ = -1;
};

// The quarters of a second of the last two seconds, each as loud as it is
// and as much of it at 440 Hz: the purest one tells. (A sound server on a
// busy machine drops samples now and then, which a viewer hears as clicks;
// the stand-in's silence has no quarter of any tone.)
testsupport::Tone EndingTone(const testsupport::DecodedStream& stream) {
    testsupport::Tone purest;
    for (std::size_t at = stream.samples.size() - 2 * kSecond;
         at + kQuarter <= stream.samples.size(); at += kQuarter) {
        const testsupport::Tone quarter = testsupport::MeasureTone(stream.samples, at, kQuarter);
        if (quarter.share >= purest.share) purest = quarter;
    }
    return purest;
}

void ExpectTone(const testsupport::Tone& tone) {
    EXPECT_GT(tone.rms, 1000.0);
    EXPECT_GT(tone.share, 0.5) << "not the tone; its pitch reads " << tone.hertz << " Hz";
}

// The caption's white in the frames sent now, in the best of them (the
// encoder blurs it in some).
int Caption(const testsupport::DecodedStream& stream) {
    int caption = 0;
    for (std::size_t frame = stream.FrameCount() - kNowFrames; frame < stream.FrameCount(); ++frame)
        caption = std::max(caption, stream.WhitePixels(frame, 2, 2, 120, 14));
    return caption;
}

// The picture moves, the caption is in its corner, the sound is the tone.
void ExpectCameraAndTone(const testsupport::DecodedStream& stream) {
    const std::size_t last = stream.FrameCount() - 1;
    EXPECT_GT(Caption(stream), 5) << "no caption";
    EXPECT_EQ(stream.WhitePixels(last, 2, 40, 120, 80), 0) << "white where the picture is";
    EXPECT_GT(stream.Difference(last - kNowFrames + 1, last, 0, 40, 320, 240), 2.0)
        << "the picture stands still";
    ExpectTone(EndingTone(stream));
}

TEST_F(RealDevicesTest, BothCameraKindsAndBothWaysToTheMicrophoneBroadcast) {
    const struct {
        const char* name;
        PipeWireStack::CameraKind camera;
        bool pulse;  // the microphone comes through PulseAudio, else PipeWire
    } cases[] = {
        {"raw camera, microphone through PulseAudio", PipeWireStack::CameraKind::Raw, true},
        {"MJPEG camera, microphone through PipeWire", PipeWireStack::CameraKind::Mjpeg, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(StartDesktop({.pulse = c.pulse}, c.camera));
        ASSERT_NO_FATAL_FAILURE(Configure());
        // One entry per device, though two providers list the microphone.
        EXPECT_EQ(std::count(videoNames_.begin(), videoNames_.end(), kCamera), 1);
        EXPECT_EQ(std::count(audioNames_.begin(), audioNames_.end(), kMicrophone), 1);
        // The microphone's own formats, 16-bit stereo at every usual rate;
        // PipeWire's provider names no sample format for it, so no 8-bit
        // one is offered.
        ASSERT_FALSE(microphoneFormats_.empty());
        const auto bits = [&](int size) {
            return std::count_if(microphoneFormats_.begin(), microphoneFormats_.end(),
                                 [&](const WAVEFORMATEX& w) {
                                     return w.wBitsPerSample == size && w.nChannels == 2;
                                 });
        };
        EXPECT_EQ(bits(16), 7);
        if (!c.pulse) {
            EXPECT_EQ(bits(8), 0);
        }

        ASSERT_NO_FATAL_FAILURE(Launch(true));
        testsupport::DecodedStream stream;
        ASSERT_NO_FATAL_FAILURE(Decode(kDecoded, &stream));
        ExpectCameraAndTone(stream);
        testsupport::StopProcess(pid_);
        pid_ = -1;
        EXPECT_EQ(Count(Errors(), "lumasrv:"), 0u) << Errors();
        stack_.reset();
        videoNames_.clear();
        audioNames_.clear();
    }
}

TEST_F(RealDevicesTest, UnpluggedDevicesAreToldAndTakenUpAgainWhileTheStreamGoesOn) {
    ASSERT_NO_FATAL_FAILURE(StartDesktop({}, PipeWireStack::CameraKind::Raw));
    ASSERT_NO_FATAL_FAILURE(Configure());
    ASSERT_NO_FATAL_FAILURE(Launch(true));

    // A viewer that stays from start to end, keeping the sound.
    const fs::path kept = folder_.Path() / "kept.pcm";
    const std::string command = "exec ffmpeg -v error -y -i '" + Url() +
                                "' -map 0:a -ac 1 -ar 44100 -f s16le '" + kept.string() +
                                "' -map 0:v -f null - < /dev/null";
    const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
    ASSERT_EQ(posix_spawnp(&viewer_, "sh", nullptr, nullptr, const_cast<char**>(argv), environ), 0);
    const auto keptGrows = [&] {
        const auto before = fs::exists(kept) ? fs::file_size(kept) : 0;
        return testsupport::WaitUntil(
            [&] { return fs::exists(kept) && fs::file_size(kept) > before + 44100; },
            std::chrono::seconds(20));
    };
    ASSERT_TRUE(keptGrows()) << Errors();

    // The device watch follows PipeWire on one connection of its own: while
    // nothing changes, no client comes and goes.
    std::string events;
    stack_->Run("timeout 4 pw-mon -N 2>&1", &events);
    EXPECT_NE(events.find("added:"), std::string::npos) << "pw-mon saw nothing: " << events;
    EXPECT_EQ(Count(events, "removed:"), 0u) << events;

    testsupport::DecodedStream stream;
    stack_->RemoveMicrophone("lumatest_microphone");
    ASSERT_TRUE(WaitForNotice("The microphone \"Test Headset Mic\" was lost.")) << Errors();
    ASSERT_NO_FATAL_FAILURE(Decode(kDecoded, &stream));
    EXPECT_LT(
        testsupport::MeasureTone(stream.samples, stream.samples.size() - 2 * kSecond, 2 * kSecond)
            .rms,
        50.0)
        << "the microphone is gone, yet there is sound";
    EXPECT_GT(stream.Difference(stream.FrameCount() - kNowFrames, stream.FrameCount() - 1, 0, 40,
                                320, 240),
              2.0);
    EXPECT_TRUE(keptGrows());

    ASSERT_TRUE(stack_->AddMicrophone("lumatest_microphone", kMicrophone));
    ASSERT_TRUE(WaitForNotice("The microphone \"Test Headset Mic\" is back.")) << Errors();
    ASSERT_NO_FATAL_FAILURE(Decode(kDecoded, &stream));
    ExpectCameraAndTone(stream);

    stack_->RemoveCamera("lumatest_camera");
    ASSERT_TRUE(WaitForNotice("The camera \"Test USB Camera\" was lost.")) << Errors();
    // The card, whole: the picture at its size, still, "No signal" written
    // across its middle, the caption in its corner, the tone beside it.
    ASSERT_NO_FATAL_FAILURE(Decode(kDecoded, &stream, {"scale=640:480", 640, 480}));
    const std::size_t last = stream.FrameCount() - 1;
    EXPECT_LT(stream.Difference(last - 9, last, 0, 40, 640, 180), 2.0);
    EXPECT_LT(stream.Luma(last, 100, 400), 60);
    EXPECT_GT(stream.WhitePixels(last, 160, 200, 480, 280), 50) << "no \"No signal\"";
    EXPECT_GT(Caption(stream), 5) << "no caption";
    ExpectTone(EndingTone(stream));
    EXPECT_TRUE(keptGrows());

    ASSERT_TRUE(stack_->AddCamera("lumatest_camera", kCamera, PipeWireStack::CameraKind::Raw));
    ASSERT_TRUE(WaitForNotice("The camera \"Test USB Camera\" is back.")) << Errors();
    ASSERT_NO_FATAL_FAILURE(Decode(kDecoded, &stream));
    ExpectCameraAndTone(stream);
    EXPECT_TRUE(keptGrows());

    // Each thing told once; the viewer kept from start to end heard the
    // tone, then silence, then the tone again.
    const std::string errors = Errors();
    SCOPED_TRACE(errors);
    EXPECT_EQ(Count(errors, "was lost"), 2u) << errors;
    EXPECT_EQ(Count(errors, "is back"), 2u) << errors;
    EXPECT_EQ(Count(errors, "cannot be used"), 0u) << errors;
    const std::string bytes = ReadWholeFile(kept);
    std::vector<std::int16_t> samples(bytes.size() / 2);
    std::copy_n(bytes.data(), samples.size() * 2, reinterpret_cast<char*>(samples.data()));
    // Quarters of a second, loud or silent; a stretch counts from a whole
    // second on.
    std::string quarters;
    for (std::size_t at = 1; at + kQuarter <= samples.size(); at += kQuarter)
        quarters += testsupport::MeasureTone(samples, at, kQuarter).rms > 1000.0 ? 'T' : 'S';
    std::string phases;
    for (std::size_t at = 0; at < quarters.size();) {
        std::size_t end = at;
        while (end < quarters.size() && quarters[end] == quarters[at]) ++end;
        if (end - at >= 4 && (phases.empty() || phases.back() != quarters[at]))
            phases += quarters[at];
        at = end;
    }
    EXPECT_NE(phases.find("TST"), std::string::npos) << quarters;
    EXPECT_EQ(waitpid(viewer_, nullptr, WNOHANG), 0) << "the kept viewer's stream ended";
}

TEST_F(RealDevicesTest, TheWindowSaysWhichDeviceWasLostAndTheProgramGoesOn) {
    testsupport::VirtualDisplay::Options options;
    options.windowManager = true;
    testsupport::VirtualDisplay display(options);
    if (!display.Ok())
        LUMACAST_SKIP() << "no X server for the desktop program: " << display.Error();
    ASSERT_NO_FATAL_FAILURE(StartDesktop({}, PipeWireStack::CameraKind::Mjpeg));
    ASSERT_NO_FATAL_FAILURE(Configure(true));
    ASSERT_NO_FATAL_FAILURE(Launch(false, display.Display()));
    ASSERT_EQ(display.Run("timeout 30 xdotool search --sync --onlyvisible --name '^Lumacast!$'"), 0)
        << "the main window did not appear: " << Errors();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return fs::exists(program_ / "index.htm"); },
                                       std::chrono::seconds(20)))
        << "no broadcast started";

    stack_->RemoveCamera("lumatest_camera");
    ASSERT_EQ(display.Run("timeout 30 xdotool search --sync --onlyvisible --name "
                          "'^Capture devices$'"),
              0)
        << "no box told of the camera: " << Errors();

    ASSERT_TRUE(stack_->AddCamera("lumatest_camera", kCamera, PipeWireStack::CameraKind::Mjpeg));
    testsupport::DecodedStream stream;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            return testsupport::DecodeStream(Url(), 1, folder_.Path(),
                                             {"crop=320:240:0:0", 320, 240, false}, &stream) &&
                   stream.FrameCount() > 2 &&
                   stream.Difference(0, stream.FrameCount() - 1, 0, 40, 320, 240) > 5.0;
        },
        std::chrono::seconds(30)))
        << "the camera was not taken up again";
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the program ended";
}

}  // namespace
