#include "media/CapLib.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "diag/ProgramPath.h"
#include "media/CapLog.h"
#include "platform/MessageBox.h"

using namespace capture;

namespace {

// The texts of the library's error boxes. They keep the program's own
// wording, which names the Windows capture calls; beside each, the call here
// that it stands for.
namespace message {
// EnsureGstreamer: GStreamer would not start (gst_init_check).
constexpr char kNoEnumerator[] = "Error Creating Device Enumerator";
// Moniker::BindToObject: the camera's source bin could not be built.
constexpr char kNoVideoFilter[] = "Cannot create video capture filter";
// CaptureGraphBuilder::SetFiltergraph: the builder already has a pipeline.
constexpr char kNoBuilderGraph[] = "Cannot give graph to builder";
// FilterGraph::AddFilter: the pipeline would not take the camera's bin.
constexpr char kVideoNotAdded[] = "Cannot add vidcap to filtergraph";
// CaptureGraphBuilder::FindStreamConfig: the camera names no formats.
constexpr char kNoVideoConfig[] = "Cannot find VCapture:IAMStreamConfig";
// SampleGrabber::SetMediaType: the frame tap refuses 24-bit RGB.
constexpr char kGrabberType[] = "Could not set media type";
// Moniker::BindToObject: the microphone's source bin could not be built.
constexpr char kNoAudioFilter[] = "Cannot create audio capture filter";
// FilterGraph::AddFilter: the pipeline would not take the microphone's bin.
constexpr char kAudioNotAdded[] = "Cannot add audcap to filtergraph";
// CaptureGraphBuilder::FindStreamConfig: the microphone names no formats.
constexpr char kNoAudioConfig[] = "Cannot find ACapture:IAMStreamConfig";
// StreamConfig::GetStreamCaps: the microphone has no format of that index.
constexpr char kNoAudioCaps[] = "Cannot GetStreamCaps";
// StreamConfig::SetFormat: the microphone's caps filter refuses the format.
constexpr char kAudioFormat[] = "Cannot set audio format";
// CaptureGraphBuilder::RenderStream: camera, frame tap and preview sink
// would not link.
constexpr char kNoPreview[] = "This graph cannot preview!";
// FilterGraph::AddFilter: the pipeline would not take the sound tap.
constexpr char kSoundTapNotAdded[] = "Cannot add wavdest to filtergraph";
// CaptureGraphBuilder::RenderStream: microphone, sound tap and fakesink
// would not link.
constexpr char kNoAudioRender[] = "Cannot render audio capture stream";
// FilterGraph::QueryVideoWindow: the pipeline has no preview sink.
constexpr char kNoVideoWindow[] = "This graph cannot preview properly";
// SampleGrabber::GetConnectedMediaType: the frame tap has no caps yet.
constexpr char kNoConnectedType[] = "Error getting media type.";
// FilterGraph::Run: the pipeline would not go to PLAYING.
constexpr char kCannotRun[] = "Error: Cannot run preview graph";
// FilterGraph::Stop: the pipeline would not go to NULL.
constexpr char kCannotStop[] = "Error: Cannot stop preview graph";
}  // namespace message

// The last names looked up, one buffer per kind for the whole process.
char g_videoName[256];
char g_audioName[256];

void ShowError(const char* text) {
    MessageBox(text, "Error", MB_OK | MB_ICONERROR);
}

void CopyName(const std::string& name, char (&buffer)[256]) {
    const std::size_t n = std::min(name.size(), sizeof buffer - 1);
    std::memcpy(buffer, name.data(), n);
    buffer[n] = '\0';
}

}  // namespace

CapLib::CapLib() {
    const std::string files = UserFilesPath();
    if (!files.empty()) g_capLog.SetFileName(FolderOf(files) + "caplib.txt");
    if (std::FILE* file = std::fopen(g_capLog.FileName().c_str(), "w")) std::fclose(file);
    EnumerateDevices();
}

CapLib::~CapLib() {
    if (!closed) Close();
}

// ---- devices --------------------------------------------------------------

