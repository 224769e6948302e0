// Capture services on the test devices: device lists, stream formats, the
// graph, the frame tap's layout, our transform base, device settings and the
// graph dump.

#include <gst/app/gstappsink.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <tuple>

#include "capture/DeviceDescription.h"
#include "capture/Devices.h"
#include "capture/Filter.h"
#include "capture/PreviewSurface.h"
#include "capture/SampleGrabber.h"
#include "capture/TransformFilter.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Wait.h"

using namespace capture;

namespace {

using namespace std::chrono_literals;

using testsupport::WaitUntil;

class CaptureTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(EnsureGstreamer());
        SetTestDevices(DefaultTestDevices());
    }
    void TearDown() override { ResetTestDevices(); }

    // The test device of a category (the last in the list).
    RefPtr<CaptureFilter> TestFilter(DeviceCategory category) {
        std::vector<RefPtr<Moniker>> monikers;
        EXPECT_EQ(CreateClassEnumerator(category, &monikers), S_OK);
        RefPtr<CaptureFilter> filter;
        if (!monikers.empty()) {
            EXPECT_EQ(monikers.back()->BindToObject(&filter), S_OK);
        }
        return filter;
    }
};

std::vector<std::string> Names(DeviceCategory category) {
    std::vector<RefPtr<Moniker>> monikers;
    CreateClassEnumerator(category, &monikers);
    std::vector<std::string> names;
    for (auto& m : monikers) {
        std::string name;
        names.push_back(SUCCEEDED(m->ReadFriendlyName(&name)) ? name : "<none>");
    }
    return names;
}

TEST_F(CaptureTest, TestDevicesComeAfterRealOnesAndOnlyWhenAsked) {
    ResetTestDevices();
    unsetenv("LUMACAST_FAKE_DEVICES");
    const auto realVideo = Names(DeviceCategory::VideoInput);
    const auto realAudio = Names(DeviceCategory::AudioInput);
    for (const auto& n : realVideo) EXPECT_NE(n, "Lumacast Test Camera");
    if (realVideo.empty()) {
        std::vector<RefPtr<Moniker>> none;
        EXPECT_EQ(CreateClassEnumerator(DeviceCategory::VideoInput, &none), S_FALSE);
        EXPECT_TRUE(none.empty());
    }

    setenv("LUMACAST_FAKE_DEVICES", "1", 1);
    auto video = Names(DeviceCategory::VideoInput);
    auto audio = Names(DeviceCategory::AudioInput);
    unsetenv("LUMACAST_FAKE_DEVICES");
    ASSERT_EQ(video.size(), realVideo.size() + 1);
    ASSERT_EQ(audio.size(), realAudio.size() + 1);
    EXPECT_EQ(video.back(), "Lumacast Test Camera");
    EXPECT_EQ(audio.back(), "Lumacast Test Microphone");
    // The order stays put within a run.
    setenv("LUMACAST_FAKE_DEVICES", "1", 1);
    EXPECT_EQ(Names(DeviceCategory::VideoInput), video);
    unsetenv("LUMACAST_FAKE_DEVICES");
}

TEST_F(CaptureTest, NamelessAndUnbindableDevices) {
    TestDevice nameless;
    nameless.hasName = false;
    TestDevice broken;
    broken.name = "Broken";
    broken.canBind = false;
    SetTestDevices({nameless, broken});
    std::vector<RefPtr<Moniker>> monikers;
    ASSERT_EQ(CreateClassEnumerator(DeviceCategory::VideoInput, &monikers), S_OK);
    ASSERT_GE(monikers.size(), 2u);
    std::string name = "untouched";
    EXPECT_TRUE(FAILED(monikers[monikers.size() - 2]->ReadFriendlyName(&name)));
    RefPtr<CaptureFilter> filter;
    EXPECT_TRUE(FAILED(monikers.back()->BindToObject(&filter)));
    EXPECT_FALSE(filter);
}

