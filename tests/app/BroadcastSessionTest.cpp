// The broadcast session on the real capture library and media runtime, fed
// by the test camera and microphone.

#include <arpa/inet.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <sstream>
#include <thread>

#include "app/BroadcastSession.h"
#include "app/FramePacer.h"
#include "app/IndexPage.h"
#include "capture/Devices.h"
#include "capture/PreviewSurface.h"
#include "diag/ErrorTrail.h"
#include "diag/ProgramPath.h"
#include "media/CapLib.h"
#include "media/Caption.h"
#include "platform/MessageBox.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"
#include "tests/support/GuiTest.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Sockets.h"
#include "wmvcore/wmvcore.h"

namespace {

// Every sample the session hands its writer, as the writer got it, and the
// thread that wrote it.
struct WrittenSample {
    std::uint32_t input;
    std::uint64_t time;
    std::size_t length;
    std::vector<std::uint8_t> bytes;  // while KeepBytes is set
    std::thread::id thread;
};

class WrittenSamples {
  public:
    void KeepBytes(bool keep) { keepBytes_ = keep; }
    void Add(std::uint32_t input, std::uint64_t time, wmv::INSSBuffer* sample) {
        std::uint8_t* data = nullptr;
        std::uint32_t length = 0;
        if (!sample || FAILED(sample->GetBufferAndLength(&data, &length))) return;
        WrittenSample written{input, time, length, {}, std::this_thread::get_id()};
        if (keepBytes_) written.bytes.assign(data, data + length);
        std::lock_guard lock(mutex_);
        samples_.push_back(std::move(written));
    }
    void Clear() {
        std::lock_guard lock(mutex_);
        samples_.clear();
    }
    std::size_t Count(std::uint32_t input) const {
        std::lock_guard lock(mutex_);
        return std::count_if(samples_.begin(), samples_.end(),
                             [&](const WrittenSample& s) { return s.input == input; });
    }
    // Those of one input from one thread, in the order they were written.
    std::vector<WrittenSample> From(std::thread::id thread, std::uint32_t input) const {
        std::lock_guard lock(mutex_);
        std::vector<WrittenSample> found;
        for (const WrittenSample& s : samples_)
            if (s.thread == thread && s.input == input) found.push_back(s);
        return found;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<WrittenSample> samples_;
    std::atomic<bool> keepBytes_{false};
};

WrittenSamples g_written;

// The runtime's writer with a recorder in front of its WriteSample.
class RecordingWriter final : public wmv::IWMWriter, public wmv::IWMWriterAdvanced {
  public:
    explicit RecordingWriter(RefPtr<wmv::IWMWriter> writer) : writer_(std::move(writer)) {
        writer_->QueryInterface(advanced_.Put());
    }
    HRESULT SetProfile(wmv::IWMProfile* profile) override { return writer_->SetProfile(profile); }
    HRESULT GetInputCount(std::uint32_t* count) override { return writer_->GetInputCount(count); }
    HRESULT BeginWriting() override { return writer_->BeginWriting(); }
    HRESULT AllocateSample(std::uint32_t size, wmv::INSSBuffer** sample) override {
        return writer_->AllocateSample(size, sample);
    }
    HRESULT WriteSample(std::uint32_t input, std::uint64_t time, std::uint32_t flags,
                        wmv::INSSBuffer* sample) override {
        g_written.Add(input, time, sample);
        return writer_->WriteSample(input, time, flags, sample);
    }
    HRESULT Flush() override { return writer_->Flush(); }
    HRESULT EndWriting() override { return writer_->EndWriting(); }

    HRESULT GetSinkCount(std::uint32_t* count) override { return advanced_->GetSinkCount(count); }
    HRESULT AddSink(wmv::IWMWriterSink* sink) override { return advanced_->AddSink(sink); }
    HRESULT RemoveSink(wmv::IWMWriterSink* sink) override { return advanced_->RemoveSink(sink); }
    HRESULT SetLiveSource(std::int32_t live) override { return advanced_->SetLiveSource(live); }
    HRESULT IsRealTime(std::int32_t* realTime) override { return advanced_->IsRealTime(realTime); }
    HRESULT SetSyncTolerance(std::uint32_t ms) override { return advanced_->SetSyncTolerance(ms); }
    HRESULT GetSyncTolerance(std::uint32_t* ms) override { return advanced_->GetSyncTolerance(ms); }