void CapLib::EnumerateDevices() {
    for (auto& m : videoDeviceMonikers) m = nullptr;
    for (auto& m : audioDeviceMonikers) m = nullptr;
    videoDeviceCount = audioDeviceCount = 0;
    if (!EnsureGstreamer()) {
        ShowError(message::kNoEnumerator);
        return;
    }
    auto fill = [](DeviceCategory category, RefPtr<Moniker>(&table)[kMaxDevices], int& count) {
        std::vector<RefPtr<Moniker>> monikers;
        if (CreateClassEnumerator(category, &monikers) != S_OK) return;
        for (auto& moniker : monikers) {
            if (count == kMaxDevices) break;  // an eleventh device is not listed
            std::string name;
            if (SUCCEEDED(moniker->ReadFriendlyName(&name))) table[count++] = moniker;
        }
    };
    fill(DeviceCategory::VideoInput, videoDeviceMonikers, videoDeviceCount);
    fill(DeviceCategory::AudioInput, audioDeviceMonikers, audioDeviceCount);
}

RefPtr<Moniker> CapLib::VideoMoniker(int index) const {
    return index >= 0 && index < videoDeviceCount ? videoDeviceMonikers[index] : nullptr;
}

RefPtr<Moniker> CapLib::AudioMoniker(int index) const {
    return index >= 0 && index < audioDeviceCount ? audioDeviceMonikers[index] : nullptr;
}

const char* CapLib::GetVideoDeviceName(int index) {
    g_videoName[0] = '\0';
    std::string name;
    if (RefPtr<Moniker> moniker = VideoMoniker(index);
        moniker && SUCCEEDED(moniker->ReadFriendlyName(&name)))
        CopyName(name, g_videoName);
    g_capLog.WriteItem("  ");
    if (g_videoName[0]) g_capLog.WriteItem(g_videoName);
    g_capLog.WriteLineFeed();
    return g_videoName;
}

const char* CapLib::GetAudioDeviceName(int index) {
    g_audioName[0] = '\0';
    std::string name;
    if (RefPtr<Moniker> moniker = AudioMoniker(index);
        moniker && SUCCEEDED(moniker->ReadFriendlyName(&name)))
        CopyName(name, g_audioName);
    g_capLog.WriteItem("  ");
    if (g_audioName[0]) g_capLog.WriteItem(g_audioName);
    g_capLog.WriteLineFeed();
    return g_audioName;
}

int CapLib::GetAudioCaptureFormats(int audioIndex, std::unique_ptr<WAVEFORMATEX[]>* formats) {
    if (!formats) return 0;
    formats->reset();
    RefPtr<Moniker> moniker = AudioMoniker(audioIndex);
    if (!moniker) return 0;
    RefPtr<CaptureFilter> filter;  // a separate instance, not the one in the graph
    if (FAILED(moniker->BindToObject(&filter)) || !filter->HasStreamConfig()) return 0;
    StreamConfig config(filter);
    int count = 0, size = 0;
    if (FAILED(config.GetNumberOfCapabilities(&count, &size)) || count <= 0) return 0;
    std::unique_ptr<WAVEFORMATEX[]> list(new WAVEFORMATEX[static_cast<std::size_t>(count)]);
    for (int i = 0; i < count; ++i) {
        MediaType type;
        if (FAILED(config.GetStreamCaps(i, &type)) || type.cbFormat() < sizeof(WAVEFORMATEX))
            return 0;
        std::memcpy(&list[static_cast<std::size_t>(i)], type.pbFormat(), sizeof(WAVEFORMATEX));
    }
    *formats = std::move(list);
    return count;
}

// ---- selection and graph --------------------------------------------------

int CapLib::SelectDevices(int videoIndex, int audioIndex, PreviewSurface* window, int formatIndex) {
    previewWindow = window;
    RefPtr<Moniker> video = VideoMoniker(videoIndex);
    RefPtr<Moniker> audio = AudioMoniker(audioIndex);
    if (video.Get() == selectedVideoMoniker.Get() && audio.Get() == selectedAudioMoniker.Get() &&
        formatIndex == audioCaptureFormatIndex)
        return 1;
    selectedVideoMoniker = video;
    selectedAudioMoniker = audio;
    audioCaptureFormatIndex = formatIndex;
    closed = false;

    if (previewing) StopPreview();
    if (previewGraphBuilt) TearDownGraph();
    FreeCaptureFilters();
    InitCaptureFilters();
    if (wantPreview) {
        BuildPreviewGraph();
        StartPreview();
    }
    selectedVideoIndex = videoIndex;
    selectedAudioIndex = audioIndex;
    return 1;
}