TEST_F(CaptureTest, MicrophoneOffersTheUsualPcmFormats) {
    auto mic = TestFilter(DeviceCategory::AudioInput);
    ASSERT_TRUE(mic);
    CaptureGraphBuilder builder;
    RefPtr<FilterGraph> graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    ASSERT_EQ(builder.SetFiltergraph(graph.Get()), S_OK);
    RefPtr<StreamConfig> config;
    EXPECT_EQ(builder.FindStreamConfig(PinCategory::Capture, MajorType::Video, mic.Get(), &config),
              E_NOINTERFACE);
    ASSERT_EQ(builder.FindStreamConfig(PinCategory::Capture, MajorType::Audio, mic.Get(), &config),
              S_OK);
    int count = 0, size = 0;
    ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    EXPECT_EQ(count, 7 * 2 * 2);
    EXPECT_EQ(size, 18);
    int sixteenBitStereo48k = 0;
    for (int i = 0; i < count; ++i) {
        MediaType type;
        ASSERT_EQ(config->GetStreamCaps(i, &type), S_OK);
        ASSERT_EQ(type.cbFormat(), 18u);
        const WAVEFORMATEX* w = type.Wave();
        ASSERT_NE(w, nullptr);
        EXPECT_EQ(w->wFormatTag, WAVE_FORMAT_PCM);
        EXPECT_TRUE(w->wBitsPerSample == 8 || w->wBitsPerSample == 16);
        EXPECT_TRUE(w->nChannels == 1 || w->nChannels == 2);
        EXPECT_GE(w->nSamplesPerSec, 8000u);
        EXPECT_LE(w->nSamplesPerSec, 48000u);
        EXPECT_EQ(w->nBlockAlign, w->nChannels * w->wBitsPerSample / 8);
        EXPECT_EQ(w->nAvgBytesPerSec, w->nBlockAlign * w->nSamplesPerSec);
        EXPECT_EQ(w->cbSize, 0);
        if (w->nSamplesPerSec == 48000 && w->nChannels == 2 && w->wBitsPerSample == 16)
            ++sixteenBitStereo48k;
    }
    EXPECT_EQ(sixteenBitStereo48k, 1);
    MediaType none;
    EXPECT_EQ(config->GetStreamCaps(count, &none), E_INVALIDARG);
    EXPECT_EQ(config->GetStreamCaps(-1, &none), E_INVALIDARG);

    // Formats the device cannot deliver are refused and change nothing.
    MediaType before;
    ASSERT_EQ(config->GetFormat(&before), S_OK);
    struct Bad {
        std::uint16_t channels;
        std::uint32_t rate;
        std::uint16_t bits;
    };
    for (Bad bad : {Bad{0, 44100, 16}, Bad{2, 96000, 16}, Bad{2, 44100, 24}, Bad{3, 44100, 16},
                    Bad{1, 0, 8}}) {
        WAVEFORMATEX w{WAVE_FORMAT_PCM, bad.channels, bad.rate, 0, 0, bad.bits, 0};
        EXPECT_EQ(config->SetFormat(AudioMediaType(w)), E_INVALIDARG)
            << bad.channels << " " << bad.rate;
    }
    MediaType after;
    ASSERT_EQ(config->GetFormat(&after), S_OK);
    EXPECT_EQ(after.format, before.format);
    MediaType chosen;
    ASSERT_EQ(config->GetStreamCaps(count - 1, &chosen), S_OK);
    ASSERT_EQ(config->SetFormat(chosen), S_OK);
    ASSERT_EQ(config->GetFormat(&after), S_OK);
    EXPECT_EQ(after.format, chosen.format);
}

TEST_F(CaptureTest, CameraOffersThreeSizes) {
    auto camera = TestFilter(DeviceCategory::VideoInput);
    ASSERT_TRUE(camera);
    RefPtr<StreamConfig> config = RefPtr<StreamConfig>::Adopt(new StreamConfig(camera));
    int count = 0, size = 0;
    ASSERT_EQ(config->GetNumberOfCapabilities(&count, &size), S_OK);
    ASSERT_EQ(count, 3);
    const int sizes[3][2] = {{320, 240}, {640, 480}, {1280, 720}};
    for (int i = 0; i < count; ++i) {
        MediaType type;
        ASSERT_EQ(config->GetStreamCaps(i, &type), S_OK);
        const VIDEOINFOHEADER* vih = type.VideoInfo();
        ASSERT_NE(vih, nullptr);
        EXPECT_EQ(vih->bmiHeader.biSize, 40u);
        EXPECT_EQ(vih->bmiHeader.biWidth, sizes[i][0]);
        EXPECT_EQ(vih->bmiHeader.biHeight, sizes[i][1]);
        EXPECT_EQ(vih->AvgTimePerFrame, 333333);
    }
    MediaType tooBig = VideoMediaType(SubType::YUY2, 100000, 480, 30, 1);
    EXPECT_EQ(config->SetFormat(tooBig), E_INVALIDARG);
    EXPECT_EQ(config->SetFormat(VideoMediaType(SubType::YUY2, 0, 480, 30, 1)), E_INVALIDARG);
}

// Collects what the grabber hands out.
struct FrameLog : ISampleGrabberCB {
    std::mutex mutex;
    std::vector<long> lengths;
    std::vector<std::uint8_t> first;
    std::atomic<int> calls{0};
    HRESULT SampleCB(double, MediaSample*) override { return S_OK; }
    HRESULT BufferCB(double, std::uint8_t* buffer, long length) override {
        std::lock_guard lock(mutex);
        if (first.empty()) first.assign(buffer, buffer + length);
        lengths.push_back(length);
        ++calls;
        return S_OK;
    }
};