  protected:
    void* Find(wmv::Iid iid) override {
        if (iid == wmv::Iid::IWMWriterAdvanced && advanced_)
            return static_cast<wmv::IWMWriterAdvanced*>(this);
        return nullptr;
    }

  private:
    RefPtr<wmv::IWMWriter> writer_;
    RefPtr<wmv::IWMWriterAdvanced> advanced_;
};

using WriterFactory = HRESULT (*)(void*, wmv::IWMWriter**);

// The media runtime's own writer factory, looked up past this program's by
// its symbol, the name WMCreateWriter(void*, wmv::IWMWriter**) links under.
WriterFactory RuntimeWriterFactory() {
    static const auto factory = reinterpret_cast<WriterFactory>(
        ::dlsym(RTLD_NEXT, "_Z14WMCreateWriterPvPPN3wmv9IWMWriterE"));
    return factory;
}

}  // namespace

// The session's writer comes from here: this program's definition is found
// before the runtime's, and puts the recorder in front of the runtime's writer.
HRESULT WMCreateWriter(void* certificate, wmv::IWMWriter** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (!RuntimeWriterFactory()) return E_FAIL;
    RefPtr<wmv::IWMWriter> writer;
    const HRESULT hr = RuntimeWriterFactory()(certificate, writer.Put());
    if (FAILED(hr)) return hr;
    *out = new RecordingWriter(std::move(writer));
    return S_OK;
}

namespace {

namespace fs = std::filesystem;

using namespace std::chrono_literals;
using testsupport::ListenOnFreePort;
using testsupport::ProcessEventsFor;
using testsupport::UnusedPort;
using testsupport::WaitFor;

std::string TrailText() {
    char* text = nullptr;
    std::size_t size = 0;
    FILE* memory = open_memstream(&text, &size);
    g_errorTrail.WriteDump(memory);
    std::fclose(memory);
    std::string result(text, size);
    std::free(text);
    return result;
}

// The pure white and pure black pixels of a caption, as the caption overlay
// draws it on a grey frame: x, y from the top-left of the picture, and white.
struct CaptionPixel {
    int x, y;
    bool white;
};

std::vector<CaptionPixel> CaptionPixels(const std::string& text) {
    const int width = 320, height = 240, stride = capture::DibStride(width);
    std::vector<std::uint8_t> frame(static_cast<std::size_t>(stride * height), 0x80);
    FrameDC dc(frame.data(), width, height);
    DrawCaptionText(&dc, QString::fromStdString(text));
    std::vector<CaptionPixel> pixels;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::uint8_t* p =
                &frame[static_cast<std::size_t>((height - 1 - y) * stride + x * 3)];
            if (p[0] == 0xFF && p[1] == 0xFF && p[2] == 0xFF) pixels.push_back({x, y, true});
            if (p[0] == 0 && p[1] == 0 && p[2] == 0) pixels.push_back({x, y, false});
        }
    }
    return pixels;
}

// Keeps the last frame, and sorts every frame it is shown by the caption in
// it: one of the expected captions whole, none (the test pattern has no pure
// white or black up there), or parts of one, which a caption read while it
// was being replaced would leave.
class CaptionSortingSurface : public capture::HeadlessSurface {
  public:
    void Expect(std::vector<std::vector<CaptionPixel>> captions) {
        std::lock_guard lock(mutex_);
        captions_ = std::move(captions);
        whole_.assign(captions_.size(), 0);
    }
    void ShowFrame(const std::uint8_t* bits, int width, int height) override {
        HeadlessSurface::ShowFrame(bits, width, height);
        std::lock_guard lock(mutex_);
        if (captions_.empty()) return;
        const int stride = capture::DibStride(width);
        double best = 0;
        for (std::size_t i = 0; i < captions_.size(); ++i) {
            std::size_t matching = 0;
            for (const CaptionPixel& pixel : captions_[i]) {
                if (pixel.x >= width || pixel.y >= height) continue;
                const std::uint8_t* p = bits + (height - 1 - pixel.y) * stride + pixel.x * 3;
                const std::uint8_t want = pixel.white ? 0xFF : 0;
                if (p[0] == want && p[1] == want && p[2] == want) ++matching;
            }
            const double share = static_cast<double>(matching) / captions_[i].size();
            if (share == 1.0) ++whole_[i];
            best = std::max(best, share);
        }
        if (best < 1.0 && best >= 0.5) ++partial_;
    }
    std::vector<int> Whole() const {
        std::lock_guard lock(mutex_);
        return whole_;
    }
    int Partial() const {
        std::lock_guard lock(mutex_);
        return partial_;
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::vector<CaptionPixel>> captions_;
    std::vector<int> whole_;
    int partial_ = 0;
};

class RecordingView : public SessionView {
  public:
    void EnableStartButton(bool enabled) override { startEnabled = enabled; }
    void EnableStopButton(bool enabled) override { stopEnabled = enabled; }
    void SetUserCount(const std::string& text) override { userCount = text; }
    void SetConnectionUrl(const std::string& text, const std::string&) override { url = text; }
    void SetIpv6Url(const std::string&, const std::string&) override {}
    void InvalidateMeter() override {
        ++meterInvalidations;
        if (readBack) ReadColumnsElsewhere();
    }
    void SetWaitCursor(bool waiting) override { waitCursor = waiting; }
    void HideWindow() override { ++hidden; }
    int MeterScalePosition() override { return meterScale; }
    capture::PreviewSurface* PreviewWindow() override { return &surface; }
    void ShowDeviceNotice(const std::string& text) override { notices.push_back(text); }