int CapLib::InitCaptureFilters() {
    auto fatal = [this](const char* text) {
        ShowError(text);
        FreeCaptureFilters();
        return 0;
    };
    if (!builder) builder = RefPtr<CaptureGraphBuilder>::Adopt(new CaptureGraphBuilder);
    if (selectedVideoMoniker && FAILED(selectedVideoMoniker->BindToObject(&videoCaptureFilter)))
        return fatal(message::kNoVideoFilter);
    if (!graph) {
        graph = RefPtr<FilterGraph>::Adopt(new FilterGraph);
        if (FAILED(builder->SetFiltergraph(graph.Get()))) return fatal(message::kNoBuilderGraph);
    }

    if (videoCaptureFilter) {
        if (FAILED(graph->AddFilter(videoCaptureFilter.Get(), nullptr)))
            return fatal(message::kVideoNotAdded);
        HRESULT hr = builder->FindStreamConfig(PinCategory::Capture, MajorType::Interleaved,
                                               videoCaptureFilter.Get(), &videoStreamConfig);
        if (FAILED(hr))
            hr = builder->FindStreamConfig(PinCategory::Capture, MajorType::Video,
                                           videoCaptureFilter.Get(), &videoStreamConfig);
        if (FAILED(hr)) ShowError(message::kNoVideoConfig);
        if (videoStreamConfig) {
            MediaType format;
            if (SUCCEEDED(videoStreamConfig->GetFormat(&format))) {
                if (const VIDEOINFOHEADER* vih = format.VideoInfo()) {
                    frameWidth = vih->bmiHeader.biWidth;
                    frameHeight = vih->bmiHeader.biHeight;
                }
            }
        }
        sampleGrabber = RefPtr<SampleGrabber>::Adopt(new SampleGrabber);
        MediaType rgb;
        rgb.majortype = MajorType::Video;
        rgb.subtype = SubType::RGB24;
        if (FAILED(sampleGrabber->SetMediaType(rgb))) return fatal(message::kGrabberType);
    }

    if (selectedAudioMoniker) {
        if (FAILED(selectedAudioMoniker->BindToObject(&audioCaptureFilter))) {
            ShowError(message::kNoAudioFilter);
        } else {
            if (FAILED(graph->AddFilter(audioCaptureFilter.Get(), nullptr)))
                return fatal(message::kAudioNotAdded);
            if (FAILED(builder->FindStreamConfig(PinCategory::Capture, MajorType::Audio,
                                                 audioCaptureFilter.Get(), &audioStreamConfig))) {
                ShowError(message::kNoAudioConfig);
            } else {
                MediaType format;
                if (FAILED(audioStreamConfig->GetStreamCaps(audioCaptureFormatIndex, &format)))
                    ShowError(message::kNoAudioCaps);
                else if (FAILED(audioStreamConfig->SetFormat(format)))
                    ShowError(message::kAudioFormat);
            }
            if (audioDeliveryFormat_) {
                const MediaType delivery = AudioMediaType(*audioDeliveryFormat_);
                audioCaptureFilter->SetDeliveryFormat(&delivery);
            }
        }
    }
    return 1;
}

int CapLib::SetAudioDeliveryFormat(const WAVEFORMATEX* format) {
    if (format) {
        if (format->wFormatTag != WAVE_FORMAT_PCM || format->wBitsPerSample != 16) return 0;
        audioDeliveryFormat_ = *format;
    } else {
        audioDeliveryFormat_.reset();
    }
    if (!audioCaptureFilter) return 1;
    const MediaType delivery = format ? AudioMediaType(*format) : MediaType{};
    const MediaType before = audioCaptureFilter->DeliveredFormat();
    const MediaType after = format ? delivery : audioCaptureFilter->CurrentFormat();
    const WAVEFORMATEX* was = before.Wave();
    const WAVEFORMATEX* will = after.Wave();
    const bool same = was && will && was->nChannels == will->nChannels &&
                      was->nSamplesPerSec == will->nSamplesPerSec &&
                      was->wBitsPerSample == will->wBitsPerSample;
    // The same sound as now: a running graph is left alone (the next build
    // takes the stored format).
    if (same && previewing) return 1;
    // The sound changes shape: no buffer of the old one may reach the
    // callback after this returns, so the graph restarts around the change.
    const bool wasPreviewing = previewing;
    if (wasPreviewing) StopPreview();
    const HRESULT hr = audioCaptureFilter->SetDeliveryFormat(format ? &delivery : nullptr);
    if (wasPreviewing) StartPreview();
    return SUCCEEDED(hr) ? 1 : 0;
}