// Rows of 3-byte pixels padded to a multiple of 4 bytes.
struct GrabberCase {
    int width;
    int height;
    long length;
};

class GrabberSizes : public CaptureTest, public ::testing::WithParamInterface<GrabberCase> {};

TEST_P(GrabberSizes, FramesHaveTheDibLengthAndReachTheSurface) {
    const GrabberCase c = GetParam();
    auto camera = TestFilter(DeviceCategory::VideoInput);
    ASSERT_TRUE(camera);
    RefPtr<StreamConfig> config = RefPtr<StreamConfig>::Adopt(new StreamConfig(camera));
    ASSERT_EQ(config->SetFormat(VideoMediaType(SubType::YUY2, c.width, c.height, 30, 1)), S_OK);

    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    ASSERT_EQ(builder.SetFiltergraph(graph.Get()), S_OK);
    auto grabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
    ASSERT_EQ(graph->AddFilter(camera.Get(), nullptr), S_OK);
    ASSERT_EQ(graph->AddFilter(grabber.Get(), "Sample grabber"), S_OK);
    MediaType connected;
    EXPECT_EQ(grabber->GetConnectedMediaType(&connected), VFW_E_NOT_CONNECTED);
    ASSERT_EQ(builder.RenderStream(PinCategory::Preview, MajorType::Video, camera.Get(),
                                   grabber.Get(), nullptr),
              VFW_S_NOPREVIEWPIN);
    // Before running, the connected type already tells the frame size.
    ASSERT_EQ(grabber->GetConnectedMediaType(&connected), S_OK);
    ASSERT_NE(connected.VideoInfo(), nullptr);
    EXPECT_EQ(connected.VideoInfo()->bmiHeader.biWidth, c.width);
    EXPECT_EQ(connected.VideoInfo()->bmiHeader.biHeight, c.height);
    EXPECT_EQ(connected.subtype, SubType::RGB24);

    RefPtr<VideoRenderer> window;
    ASSERT_EQ(graph->QueryVideoWindow(&window), S_OK);
    HeadlessSurface surface;
    window->put_Owner(&surface);
    window->put_Visible(true);
    FrameLog log;
    ASSERT_EQ(grabber->SetCallback(&log, 1), S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return log.calls >= 5 && surface.FrameCount() >= 5; }))
        << graph->LastError();
    ASSERT_EQ(graph->Stop(), S_OK);
    const int callsAtStop = log.calls;
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(log.calls, callsAtStop);  // nothing streams after Stop returned
    grabber->SetCallback(nullptr, 1);

    std::lock_guard lock(log.mutex);
    for (long length : log.lengths) EXPECT_EQ(length, c.length);
    std::vector<std::uint8_t> shown;
    int w = 0, h = 0;
    ASSERT_TRUE(surface.LastFrame(&shown, &w, &h));
    EXPECT_EQ(w, c.width);
    EXPECT_EQ(h, c.height);
    EXPECT_EQ(static_cast<long>(shown.size()), c.length);
    long vw = 0, vh = 0;
    EXPECT_EQ(window->get_VideoWidth(&vw), S_OK);
    EXPECT_EQ(window->get_VideoHeight(&vh), S_OK);
    EXPECT_EQ(vw, c.width);
    EXPECT_EQ(vh, c.height);
}

INSTANTIATE_TEST_SUITE_P(Sizes, GrabberSizes,
                         ::testing::Values(GrabberCase{320, 240, 960 * 240},
                                           GrabberCase{322, 242, 968 * 242},   // 966 bytes a row
                                           GrabberCase{641, 31, 1924 * 31}));  // 1923

// A still picture in BGR from a filter of the test's own.
class StillPicture : public BaseFilter {
  public:
    StillPicture(int width, int height) : BaseFilter("still") {
        GstElement* src = gst_element_factory_make("videotestsrc", nullptr);
        g_object_set(src, "is-live", TRUE, nullptr);
        GstElement* filter = gst_element_factory_make("capsfilter", nullptr);
        GstCaps* caps = gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, "BGR", "width",
                                            G_TYPE_INT, width, "height", G_TYPE_INT, height,
                                            "framerate", GST_TYPE_FRACTION, 30, 1, nullptr);
        g_object_set(filter, "caps", caps, nullptr);
        gst_caps_unref(caps);
        gst_bin_add_many(GST_BIN(bin_), src, filter, nullptr);
        gst_element_link(src, filter);
        AddPin(filter, "src", "Capture");
    }
};