    bool startEnabled = true;
    std::vector<std::string> notices;
    bool stopEnabled = false;
    std::string userCount = "0";
    std::string url;
    std::atomic<int> meterInvalidations{0};
    bool waitCursor = false;
    int hidden = 0;
    int meterScale = 32767;
    CaptionSortingSurface surface;

    // When set, InvalidateMeter reads this session's columns on another
    // thread, as the meter's painting does. A read that cannot finish while
    // the session waits in InvalidateMeter means the session still holds the
    // lock that guards the columns.
    BroadcastSession* readBack = nullptr;
    std::atomic<int> readsDone{0};
    std::atomic<int> readsBlocked{0};
    std::vector<std::int16_t> LastRead() {
        std::lock_guard guard(readLock_);
        return lastRead_;
    }

  private:
    void ReadColumnsElsewhere() {
        auto read = std::async(std::launch::async,
                               [session = readBack] { return session->MeterColumns(); });
        if (read.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ++readsBlocked;
            stuckReads_.push_back(std::move(read));  // it ends once the lock is let go
            return;
        }
        std::lock_guard guard(readLock_);
        lastRead_ = read.get();
        ++readsDone;
    }

    std::mutex readLock_;
    std::vector<std::int16_t> lastRead_;
    std::vector<std::future<std::vector<std::int16_t>>> stuckReads_;
};

class BroadcastSessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_NE(RuntimeWriterFactory(), nullptr) << "the media runtime's writer factory";
        g_written.Clear();
        testsupport::EnsureApplication();
        setenv("LUMACAST_FAKE_DEVICES", "1", 1);
        DetermineProgramDir();
        g_settings = AppSettings{};
        g_settings.asfPort = UnusedPort();

        capture_ = std::make_unique<CapLib>();
        for (int i = 0; i < capture_->GetVideoDeviceCount(); ++i) {
            if (std::string(capture_->GetVideoDeviceName(i)) == "Lumacast Test Camera") camera_ = i;
        }
        for (int i = 0; i < capture_->GetAudioDeviceCount(); ++i) {
            if (std::string(capture_->GetAudioDeviceName(i)) == "Lumacast Test Microphone") {
                microphone_ = i;
            }
        }
        ASSERT_GE(camera_, 0);
        ASSERT_GE(microphone_, 0);
        session_ = std::make_unique<BroadcastSession>(capture_.get(), &view_);
        session_->SetMeterWidth(98);
    }

    void TearDown() override {
        session_->StopBroadcast();
        session_.reset();
        capture_->Close();
        capture_.reset();
        capture::ResetTestDevices();
    }

    // A capture library and session on these test devices.
    void UseDevices(std::vector<capture::TestDevice> devices) {
        session_.reset();
        capture_->Close();
        capture::SetTestDevices(std::move(devices));
        capture_ = std::make_unique<CapLib>();
        camera_ = capture_->GetVideoDeviceCount() - 1;
        microphone_ = capture_->GetAudioDeviceCount() - 1;
        session_ = std::make_unique<BroadcastSession>(capture_.get(), &view_);
    }

    // Chooses the devices, with the microphone on the capture format that
    // the default audio codec format takes (44100 Hz stereo, 16 bits).
    void Use(bool video, bool audio) {
        g_settings.videoDeviceIndex = video ? camera_ : -1;
        g_settings.audioDeviceIndex = audio ? microphone_ : -1;
        if (audio) {
            std::unique_ptr<WAVEFORMATEX[]> formats;
            const int count = capture_->GetAudioCaptureFormats(microphone_, &formats);
            for (int i = 0; i < count; ++i) {
                if (formats[i].nSamplesPerSec == 44100 && formats[i].nChannels == 2 &&
                    formats[i].wBitsPerSample == 16) {
                    g_settings.audioCaptureFormatIndex = i;
                }
            }
        }
        session_->ConfigureCapture(BroadcastSettingsFrom(g_settings));
    }

    std::string IndexPageOnDisk() const {
        return testsupport::ReadWholeFile(folder_ / "index.htm");
    }

    testsupport::ProgramFolder folder_{"lumasession"};
    RecordingView view_;
    std::unique_ptr<CapLib> capture_;
    std::unique_ptr<BroadcastSession> session_;
    int camera_ = -1;
    int microphone_ = -1;
};