int CapLib::BuildPreviewGraph() {
    if (previewGraphBuilt) return 1;
    if (previewing) return 0;
    if (!videoCaptureFilter && !audioCaptureFilter) return 0;

    if (videoCaptureFilter) {
        graph->AddFilter(sampleGrabber.Get(), "Sample grabber");
        HRESULT hr = builder->RenderStream(PinCategory::Preview, MajorType::Interleaved,
                                           videoCaptureFilter.Get(), sampleGrabber.Get(), nullptr);
        if (hr != S_OK && hr != VFW_S_NOPREVIEWPIN)
            hr = builder->RenderStream(PinCategory::Preview, MajorType::Video,
                                       videoCaptureFilter.Get(), sampleGrabber.Get(), nullptr);
        if (FAILED(hr)) ShowError(message::kNoPreview);
    }

    if (audioCaptureFilter) {
        auto sound = RefPtr<SoundCaptureFilter>::Adopt(new SoundCaptureFilter);
        if (FAILED(graph->AddFilter(sound.Get(), "MySoundCapture"))) {
            ShowError(message::kSoundTapNotAdded);
        } else {
            soundFilter = sound.Get();
        }
        nullRenderer = RefPtr<NullRenderer>::Adopt(new NullRenderer);
        graph->AddFilter(nullRenderer.Get(), "Null sound render");
        if (FAILED(builder->RenderStream(PinCategory::Capture, MajorType::Audio,
                                         audioCaptureFilter.Get(), soundFilter,
                                         nullRenderer.Get())))
            ShowError(message::kNoAudioRender);
    }

    if (videoCaptureFilter) {
        if (FAILED(graph->QueryVideoWindow(&videoWindow))) {
            ShowError(message::kNoVideoWindow);
        } else {
            MediaType format;
            if (videoStreamConfig && SUCCEEDED(videoStreamConfig->GetFormat(&format)) &&
                format.formattype == FormatType::DvInfo) {
                long width = 0, height = 0;
                if (SUCCEEDED(videoWindow->get_VideoWidth(&width)) &&
                    SUCCEEDED(videoWindow->get_VideoHeight(&height))) {
                    frameWidth = static_cast<int>(width);
                    frameHeight = static_cast<int>(height);
                }
            }
            videoWindow->put_Owner(previewWindow);
            videoWindow->put_Visible(true);
        }
    }

    char name[64];
    std::snprintf(name, sizeof name, "FilterGraph %08x pid %08x",
                  static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(graph.Get())),
                  static_cast<unsigned>(getpid()));
    if (FAILED(RegisterGraph(graph.Get(), name, &rotRegistration))) rotRegistration = 0;
    previewGraphBuilt = true;
    return 1;
}

void CapLib::RemoveDownstream(BaseFilter* filter) {
    if (!filter || !graph) return;
    for (auto& pin : filter->EnumPins()) {
        RefPtr<Pin> connected;
        if (FAILED(pin->ConnectedTo(&connected))) continue;
        Pin::Info info;
        if (FAILED(connected->QueryPinInfo(&info)) || !info.filter) continue;
        if (info.dir == PinDirection::Input) {
            RemoveDownstream(info.filter.Get());
            graph->Disconnect(connected.Get());
            graph->Disconnect(pin.Get());
            graph->RemoveFilter(info.filter.Get());
        }
    }
}

void CapLib::TearDownGraph() {
    if (videoWindow) {
        videoWindow->put_Owner(nullptr);
        videoWindow->put_Visible(false);
        videoWindow = nullptr;
    }
    RemoveDownstream(videoCaptureFilter.Get());
    RemoveDownstream(audioCaptureFilter.Get());
    soundFilter = nullptr;
    if (rotRegistration != 0) {
        RevokeGraph(graph.Get(), rotRegistration);
        rotRegistration = 0;
    }
    previewGraphBuilt = false;
}

void CapLib::FreeCaptureFilters() {
    // No frame may reach the callback object while it goes.
    if (sampleGrabber) sampleGrabber->SetCallback(nullptr, 1);
    frameGrabberCallback.reset();
    graph = nullptr;
    builder = nullptr;
    videoCaptureFilter = nullptr;
    audioCaptureFilter = nullptr;
    audioStreamConfig = nullptr;
    videoStreamConfig = nullptr;
    sampleGrabber = nullptr;
    nullRenderer = nullptr;
    soundFilter = nullptr;
    videoWindow = nullptr;
    rotRegistration = 0;
    previewGraphBuilt = false;
    previewing = false;
}

// ---- running --------------------------------------------------------------