// The same picture, top-down, from an independent pipeline.
std::vector<std::uint8_t> ReferencePicture(int width, int height) {
    std::string launch =
        "videotestsrc num-buffers=1 ! video/x-raw,format=BGR,width=" + std::to_string(width) +
        ",height=" + std::to_string(height) + " ! appsink name=out";
    GstElement* pipeline = gst_parse_launch(launch.c_str(), nullptr);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "out");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstSample* sample = gst_app_sink_pull_sample(GST_APP_SINK(sink));
    std::vector<std::uint8_t> bytes;
    if (sample) {
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        gst_buffer_map(buffer, &map, GST_MAP_READ);
        bytes.assign(map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return bytes;
}

TEST_F(CaptureTest, GrabbedFramesAreBottomUp) {
    // Rows padded from 966 to 968 bytes, and 192 bytes that need none.
    for (const auto& [width, height, stride] :
         {std::tuple{322, 240, std::size_t{968}}, std::tuple{64, 7, std::size_t{192}}}) {
        auto reference = ReferencePicture(width, height);
        ASSERT_EQ(reference.size(), stride * static_cast<std::size_t>(height));

        auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
        auto still = RefPtr<StillPicture>::Adopt(new StillPicture(width, height));
        auto grabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
        auto renderer = RefPtr<VideoRenderer>::Adopt(new VideoRenderer);
        ASSERT_EQ(graph->AddFilter(still.Get(), "still"), S_OK);
        ASSERT_EQ(graph->AddFilter(grabber.Get(), "grabber"), S_OK);
        ASSERT_EQ(graph->AddFilter(renderer.Get(), "renderer"), S_OK);
        ASSERT_EQ(graph->ConnectDirect(still->FindPin(PinDirection::Output).Get(),
                                       grabber->FindPin(PinDirection::Input).Get()),
                  S_OK);
        ASSERT_EQ(graph->ConnectDirect(grabber->FindPin(PinDirection::Output).Get(),
                                       renderer->FindPin(PinDirection::Input).Get()),
                  S_OK);
        HeadlessSurface surface;
        renderer->put_Owner(&surface);
        renderer->put_Visible(true);
        FrameLog log;
        grabber->SetCallback(&log, 1);
        ASSERT_EQ(graph->Run(), S_OK);
        ASSERT_TRUE(WaitUntil([&] { return surface.FrameCount() >= 1; })) << graph->LastError();
        graph->Stop();
        grabber->SetCallback(nullptr, 1);

        std::vector<std::uint8_t> flipped(reference.size());
        for (int y = 0; y < height; ++y)
            std::memcpy(flipped.data() + stride * static_cast<std::size_t>(y),
                        reference.data() + stride * static_cast<std::size_t>(height - 1 - y),
                        stride);
        std::lock_guard lock(log.mutex);
        ASSERT_EQ(log.first.size(), flipped.size());
        // Padding bytes carry no picture; compare the pixels of each row.
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(0, std::memcmp(log.first.data() + stride * y, flipped.data() + stride * y,
                                     static_cast<std::size_t>(width) * 3))
                << "row " << y << " of " << width << "x" << height;
        std::vector<std::uint8_t> shown;
        int w = 0, h = 0;
        ASSERT_TRUE(surface.LastFrame(&shown, &w, &h));
        for (int y = 0; y < height; ++y)
            ASSERT_EQ(0, std::memcmp(shown.data() + stride * y, flipped.data() + stride * y,
                                     static_cast<std::size_t>(width) * 3));
    }
}

TEST_F(CaptureTest, RendererDropsFramesWithoutSurface) {
    auto camera = TestFilter(DeviceCategory::VideoInput);
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    builder.SetFiltergraph(graph.Get());
    auto grabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
    graph->AddFilter(camera.Get(), nullptr);
    graph->AddFilter(grabber.Get(), "Sample grabber");
    ASSERT_TRUE(SUCCEEDED(builder.RenderStream(PinCategory::Preview, MajorType::Video, camera.Get(),
                                               grabber.Get(), nullptr)));
    RefPtr<VideoRenderer> window;
    ASSERT_EQ(graph->QueryVideoWindow(&window), S_OK);
    HeadlessSurface surface;
    window->put_Owner(&surface);  // attached but not visible: dropped too
    ASSERT_EQ(graph->Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return window->FramesRendered() >= 3; }));
    graph->Stop();
    EXPECT_EQ(surface.FrameCount(), 0u);
}

// A pass-through of our own on the transform base.
class CountingTransform : public TransformFilter {
  public:
    std::atomic<int> samples{0};
    std::atomic<long> bytes{0};
    std::atomic<int> decided{0};
    std::atomic<bool> timesKept{true};

