// Measures the frame tap: frames per second and CPU time per frame of the test
// camera running unpaced through the grabber with the caption, against the
// same pipeline without our tap, at 640x480 and 1280x720. bench/capture runs it.

#include <QGuiApplication>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "capture/Devices.h"
#include "capture/Filter.h"
#include "capture/SampleGrabber.h"
#include "media/Caption.h"
#include "media/FrameGrabber.h"

using namespace capture;

// Every allocation of the process is counted, so that a per-frame allocation
// in either pipeline shows (not under AddressSanitizer, which owns malloc).
static std::atomic<unsigned long long> g_allocations{0};
#if !defined(__SANITIZE_ADDRESS__)
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* malloc(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t n, std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(n, size);
}
extern "C" void* realloc(void* p, std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(p, size);
}
#endif

namespace {

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double WallSeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

struct Result {
    double fps = 0;
    double cpuMsPerFrame = 0;
    double allocationsPerFrame = 0;
    bool ok = false;
};

bool g_dateTime = true;  // date and time, or a fixed text

// Runs until `frames` frames after a warm-up have passed the renderer.
Result Measure(FilterGraph* graph, VideoRenderer* renderer, std::uint64_t frames) {
    Result r;
    if (FAILED(graph->Run())) return r;
    const std::uint64_t warmUp = 30;
    auto waitFor = [&](std::uint64_t n) {
        const double limit = WallSeconds() + 60;
        while (renderer->FramesRendered() < n) {
            if (WallSeconds() > limit) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    };
    if (!waitFor(warmUp)) return r;
    const std::uint64_t startFrames = renderer->FramesRendered();
    const double wall0 = WallSeconds(), cpu0 = CpuSeconds();
    const unsigned long long alloc0 = g_allocations.load();
    if (!waitFor(startFrames + frames)) return r;
    const std::uint64_t done = renderer->FramesRendered() - startFrames;
    const double wall = WallSeconds() - wall0, cpu = CpuSeconds() - cpu0;
    const unsigned long long allocs = g_allocations.load() - alloc0;
    graph->Stop();
    r.fps = static_cast<double>(done) / wall;
    r.cpuMsPerFrame = cpu * 1000.0 / static_cast<double>(done);
    r.allocationsPerFrame = static_cast<double>(allocs) / static_cast<double>(done);
    r.ok = true;
    return r;
}

RefPtr<CaptureFilter> Camera(int width, int height) {
    std::vector<RefPtr<Moniker>> monikers;
    CreateClassEnumerator(DeviceCategory::VideoInput, &monikers);
    RefPtr<CaptureFilter> camera;
    if (monikers.empty() || FAILED(monikers.back()->BindToObject(&camera))) return nullptr;
    StreamConfig config(camera);
    if (FAILED(config.SetFormat(VideoMediaType(SubType::YUY2, width, height, 30, 1))))
        return nullptr;
    return camera;
}

// The same conversion to BGR as the grabber, without our tap.
class PlainConvert : public BaseFilter {
  public:
    PlainConvert() : BaseFilter("plain") {
        GstElement* convert = gst_element_factory_make("videoconvert", nullptr);
        GstElement* bgr = gst_element_factory_make("capsfilter", nullptr);
        GstCaps* caps = gst_caps_from_string("video/x-raw,format=BGR");
        g_object_set(bgr, "caps", caps, nullptr);
        gst_caps_unref(caps);
        gst_bin_add_many(GST_BIN(bin_), convert, bgr, nullptr);
        gst_element_link(convert, bgr);
        AddPin(convert, "sink", "In");
        AddPin(bgr, "src", "Out");
    }
};

Result RunPipeline(int width, int height, bool withTap, std::uint64_t frames) {
    auto graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
    auto camera = Camera(width, height);
    if (!camera) return {};
    auto renderer = RefPtr<VideoRenderer>::Adopt(new VideoRenderer);
    RefPtr<BaseFilter> middle;
    RefPtr<SampleGrabber> grabber;
    if (withTap) {
        grabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
        middle = grabber;
    } else {
        middle = RefPtr<BaseFilter>::Adopt(new PlainConvert);
    }
    graph->AddFilter(camera.Get(), "camera");
    graph->AddFilter(middle.Get(), "middle");
    graph->AddFilter(renderer.Get(), "renderer");
    CaptureGraphBuilder builder;
    builder.SetFiltergraph(graph.Get());
    if (FAILED(builder.RenderStream(PinCategory::Capture, MajorType::Video, camera.Get(),
                                    middle.Get(), renderer.Get())))
        return {};
    CaptionOverlay caption({g_dateTime, "Lumacast bench"});
    std::unique_ptr<FrameGrabberCallback> receiver;
    if (withTap) {
        receiver = std::make_unique<FrameGrabberCallback>(width, height, grabber);
        receiver->SetFrameCallback(&caption);
        grabber->SetCallback(receiver.get(), 1);
    }
    Result r = Measure(graph.Get(), renderer.Get(), frames);
    graph->Stop();
    if (grabber) grabber->SetCallback(nullptr, 1);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QGuiApplication app(argc, argv);
    if (!EnsureGstreamer()) {
        std::fprintf(stderr, "GStreamer cannot start\n");
        return 1;
    }
    TestDevice camera = DefaultTestDevices()[0];
    camera.live = false;  // as fast as the pipeline goes
    SetTestDevices({camera});

    std::printf("%-10s %-12s %10s %14s %14s\n", "size", "pipeline", "fps", "cpu ms/frame",
                "allocs/frame");
    bool ok = true;
    struct Size {
        int width, height;
        std::uint64_t frames;
    };
    for (Size s : {Size{640, 480, 600}, Size{1280, 720, 300}}) {
        const Result plain = RunPipeline(s.width, s.height, false, s.frames);
        const Result tap = RunPipeline(s.width, s.height, true, s.frames);
        // A fixed text shows the steady state: the date and time caption is
        // drawn afresh once a second.
        g_dateTime = false;
        const Result fixed = RunPipeline(s.width, s.height, true, s.frames);
        g_dateTime = true;
        char size[32];
        std::snprintf(size, sizeof size, "%dx%d", s.width, s.height);
        if (!plain.ok || !tap.ok || !fixed.ok) {
            std::printf("%-10s failed to run\n", size);
            ok = false;
            continue;
        }
        std::printf("%-10s %-12s %10.1f %14.3f %14.1f\n", size, "without tap", plain.fps,
                    plain.cpuMsPerFrame, plain.allocationsPerFrame);
        std::printf("%-10s %-12s %10.1f %14.3f %14.1f\n", size, "with tap", tap.fps,
                    tap.cpuMsPerFrame, tap.allocationsPerFrame);
        std::printf("%-10s %-12s %10.1f %14.3f %14.1f\n", size, "fixed text", fixed.fps,
                    fixed.cpuMsPerFrame, fixed.allocationsPerFrame);
        std::printf(
            "%-10s tap adds %.3f ms CPU and %.1f allocations per frame; fps ratio with/without "
            "%.3f\n",
            size, tap.cpuMsPerFrame - plain.cpuMsPerFrame,
            tap.allocationsPerFrame - plain.allocationsPerFrame, tap.fps / plain.fps);
    }
    return ok ? 0 : 1;
}