TEST_F(BroadcastSessionTest, NoDeviceShowsTheMessageAndCreatesNoWriter) {
    RecordingMessageBoxes boxes;
    Use(false, false);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    EXPECT_FALSE(session_->IsRunning());
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text,
              "No audio/video capture devices selected.\nDo setup before staring server");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<unsigned>(MB_OK | MB_ICONINFORMATION));
    EXPECT_TRUE(view_.startEnabled);
    EXPECT_EQ(view_.url, "");
    EXPECT_FALSE(fs::exists(folder_ / "index.htm"));
}

TEST_F(BroadcastSessionTest, StartsAndStopsManyTimesInARow) {
    Use(true, true);
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE(round);
        session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
        ASSERT_TRUE(session_->IsRunning()) << TrailText();
        EXPECT_FALSE(view_.startEnabled);
        EXPECT_TRUE(view_.stopEnabled);
        EXPECT_FALSE(view_.waitCursor);
        EXPECT_EQ(view_.url.rfind("http://", 0), 0u) << view_.url;
        EXPECT_NE(view_.url.find(":" + std::to_string(g_settings.asfPort)), std::string::npos);
        EXPECT_EQ(IndexPageOnDisk(), IndexPageText(view_.url));
        EXPECT_EQ(session_->FrameTimerPeriod(), 200);
        EXPECT_TRUE(WaitFor([&] { return session_->HasVideoSample(); }));

        session_->StopBroadcast();
        EXPECT_FALSE(session_->IsRunning());
        EXPECT_TRUE(view_.startEnabled);
        EXPECT_FALSE(view_.stopEnabled);
        EXPECT_EQ(view_.userCount, "0");
        EXPECT_EQ(view_.url, "");
        EXPECT_EQ(session_->FrameTimerPeriod(), -1);
        EXPECT_FALSE(session_->HasVideoSample());
    }
    EXPECT_EQ(g_errorTrail.EntryCount(), 0u) << TrailText();
}

TEST_F(BroadcastSessionTest, VideoOnlyLeavesTheMeterFlat) {
    Use(true, false);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    EXPECT_EQ(session_->FrameTimerPeriod(), 200);
    EXPECT_TRUE(WaitFor([&] { return g_written.Count(0) >= 3; })) << "frames written";
    EXPECT_EQ(g_written.Count(1), 0u);
    EXPECT_EQ(view_.meterInvalidations, 0);
    for (std::int16_t column : session_->MeterColumns()) ASSERT_EQ(column, 0);
}