  protected:
    HRESULT Transform(MediaSample* in, MediaSample* out) override {
        std::uint8_t *src = nullptr, *dst = nullptr;
        in->GetPointer(&src);
        out->GetPointer(&dst);
        const long length = in->GetActualDataLength();
        std::memcpy(dst, src, static_cast<std::size_t>(length));
        std::int64_t start = 0, end = 0;
        if (in->GetTime(&start, &end) == S_OK)
            out->SetTime(&start, &end);
        else
            timesKept = false;
        out->SetActualDataLength(length);
        bytes += length;
        ++samples;
        return S_OK;
    }
    HRESULT CheckInputType(const MediaType& type) override {
        return type.formattype == FormatType::WaveFormatEx ? S_OK : S_FALSE;
    }
    HRESULT CheckTransform(const MediaType& in, const MediaType&) override {
        return CheckInputType(in);
    }
    HRESULT DecideBufferSize(BufferAllocator* allocator, AllocatorProperties* request) override {
        if (!InputConnected()) return E_UNEXPECTED;
        HRESULT hr = GetInputAllocatorProperties(request);
        if (FAILED(hr)) return hr;
        AllocatorProperties actual;
        ++decided;
        return allocator->SetProperties(*request, &actual);
    }
    HRESULT GetMediaType(int position, MediaType* type) override {
        if (!type) return E_POINTER;
        if (position != 0) return VFW_S_NO_MORE_ITEMS;
        type->majortype = MajorType::Stream;
        type->subtype = SubType::WAVE;
        return S_OK;
    }
};

TEST_F(CaptureTest, TransformBaseRefusesVideoAndPassesAudio) {
    auto camera = TestFilter(DeviceCategory::VideoInput);
    auto mic = TestFilter(DeviceCategory::AudioInput);
    ASSERT_TRUE(camera && mic);
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    builder.SetFiltergraph(graph.Get());
    auto tap = RefPtr<CountingTransform>::Adopt(new CountingTransform);
    auto sink = RefPtr<NullRenderer>::Adopt(new NullRenderer);
    ASSERT_EQ(graph->AddFilter(camera.Get(), nullptr), S_OK);
    ASSERT_EQ(graph->AddFilter(mic.Get(), nullptr), S_OK);
    ASSERT_EQ(graph->AddFilter(tap.Get(), "tap"), S_OK);
    ASSERT_EQ(graph->AddFilter(sink.Get(), "sink"), S_OK);
    ASSERT_EQ(builder.RenderStream(PinCategory::Capture, MajorType::Video, camera.Get(), tap.Get(),
                                   sink.Get()),
              VFW_E_CANNOT_CONNECT);
    // A refused connection leaves nothing connected behind.
    for (auto& filter : graph->Filters())
        for (auto& pin : filter->EnumPins())
            EXPECT_FALSE(gst_pad_is_linked(pin->Pad())) << filter->Name();
    ASSERT_EQ(builder.RenderStream(PinCategory::Capture, MajorType::Audio, mic.Get(), tap.Get(),
                                   sink.Get()),
              S_OK);
    // The camera stays unconnected; the graph runs anyway.
    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return tap->samples >= 5; })) << graph->LastError();
    graph->Stop();
    EXPECT_GE(tap->decided, 1);
    EXPECT_LE(tap->decided, 3);  // one pool, not one per buffer
    EXPECT_TRUE(tap->timesKept);
    EXPECT_TRUE(graph->LastError().empty()) << graph->LastError();
}

TEST_F(CaptureTest, GraphMembershipAndPins) {
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    auto other = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    auto a = RefPtr<NullRenderer>::Adopt(new NullRenderer);
    auto b = RefPtr<NullRenderer>::Adopt(new NullRenderer);
    ASSERT_EQ(graph->AddFilter(a.Get(), "same"), S_OK);
    ASSERT_EQ(graph->AddFilter(b.Get(), "same"), S_OK);
    EXPECT_NE(a->Name(), b->Name());
    EXPECT_EQ(other->AddFilter(a.Get(), "x"), E_INVALIDARG);
    EXPECT_EQ(graph->RemoveFilter(a.Get()), S_OK);
    EXPECT_EQ(graph->RemoveFilter(a.Get()), E_INVALIDARG);
    EXPECT_EQ(other->AddFilter(a.Get(), "x"), S_OK);
    auto pin = b->FindPin(PinDirection::Input);
    ASSERT_TRUE(pin);
    RefPtr<Pin> peer;
    EXPECT_EQ(pin->ConnectedTo(&peer), VFW_E_NOT_CONNECTED);
    EXPECT_EQ(graph->Disconnect(pin.Get()), S_FALSE);
    Pin::Info info;
    ASSERT_EQ(pin->QueryPinInfo(&info), S_OK);
    EXPECT_EQ(info.filter.Get(), b.Get());
    EXPECT_EQ(info.name, "In");
    EXPECT_EQ(info.dir, PinDirection::Input);
}

