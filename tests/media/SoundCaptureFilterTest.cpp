// The audio tap on its own: its type checks, what it refuses at connection
// time, and that the output carries exactly the bytes the callback saw.

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <vector>

#include "MediaTestSupport.h"
#include "capture/Devices.h"
#include "media/SoundCaptureFilter.h"

using namespace capture;

namespace {

struct Probe : SoundCaptureFilter {
    using SoundCaptureFilter::DecideBufferSize;
};

TEST(SoundCaptureFilter, TypeChecks) {
    ASSERT_TRUE(EnsureGstreamer());
    auto filter = RefPtr<Probe>::Adopt(new Probe);
    WAVEFORMATEX wave{WAVE_FORMAT_PCM, 1, 8000, 16000, 2, 16, 0};
    const MediaType audio = AudioMediaType(wave);
    const MediaType video = VideoMediaType(SubType::RGB24, 320, 240, 30, 1);
    MediaType stream;
    ASSERT_EQ(filter->GetMediaType(0, &stream), S_OK);
    EXPECT_EQ(stream.majortype, MajorType::Stream);
    EXPECT_EQ(stream.subtype, SubType::WAVE);
    EXPECT_EQ(filter->GetMediaType(1, &stream), VFW_S_NO_MORE_ITEMS);
    EXPECT_EQ(filter->GetMediaType(0, nullptr), E_POINTER);

    struct Case {
        const MediaType* type;
        HRESULT input;
        HRESULT output;
    };
    for (Case c : {Case{&audio, S_OK, S_FALSE}, Case{&video, S_FALSE, S_FALSE},
                   Case{&stream, S_FALSE, S_OK}}) {
        EXPECT_EQ(filter->CheckInputType(*c.type), c.input);
        EXPECT_EQ(filter->CheckOutputType(*c.type), c.output);
    }
    BufferAllocator allocator;
    AllocatorProperties request;
    EXPECT_EQ(filter->DecideBufferSize(&allocator, &request), E_UNEXPECTED);  // input not connected
}

// A sink that keeps what reaches it.
class KeepingSink : public BaseFilter {
  public:
    KeepingSink() : BaseFilter("keeping sink") {
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        g_object_set(sink, "sync", FALSE, "signal-handoffs", TRUE, nullptr);
        g_signal_connect(sink, "handoff", G_CALLBACK(&KeepingSink::OnHandoff), this);
        gst_bin_add(GST_BIN(bin_), sink);
        AddPin(sink, "sink", "In");
    }
    std::mutex mutex;
    std::vector<std::uint8_t> bytes;
    std::atomic<int> untimed{0};

  private:
    static void OnHandoff(GstElement*, GstBuffer* buffer, GstPad*, gpointer data) {
        auto* self = static_cast<KeepingSink*>(data);
        if (!GST_BUFFER_PTS_IS_VALID(buffer)) ++self->untimed;
        GstMapInfo map;
        if (!gst_buffer_map(buffer, &map, GST_MAP_READ)) return;
        std::lock_guard lock(self->mutex);
        if (self->bytes.size() < 40000)
            self->bytes.insert(self->bytes.end(), map.data, map.data + map.size);
        gst_buffer_unmap(buffer, &map);
    }
};

std::mutex g_seenMutex;
std::vector<std::uint8_t> g_seen;
struct Remember final : AudioChunkCallback {
    void OnAudioChunk(const std::uint8_t* data, std::int32_t length) override {
        std::lock_guard lock(g_seenMutex);
        if (g_seen.size() < 40000) g_seen.insert(g_seen.end(), data, data + length);
    }
} g_remember;

TEST(SoundCaptureFilter, PassesTheBytesItHandsToTheCallback) {
    ASSERT_TRUE(EnsureGstreamer());
    SetTestDevices(DefaultTestDevices());
    std::vector<RefPtr<Moniker>> video, audio;
    ASSERT_EQ(CreateClassEnumerator(DeviceCategory::VideoInput, &video), S_OK);
    ASSERT_EQ(CreateClassEnumerator(DeviceCategory::AudioInput, &audio), S_OK);
    RefPtr<CaptureFilter> camera, mic;
    ASSERT_EQ(video.back()->BindToObject(&camera), S_OK);
    ASSERT_EQ(audio.back()->BindToObject(&mic), S_OK);
    ResetTestDevices();

    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    builder.SetFiltergraph(graph.Get());
    auto tap = RefPtr<SoundCaptureFilter>::Adopt(new SoundCaptureFilter);
    auto sink = RefPtr<KeepingSink>::Adopt(new KeepingSink);
    graph->AddFilter(camera.Get(), nullptr);
    graph->AddFilter(mic.Get(), nullptr);
    graph->AddFilter(tap.Get(), "MySoundCapture");
    graph->AddFilter(sink.Get(), "Null sound render");
    EXPECT_EQ(tap->FindPin(PinDirection::Input)->Direction(), PinDirection::Input);
    // Video is refused when connecting, not later while running.
    EXPECT_EQ(builder.RenderStream(PinCategory::Capture, MajorType::Video, camera.Get(), tap.Get(),
                                   sink.Get()),
              VFW_E_CANNOT_CONNECT);
    ASSERT_EQ(builder.RenderStream(PinCategory::Capture, MajorType::Audio, mic.Get(), tap.Get(),
                                   sink.Get()),
              S_OK);
    {
        std::lock_guard lock(g_seenMutex);
        g_seen.clear();
    }
    tap->SetAudioCallback(&g_remember);
    ASSERT_EQ(graph->Run(), S_OK);
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard a(g_seenMutex);
        std::lock_guard b(sink->mutex);
        return g_seen.size() >= 20000 && sink->bytes.size() >= 20000;
    })) << graph->LastError();
    graph->Stop();
    tap->SetAudioCallback(nullptr);
    std::lock_guard a(g_seenMutex);
    std::lock_guard b(sink->mutex);
    const std::size_t n = std::min(g_seen.size(), sink->bytes.size());
    EXPECT_TRUE(
        std::equal(g_seen.begin(), g_seen.begin() + static_cast<long>(n), sink->bytes.begin()));
    EXPECT_EQ(sink->untimed, 0);  // the stream times travel with the copies
}

TEST(SoundCaptureFilter, AudioFlowsWithoutCallback) {
    ASSERT_TRUE(EnsureGstreamer());
    SetTestDevices(DefaultTestDevices());
    std::vector<RefPtr<Moniker>> audio;
    ASSERT_EQ(CreateClassEnumerator(DeviceCategory::AudioInput, &audio), S_OK);
    RefPtr<CaptureFilter> mic;
    ASSERT_EQ(audio.back()->BindToObject(&mic), S_OK);
    ResetTestDevices();
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    CaptureGraphBuilder builder;
    builder.SetFiltergraph(graph.Get());
    auto tap = RefPtr<SoundCaptureFilter>::Adopt(new SoundCaptureFilter);
    auto sink = RefPtr<NullRenderer>::Adopt(new NullRenderer);
    graph->AddFilter(mic.Get(), nullptr);
    graph->AddFilter(tap.Get(), "MySoundCapture");
    graph->AddFilter(sink.Get(), "Null sound render");
    ASSERT_EQ(builder.RenderStream(PinCategory::Capture, MajorType::Audio, mic.Get(), tap.Get(),
                                   sink.Get()),
              S_OK);
    ASSERT_EQ(graph->Run(), S_OK);
    EXPECT_TRUE(WaitUntil([&] { return sink->BuffersRendered() >= 5; })) << graph->LastError();
    graph->Stop();
}

}  // namespace