TEST_F(BroadcastSessionTest, AudioOnlyWritesInputZeroWithoutFrameTimer) {
    Use(false, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    EXPECT_EQ(session_->FrameTimerPeriod(), -1);
    EXPECT_EQ(session_->AudioInputNumber(), 0u);
    // The tone moves the meter, and the view hears of it (just after the
    // columns change, with no lock held).
    EXPECT_TRUE(WaitFor([&] {
        const auto columns = session_->MeterColumns();
        return std::any_of(columns.begin(), columns.end(), [](std::int16_t c) { return c != 0; });
    }));
    EXPECT_TRUE(WaitFor([&] { return view_.meterInvalidations > 0; }));
    EXPECT_FALSE(session_->HasVideoSample());
}

TEST_F(BroadcastSessionTest, TheViewIsToldOfNewMeterColumnsWithNoLockHeld) {
    view_.readBack = session_.get();
    // Mono before any start: four columns take every other sample.
    session_->SetMeterWidth(4);
    const std::int16_t pcm[8] = {1000, 1, -2000, 2, 3000, 3, -4000, 4};
    session_->OnAudioChunk(reinterpret_cast<const std::uint8_t*>(pcm), sizeof pcm);
    EXPECT_EQ(view_.readsBlocked, 0);
    EXPECT_EQ(view_.LastRead(), (std::vector<std::int16_t>{1000, -2000, 3000, -4000}))
        << "the columns are in place when the view is told";

    // And so while a broadcast writes the microphone's sound.
    session_->SetMeterWidth(98);
    Use(false, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    const int before = view_.readsDone;
    EXPECT_TRUE(
        WaitFor([&] { return view_.readsDone >= before + 5 || view_.readsBlocked > 0; }, 30s));
    EXPECT_EQ(view_.readsBlocked, 0);
    session_->StopBroadcast();
}

TEST_F(BroadcastSessionTest, AStartThatFailsAtTheSinkCleansUpAndTheNextOneWorks) {
    int busyPort = 0;
    UniqueFd holder = ListenOnFreePort(&busyPort);
    g_settings.asfPort = busyPort;
    Use(true, true);
    RecordingMessageBoxes boxes;
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    EXPECT_FALSE(session_->IsRunning());
    // The user hears which port and why, and where to choose another.
    ASSERT_EQ(boxes.Count(), 1u);
    EXPECT_EQ(boxes.Boxes()[0].text,
              "The broadcast cannot start: the stream cannot listen on ASF port " +
                  std::to_string(busyPort) +
                  ": another program, or another copy of Lumacast, already uses it.\n\n"
                  "Choose another ASF port in Server setup, then save the configuration.");
    EXPECT_EQ(boxes.Boxes()[0].type, static_cast<unsigned>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_TRUE(view_.startEnabled);
    EXPECT_FALSE(view_.stopEnabled);
    EXPECT_EQ(view_.url, "");
    EXPECT_FALSE(view_.waitCursor);
    EXPECT_NE(TrailText().find("Line  358   hresult failed == 0x"), std::string::npos)
        << TrailText();

    g_settings.asfPort = UnusedPort();
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    EXPECT_TRUE(session_->IsRunning());
    EXPECT_NE(view_.url.find(":" + std::to_string(g_settings.asfPort)), std::string::npos);
    EXPECT_EQ(boxes.Count(), 1u);
}

// The trail lines of the last count entries, as the dump prints them.
std::vector<std::string> LastTrailLines(std::size_t count) {
    std::vector<std::string> lines;
    std::istringstream text(TrailText());
    for (std::string line; std::getline(text, line);) {
        const std::size_t at = line.find("Line ");
        if (at != std::string::npos) lines.push_back(line.substr(at));
    }
    if (lines.size() > count) lines.erase(lines.begin(), lines.end() - count);
    return lines;
}

TEST_F(BroadcastSessionTest, AStartThatFailsAtAStreamLeavesTheStepsLines) {
    const struct {
        const char* name;
        bool video, audio;
        void (*spoil)(AppSettings&);
        std::vector<std::string> lines;
    } cases[] = {
        {"unknown video codec",
         true,
         true,
         [](AppSettings& s) { s.videoCodecIndex = 99; },
         {"Line  671   hresult failed == 0x80070057", "Line  361   hresult failed == 0x80070057"}},
        {"unknown audio codec",
         true,
         true,
         [](AppSettings& s) { s.audioCodecIndex = 99; },
         {"Line  572   hresult failed == 0x80070057", "Line  364   hresult failed == 0x80070057"}},
        {"unknown audio format",
         false,
         true,
         [](AppSettings& s) { s.audioFormatIndex = 999; },
         {"Line  572   hresult failed == 0x80070057", "Line  364   hresult failed == 0x80070057"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        g_settings = AppSettings{};
        g_settings.asfPort = UnusedPort();
        Use(c.video, c.audio);
        c.spoil(g_settings);
        const std::size_t before = g_errorTrail.EntryCount();
        session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
        EXPECT_FALSE(session_->IsRunning());
        EXPECT_TRUE(view_.startEnabled);
        EXPECT_FALSE(view_.waitCursor);
        ASSERT_EQ(g_errorTrail.EntryCount(), before + c.lines.size()) << TrailText();
        EXPECT_EQ(LastTrailLines(c.lines.size()), c.lines);
    }
    // The settings put right, the next start runs.
    g_settings = AppSettings{};
    g_settings.asfPort = UnusedPort();
    Use(true, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    EXPECT_TRUE(session_->IsRunning()) << TrailText();
}

// The first bytes a viewer of the stream gets: the stream's header.
std::string StreamHeader(int port) {
    std::string bytes;
    UniqueFd fd = testsupport::ConnectLoopback(port);
    if (!fd) return bytes;
    testsupport::SendAll(fd.Get(), "GET /MyFile.wma HTTP/1.0\r\n\r\n");
    char buffer[65536];
    // The header comes at once; the samples behind it only while the test
    // runs the event loop, which it does not meanwhile.
    while (bytes.size() < 16384) {
        pollfd event{fd.Get(), POLLIN, 0};
        if (poll(&event, 1, bytes.empty() ? 5000 : 500) <= 0) break;
        const ssize_t got = recv(fd.Get(), buffer, sizeof buffer, 0);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

// The header names only streams whose samples will come: a microphone that
// cannot be opened leaves its stream out (a viewer waiting for its sound
// would wait for ever); without any device that can be opened, no broadcast
// starts.
TEST_F(BroadcastSessionTest, TheHeaderNamesOnlyStreamsThatCome) {
    // The media types of the stream properties, as the header's bytes have them.
    const std::string audioMedia("\x40\x9E\x69\xF8\x4D\x5B\xCF\x11\xA8\xFD\x00\x80\x5F\x5C\x44\x2B",
                                 16);
    const std::string videoMedia("\xC0\xEF\x19\xBC\x4D\x5B\xCF\x11\xA8\xFD\x00\x80\x5F\x5C\x44\x2B",
                                 16);
    struct Case {
        const char* name;
        bool cameraOpens, microphoneOpens;
        bool runs, video, audio;
    };
    for (const Case& c : {Case{"both open", true, true, true, true, true},
                          Case{"the microphone does not open", true, false, true, true, false},
                          Case{"the camera does not open", false, true, false, false, false}}) {
        SCOPED_TRACE(c.name);
        RecordingMessageBoxes boxes;
        std::vector<capture::TestDevice> devices = capture::DefaultTestDevices();
        devices[0].canBind = c.cameraOpens;
        devices[1].canBind = c.microphoneOpens;
        UseDevices(devices);
        g_settings.asfPort = UnusedPort();
        Use(true, true);
        const std::size_t trail = g_errorTrail.EntryCount();
        session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
        ASSERT_EQ(session_->IsRunning(), c.runs) << TrailText();
        if (!c.runs) {
            ASSERT_EQ(g_errorTrail.EntryCount(), trail + 1);
            EXPECT_EQ(LastTrailLines(1),
                      std::vector<std::string>{"Line  379   hresult failed == 0x0"});
            continue;
        }
        const std::string header = StreamHeader(g_settings.asfPort);
        ASSERT_GT(header.size(), 100u);
        EXPECT_EQ(header.find(videoMedia) != std::string::npos, c.video);
        EXPECT_EQ(header.find(audioMedia) != std::string::npos, c.audio);
        EXPECT_EQ(session_->AudioInputNumber(), 1u);
        session_->StopBroadcast();
    }
}

// The view hears once that the microphone was lost and once that it is
// back, while the broadcast goes on.
TEST_F(BroadcastSessionTest, TheViewHearsOnceOfADeviceLostAndBack) {
    Use(true, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    const std::vector<capture::TestDevice> both = capture::DefaultTestDevices();
    capture::SetTestDevices({both[0]});
    EXPECT_TRUE(WaitFor([&] { return !view_.notices.empty(); }));
    capture::SetTestDevices(both);
    EXPECT_TRUE(WaitFor([&] { return view_.notices.size() >= 2; }));
    ProcessEventsFor(1200ms);
    EXPECT_EQ(view_.notices,
              (std::vector<std::string>{
                  "The microphone \"Lumacast Test Microphone\" was lost. Silence takes its place. "
                  "It is taken up again when it comes back.",
                  "The microphone \"Lumacast Test Microphone\" is back."}));
    EXPECT_TRUE(session_->IsRunning());
}

TEST_F(BroadcastSessionTest, UserCountFollowsTheViewers) {
    Use(true, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();

    std::atomic<bool> stop{false};
    std::atomic<std::size_t> received{0};
    std::thread viewer([&] {
        UniqueFd fd = testsupport::ConnectLoopback(g_settings.asfPort);
        if (!fd) return;
        testsupport::SendAll(fd.Get(), "GET /MyFile.wma HTTP/1.0\r\n\r\n");
        char buffer[65536];
        while (!stop) {
            pollfd event{fd.Get(), POLLIN, 0};
            if (poll(&event, 1, 50) <= 0) continue;
            const ssize_t got = recv(fd.Get(), buffer, sizeof buffer, 0);
            if (got <= 0) break;
            received += static_cast<std::size_t>(got);
        }
    });
    EXPECT_TRUE(WaitFor([&] { return view_.userCount == "1"; })) << view_.userCount;
    EXPECT_TRUE(WaitFor([&] { return received > 0; }));
    stop = true;
    viewer.join();
    EXPECT_TRUE(WaitFor([&] { return view_.userCount == "0"; })) << view_.userCount;

    session_->StopBroadcast();
    EXPECT_EQ(view_.userCount, "0");
}

TEST_F(BroadcastSessionTest, FrameTimerFollowsTheFrameRate) {
    const std::vector<std::pair<int, unsigned>> periods = {{5, 200}, {7, 142}, {60, 16}, {1, 1000}};
    for (const auto& [fps, period] : periods) {
        EXPECT_EQ(BroadcastSession::FrameTimerPeriodMs(fps), period) << fps;
    }
    g_settings.videoFramesPerSecond = 7;
    Use(true, false);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    EXPECT_EQ(session_->FrameTimerPeriod(), 142);
}

// Which captured frames a broadcast writes, for cameras at several rates and
// with a little jitter: each row gives the capture times in milliseconds and
// which frames are written (x) and which are not (.).
TEST(FramePacerTest, FramesAreWrittenAsTheyComeAtTheBroadcastsRate) {
    struct Row {
        const char* name;
        int fps;
        std::vector<int> ms;
        std::string written;
    };
    const std::vector<Row> rows = {
        {"a camera at the broadcast's rate", 30, {0, 33, 67, 100, 133, 167}, "xxxxxx"},
        {"a few milliseconds early or late", 30, {0, 29, 70, 98, 137, 163}, "xxxxxx"},
        {"a camera twice as fast", 15, {0, 33, 67, 100, 133, 167, 200}, "x.x.x.x"},
        {"30 frames a second for 20",
         20,
         {0, 33, 67, 100, 133, 167, 200, 233, 267, 300},
         "x.xx.xx.xx"},
        {"a gap starts the turns again", 15, {0, 33, 500, 533, 567, 600}, "x.x.x."},
        {"a camera slower than the broadcast", 30, {0, 67, 133, 200}, "xxxx"},
    };
    for (const Row& row : rows) {
        FramePacer pacer(row.fps);
        const FramePacer::Clock::time_point start{};
        std::string written;
        for (int ms : row.ms)
            written += pacer.Take(start + std::chrono::milliseconds(ms)) ? 'x' : '.';
        EXPECT_EQ(written, row.written) << row.name;
    }
}

// The caption changes many times while a broadcast runs and the encoder
// takes frames: every frame shows one caption whole (or none, when it came
// while the encoder held the frame), never parts of one.
TEST_F(BroadcastSessionTest, EveryFrameShowsOneCaptionWhole) {
    const CaptionChoice captions[] = {{false, "Live from the garden shed"},
                                      {false, "Back in about five minutes"}};
    std::strcpy(g_settings.captionText, captions[0].text.c_str());
    g_settings.captionDateTime = 0;
    g_settings.videoFramesPerSecond = 30;
    view_.surface.Expect({CaptionPixels(captions[0].text), CaptionPixels(captions[1].text)});
    Use(true, false);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    for (int change = 0; change < 400; ++change) {
        session_->SetCaption(captions[change % 2]);
        ProcessEventsFor(5ms);
    }
    session_->StopBroadcast();
    const std::vector<int> whole = view_.surface.Whole();
    EXPECT_GT(whole[0], 5);
    EXPECT_GT(whole[1], 5);
    EXPECT_EQ(view_.surface.Partial(), 0);
}

TEST_F(BroadcastSessionTest, HidesAtTheFirstTimerTickWhenAsked) {
    session_->m_bHidePending = true;
    Use(true, false);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    EXPECT_TRUE(WaitFor([&] { return view_.hidden > 0; }));
    const std::size_t frames = g_written.Count(0);
    EXPECT_TRUE(WaitFor([&] { return g_written.Count(0) >= frames + 3; })) << "timer ticks";
    EXPECT_EQ(view_.hidden, 1);
}

}  // namespace

namespace {

TEST_F(BroadcastSessionTest, AFrameOfAnotherSizeIsSkippedNotCopiedPastTheSample) {
    Use(true, false);
    const auto formats = capture_->GetVideoFormats();
    const auto format = [&](int width) {
        return std::find_if(formats.begin(), formats.end(), [&](const capture::MediaType& type) {
            return type.VideoInfo() && type.VideoInfo()->bmiHeader.biWidth == width;
        });
    };
    ASSERT_NE(format(640), formats.end());
    ASSERT_NE(format(320), formats.end());
    ASSERT_EQ(capture_->SetVideoFormat(*format(640)), 1);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    g_written.KeepBytes(true);

    // A frame held still while the frame timer's work runs is written whole:
    // 640 x 480 pixels of 3 bytes.
    std::uint8_t* frame = capture_->LockFrame();
    ASSERT_NE(frame, nullptr);
    const std::vector<std::uint8_t> held(frame, frame + 921600);
    session_->OnFrameTimer();
    const std::vector<WrittenSample> written = g_written.From(std::this_thread::get_id(), 0);
    ASSERT_FALSE(written.empty());
    EXPECT_EQ(written.back().length, 921600u);
    EXPECT_TRUE(written.back().bytes == held) << "the frame written is the frame held";

    // The camera changes to a smaller picture under the running broadcast:
    // its frames (230400 bytes) are skipped, never copied into the larger
    // sample nor read past their own end.
    ASSERT_EQ(capture_->SetVideoFormat(*format(320)), 1);
    ASSERT_TRUE(WaitFor([&] { return capture_->GetFrameLength() == 230400; }));
    const std::size_t before = g_written.Count(0);
    for (int tick = 0; tick < 3; ++tick) session_->OnFrameTimer();
    EXPECT_EQ(g_written.Count(0), before);
    EXPECT_TRUE(session_->IsRunning());
}

TEST_F(BroadcastSessionTest, AnAudioBufferLargerThanTheSampleGoesOutInPieces) {
    Use(false, true);
    session_->StartBroadcast(BroadcastSettingsFrom(g_settings));
    ASSERT_TRUE(session_->IsRunning()) << TrailText();
    g_written.KeepBytes(true);
    // Two and a half samples' worth of sound in which no two pieces are
    // alike, so that a piece taken from the wrong place shows.
    std::vector<std::uint8_t> pcm(BroadcastSession::kAudioSampleBytes * 5 / 2);
    for (std::size_t i = 0; i + 1 < pcm.size(); i += 2) {
        const auto value = static_cast<std::uint16_t>(i / 2);
        std::memcpy(&pcm[i], &value, 2);
    }
    session_->OnAudioChunk(pcm.data(), static_cast<std::int32_t>(pcm.size()));

    // Its pieces reach the writer whole and in order, each stamped with the
    // time of its first byte: at 44100 Hz in stereo, 176400 bytes a second,
    // 500000 bytes last 2.8344671 s.
    const std::vector<WrittenSample> pieces = g_written.From(std::this_thread::get_id(), 0);
    ASSERT_EQ(pieces.size(), 3u);
    const std::size_t lengths[] = {500000, 500000, 250000};
    const std::uint64_t after[] = {0, 28344671, 56689342};
    std::size_t offset = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(pieces[i].length, lengths[i]);
        ASSERT_EQ(pieces[i].bytes.size(), lengths[i]);
        EXPECT_TRUE(std::equal(pieces[i].bytes.begin(), pieces[i].bytes.end(),
                               pcm.begin() + static_cast<std::ptrdiff_t>(offset)));
        EXPECT_EQ(pieces[i].time - pieces[0].time, after[i]);
        offset += lengths[i];
    }
}

}  // namespace