TEST_F(CaptureTest, DeviceSettings) {
    auto camera = TestFilter(DeviceCategory::VideoInput);
    auto mic = TestFilter(DeviceCategory::AudioInput);
    std::vector<DeviceControl> controls;
    ASSERT_EQ(camera->GetControls(&controls), S_OK);
    auto find = [&](const std::string& name) -> const DeviceControl* {
        for (auto& c : controls)
            if (c.name == name) return &c;
        return nullptr;
    };
    const DeviceControl* brightness = find("BRIGHTNESS");
    ASSERT_NE(brightness, nullptr);
    ASSERT_NE(find("CONTRAST"), nullptr);
    EXPECT_LT(brightness->minimum, brightness->maximum);
    const int maximum = brightness->maximum;
    EXPECT_EQ(camera->SetControl("BRIGHTNESS", maximum + 1), E_INVALIDARG);
    EXPECT_EQ(camera->SetControl("NO SUCH", 0), E_INVALIDARG);
    ASSERT_EQ(camera->SetControl("BRIGHTNESS", maximum / 2), S_OK);
    ASSERT_EQ(camera->GetControls(&controls), S_OK);
    EXPECT_EQ(find("BRIGHTNESS")->value, maximum / 2);

    ASSERT_EQ(mic->GetControls(&controls), S_OK);
    ASSERT_EQ(controls.size(), 1u);
    EXPECT_EQ(controls[0].name, "Volume");
    EXPECT_EQ(controls[0].value, 100);
    EXPECT_EQ(mic->SetControl("Volume", 101), E_INVALIDARG);
    ASSERT_EQ(mic->SetControl("Volume", 40), S_OK);
    ASSERT_EQ(mic->GetControls(&controls), S_OK);
    EXPECT_EQ(controls[0].value, 40);
}

TEST_F(CaptureTest, RegisteredGraphIsDumpedAsDot) {
    namespace fs = std::filesystem;
    const testsupport::TempFolder folder("lumacast-dot");
    const fs::path& dir = folder.Path();
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    auto sink = RefPtr<NullRenderer>::Adopt(new NullRenderer);
    graph->AddFilter(sink.Get(), "Null sound render");
    std::uint32_t cookie = 0;
    unsetenv("GST_DEBUG_DUMP_DOT_DIR");
    EXPECT_TRUE(FAILED(RegisterGraph(graph.Get(), "FilterGraph 1 pid 2", &cookie)));
    EXPECT_EQ(cookie, 0u);
    setenv("GST_DEBUG_DUMP_DOT_DIR", dir.c_str(), 1);
    EXPECT_EQ(RegisterGraph(graph.Get(), "FilterGraph 1 pid 2", &cookie), S_OK);
    unsetenv("GST_DEBUG_DUMP_DOT_DIR");
    EXPECT_NE(cookie, 0u);
    EXPECT_TRUE(fs::exists(dir / "FilterGraph 1 pid 2.dot"));
    EXPECT_EQ(RevokeGraph(graph.Get(), cookie), S_OK);
}

}  // namespace

namespace {

// Reads the capture time back from a bottom-up BGR frame of the stamping camera.
std::uint64_t ReadClockStamp(const std::vector<std::uint8_t>& bgr, int width) {
    const int blockWidth = (width / kClockStampBits) & ~1;
    const std::size_t row = 8 * DibStride(width);  // a middle row of the stamp
    std::uint64_t value = 0;
    for (int bit = 0; bit < kClockStampBits; ++bit) {
        const std::size_t x = static_cast<std::size_t>(bit * blockWidth + blockWidth / 2);
        value = value << 1 | (bgr[row + x * 3 + 1] > 128 ? 1u : 0u);
    }
    return value;
}

}  // namespace