int CapLib::StartPreview() {
    if (previewing) return 1;
    if (!previewGraphBuilt) return 0;
    if (sampleGrabber) {
        MediaType connected;
        if (FAILED(sampleGrabber->GetConnectedMediaType(&connected))) {
            ShowError(message::kNoConnectedType);
            return 0;
        }
        int width = frameWidth, height = frameHeight;
        if (const VIDEOINFOHEADER* vih = connected.VideoInfo()) {
            width = vih->bmiHeader.biWidth;
            height = vih->bmiHeader.biHeight;
        }
        sampleGrabber->SetCallback(nullptr, 1);
        frameGrabberCallback.reset();
        frameGrabberCallback = std::make_unique<FrameGrabberCallback>(width, height, sampleGrabber);
        // The caption goes on across a restart (a settings page changed the
        // camera's format while the preview ran).
        frameGrabberCallback->SetFrameCallback(frameCallback_);
        sampleGrabber->SetBufferSamples(false);
        sampleGrabber->SetOneShot(false);
        sampleGrabber->SetCallback(frameGrabberCallback.get(), 1);
    }
    if (SUCCEEDED(graph->Run())) {
        previewing = true;
        return 1;
    }
    graph->Stop();
    ShowError(message::kCannotRun);
    return 0;
}

int CapLib::StopPreview() {
    if (!previewing) return 0;
    if (FAILED(graph->Stop())) {
        ShowError(message::kCannotStop);
        return 0;
    }
    previewing = false;
    if (previewWindow) previewWindow->Clear();
    return 1;
}

void CapLib::Close() {
    selectedVideoMoniker = nullptr;
    selectedAudioMoniker = nullptr;
    if (previewing) StopPreview();
    if (previewGraphBuilt) TearDownGraph();
    FreeCaptureFilters();
    closed = true;
}

// ---- device settings ------------------------------------------------------

std::vector<MediaType> CapLib::GetVideoFormats() const {
    std::vector<MediaType> formats;
    if (!videoStreamConfig) return formats;
    int count = 0, size = 0;
    if (FAILED(videoStreamConfig->GetNumberOfCapabilities(&count, &size))) return formats;
    for (int i = 0; i < count; ++i) {
        MediaType type;
        if (SUCCEEDED(videoStreamConfig->GetStreamCaps(i, &type)))
            formats.push_back(std::move(type));
    }
    return formats;
}

int CapLib::SetVideoFormat(const MediaType& format) {
    if (!videoCaptureFilter || !videoStreamConfig) return 0;
    if (wantPreview) StopPreview();
    if (previewGraphBuilt) TearDownGraph();
    const HRESULT hr = videoStreamConfig->SetFormat(format);
    if (SUCCEEDED(hr)) {
        MediaType current;
        const VIDEOINFOHEADER* vih =
            SUCCEEDED(videoStreamConfig->GetFormat(&current)) ? current.VideoInfo() : nullptr;
        if (vih) {
            frameWidth = vih->bmiHeader.biWidth;
            frameHeight = vih->bmiHeader.biHeight;
        }
    }
    if (wantPreview) {
        BuildPreviewGraph();
        StartPreview();
    }
    return SUCCEEDED(hr) ? 1 : 0;
}

// ---- frames and audio -----------------------------------------------------

void CapLib::SetFrameCallback(FrameCallback* callback) {
    frameCallback_ = callback;
    if (frameGrabberCallback) frameGrabberCallback->SetFrameCallback(callback);
}

FrameDC* CapLib::GetFrameDC() {
    return frameGrabberCallback ? frameGrabberCallback->GetFrameDC() : nullptr;
}
int CapLib::GetFrameWidth() {
    return frameGrabberCallback ? frameGrabberCallback->GetFrameWidth() : 0;
}
int CapLib::GetFrameHeight() {
    return frameGrabberCallback ? frameGrabberCallback->GetFrameHeight() : 0;
}

int CapLib::GetFrameLength() {
    if (!frameGrabberCallback) return 0;
    return frameGrabberCallback->GetFrameLength();
}

std::uint8_t* CapLib::LockFrame() {
    return frameGrabberCallback ? frameGrabberCallback->LockFrame() : nullptr;
}

void CapLib::UnlockFrame() {
    if (frameGrabberCallback) frameGrabberCallback->UnlockFrame();
}

void CapLib::SetAudioCallback(AudioChunkCallback* callback) {
    if (soundFilter) soundFilter->SetAudioCallback(callback);
}

std::vector<std::string> CapLib::GraphFilterNames() const {
    std::vector<std::string> names;
    if (graph)
        for (auto& filter : graph->Filters()) names.push_back(filter->Name());
    return names;
}