TEST_F(CaptureTest, ClockStampingCameraCarriesItsCaptureTime) {
    TestDevice camera = DefaultTestDevices().front();
    camera.stampsClock = true;
    SetTestDevices({camera});
    auto filter = TestFilter(DeviceCategory::VideoInput);
    ASSERT_TRUE(filter);
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    ASSERT_EQ(builder.SetFiltergraph(graph.Get()), S_OK);
    auto grabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
    ASSERT_EQ(graph->AddFilter(filter.Get(), nullptr), S_OK);
    ASSERT_EQ(graph->AddFilter(grabber.Get(), "Sample grabber"), S_OK);
    ASSERT_EQ(builder.RenderStream(PinCategory::Preview, MajorType::Video, filter.Get(),
                                   grabber.Get(), nullptr),
              VFW_S_NOPREVIEWPIN);
    RefPtr<VideoRenderer> window;
    ASSERT_EQ(graph->QueryVideoWindow(&window), S_OK);
    HeadlessSurface surface;
    window->put_Owner(&surface);
    window->put_Visible(true);
    ASSERT_EQ(graph->Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] { return surface.FrameCount() >= 3; })) << graph->LastError();
    std::vector<std::uint8_t> frame;
    int width = 0, height = 0;
    ASSERT_TRUE(surface.LastFrame(&frame, &width, &height));
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    ASSERT_EQ(graph->Stop(), S_OK);

    const std::uint64_t nowMs =
        (static_cast<std::uint64_t>(now.tv_sec) * 1000u + now.tv_nsec / 1000000) &
        ((std::uint64_t{1} << kClockStampBits) - 1);
    const std::uint64_t stamped = ReadClockStamp(frame, width);
    EXPECT_LE(stamped, nowMs);
    EXPECT_LT(nowMs - stamped, 5000u) << "stamped " << stamped << ", now " << nowMs;
}

TEST_F(CaptureTest, OnlyTheTestDevicesWhenAskedSo) {
    ResetTestDevices();
    setenv("LUMACAST_FAKE_DEVICES", "only", 1);
    const auto video = Names(DeviceCategory::VideoInput);
    const auto audio = Names(DeviceCategory::AudioInput);
    unsetenv("LUMACAST_FAKE_DEVICES");
    EXPECT_EQ(video, std::vector<std::string>{"Lumacast Test Camera"});
    EXPECT_EQ(audio, std::vector<std::string>{"Lumacast Test Microphone"});
}

// ---- the system's devices -------------------------------------------------

namespace {

// The formats offered are the device's own: its sample sizes where its caps
// name them (none of 8 bits where it names none, as PipeWire's provider
// does), 16 bits made by conversion where it names neither, its rates and
// channel counts; and of a camera's caps (as V4L2 lists them) each raw or
// JPEG size once, in system memory, at the frame rate nearest 30.
TEST(DeviceFormats, ListsAreTheDevicesOwn) {
    ASSERT_TRUE(EnsureGstreamer());
    struct Case {
        const char* name;
        const char* caps;
        int eightBit, sixteenBit, mono;
    };
    const Case audio[] = {
        {"PipeWire's tone node",
         "audio/x-raw,layout=interleaved,format={S16LE,S32LE,F32LE,F64LE},"
         "rate=[1,2147483647],channels=[1,2147483647]",
         0, 14, 7},
        {"PulseAudio's source",
         "audio/x-raw,format={S16LE,S16BE,F32LE,S32LE,U8},layout=interleaved,rate=[1,384000],"
         "channels=[1,32];audio/x-alaw,rate=[1,384000],channels=[1,32]",
         14, 14, 14},
        {"a float-only stereo source", "audio/x-raw,format=F32LE,rate=[1,2147483647],channels=2", 0,
         7, 0},
        {"a source naming no sample format", "audio/x-raw,layout=interleaved,channels=2", 0, 7, 0},
        {"an 8-bit card", "audio/x-raw,format=U8,rate=[8000,48000],channels=[1,2]", 14, 0, 7},
        {"a card at one rate", "audio/x-raw,format=S16LE,rate=48000,channels=1", 0, 1, 1},
    };
    for (const Case& c : audio) {
        SCOPED_TRACE(c.name);
        CapsPtr caps(gst_caps_from_string(c.caps));
        int eight = 0, sixteen = 0, mono = 0;
        for (const MediaType& type : AudioCapabilities(caps.get())) {
            const WAVEFORMATEX* w = type.Wave();
            ASSERT_NE(w, nullptr);
            eight += w->wBitsPerSample == 8;
            sixteen += w->wBitsPerSample == 16;
            mono += w->nChannels == 1;
        }
        EXPECT_EQ(eight, c.eightBit);
        EXPECT_EQ(sixteen, c.sixteenBit);
        EXPECT_EQ(mono, c.mono);
    }

    CapsPtr camera(gst_caps_from_string(
        "video/x-raw,format=YUY2,width=640,height=480,pixel-aspect-ratio=1/1,"
        "framerate={30/1,15/1};"
        "video/x-raw,format=YUY2,width=1280,height=720,framerate={10/1,5/1};"
        "image/jpeg,width=1280,height=720,framerate={30/1,15/1};"
        "video/x-raw(memory:DMABuf),format=NV12,width=640,height=480,framerate=30/1;"
        "video/x-raw,format=YUY2,width=640,height=480,framerate=30/1"));
    struct Frame {
        SubType subtype;
        int width, height;
        std::int64_t frameTime;
    };
    std::vector<Frame> frames;
    for (const MediaType& type : VideoCapabilities(camera.get())) {
        const VIDEOINFOHEADER* vih = type.VideoInfo();
        frames.push_back(
            {type.subtype, vih->bmiHeader.biWidth, vih->bmiHeader.biHeight, vih->AvgTimePerFrame});
    }
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[0].subtype, SubType::YUY2);
    EXPECT_EQ(frames[0].frameTime, 333333);
    EXPECT_EQ(frames[1].width, 1280);
    EXPECT_EQ(frames[1].frameTime, 1000000);
    EXPECT_EQ(frames[2].subtype, SubType::MJPG);
    EXPECT_EQ(frames[2].height, 720);
}

// A device as a provider lists it.
struct ListedDevice {
    GstDevice parent;
};
struct ListedDeviceClass {
    GstDeviceClass parent;
};
G_DEFINE_TYPE(ListedDevice, listed_device, GST_TYPE_DEVICE)
void listed_device_class_init(ListedDeviceClass*) {}
void listed_device_init(ListedDevice*) {}

GstDevice* Listed(const char* name, const char* kind, const char* properties) {
    CapsPtr caps(gst_caps_from_string(kind[0] == 'A' ? "audio/x-raw" : "video/x-raw"));
    GstStructure* props = gst_structure_from_string(properties, nullptr);
    auto* device =
        GST_DEVICE(g_object_new(listed_device_get_type(), "display-name", name, "device-class",
                                kind, "caps", caps.get(), "properties", props, nullptr));
    gst_structure_free(props);
    return GST_DEVICE(gst_object_ref_sink(device));
}

// One entry per device, from the provider that serves it best, by name; what
// captures nothing, or what a sound server holds, is left out.
TEST(DeviceLists, ProvidersBecomeOneEntryPerDevice) {
    ASSERT_TRUE(EnsureGstreamer());
    using Listing = std::tuple<const char*, const char*, const char*>;
    struct Case {
        const char* name;
        std::vector<Listing> listed;
        DeviceCategory category;
        // Each entry's name and its provider's properties.
        std::vector<std::pair<std::string, std::string>> entries;
    };
    const Case cases[] = {
        {"a microphone through PipeWire and PulseAudio",
         {{"USB Mic", "Audio/Source",
           "pipewire-proplist,node.name=alsa_input.usb,object.serial=(string)40"},
          {"Monitor of Speakers", "Audio/Source",
           "pulse-proplist,node.name=alsa_output.pci,device.class=monitor"},
          {"USB Mic", "Audio/Source",
           "pulse-proplist,node.name=alsa_input.usb,object.serial=(string)40"},
          {"HDA Intel PCH", "Audio/Source", "alsa-proplist,alsa.card=(string)0"}},
         DeviceCategory::AudioInput,
         {{"USB Mic", "pulse-proplist"}}},
        {"sound cards without a sound server",
         {{"HDA Intel PCH", "Audio/Source", "alsa-proplist,alsa.card=(string)0"},
          {"C-Media USB", "Audio/Source", "alsa-proplist,alsa.card=(string)1"}},
         DeviceCategory::AudioInput,
         {{"C-Media USB", "alsa-proplist"}, {"HDA Intel PCH", "alsa-proplist"}}},
        {"a webcam through V4L2 and PipeWire, and a virtual camera",
         {{"HD Webcam (V4L2)", "Video/Source",
           "pipewire-proplist,api.v4l2.path=/dev/video0,node.name=v4l2_input.usb"},
          {"Virtual Camera", "Video/Source", "pipewire-proplist,node.name=obs_virtual"},
          {"HD Webcam", "Video/Source", "v4l2deviceprovider,device.path=/dev/video0"},
          {"USB Mic", "Audio/Source", "pipewire-proplist,node.name=alsa_input.usb"}},
         DeviceCategory::VideoInput,
         {{"HD Webcam", "v4l2deviceprovider"}, {"Virtual Camera", "pipewire-proplist"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<GstDevice*> devices;
        for (const auto& [name, kind, props] : c.listed)
            devices.push_back(Listed(name, kind, props));
        std::vector<std::pair<std::string, std::string>> entries;
        for (const auto& d : MergeProvidedDevices(devices, c.category)) {
            GstStructure* props = gst_device_get_properties(d->device.get());
            entries.emplace_back(d->name, gst_structure_get_name(props));
            gst_structure_free(props);
        }
        EXPECT_EQ(entries, c.entries);
        for (GstDevice* device : devices) gst_object_unref(device);
    }
}

}  // namespace
