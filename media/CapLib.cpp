#include "media/CapLib.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <tuple>

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
    std::vector<RefPtr<Moniker>> before(std::begin(videoDeviceMonikers),
                                        std::end(videoDeviceMonikers));
    before.insert(before.end(), std::begin(audioDeviceMonikers), std::end(audioDeviceMonikers));
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
    listsGeneration_ = DeviceListGeneration();

    // Lists made anew have new monikers: what was set for a device stays
    // with it, and the selection's indices follow their devices.
    const auto indexOf = [](const RefPtr<Moniker>(&table)[kMaxDevices], int count,
                            const RefPtr<Moniker>& device) {
        for (int i = 0; device && i < count; ++i)
            if (table[i]->Key() == device->Key()) return i;
        return -1;
    };
    for (const RefPtr<Moniker>& old : before) {
        if (!old) continue;
        const bool video = old->Category() == DeviceCategory::VideoInput;
        const int at = video ? indexOf(videoDeviceMonikers, videoDeviceCount, old)
                             : indexOf(audioDeviceMonikers, audioDeviceCount, old);
        if (at >= 0) (video ? videoDeviceMonikers : audioDeviceMonikers)[at]->InheritSettings(*old);
    }
    if (selectedVideoIndex != -1)
        selectedVideoIndex = indexOf(videoDeviceMonikers, videoDeviceCount, selectedVideoMoniker);
    if (selectedAudioIndex != -1)
        selectedAudioIndex = indexOf(audioDeviceMonikers, audioDeviceCount, selectedAudioMoniker);
}

bool CapLib::DevicesChanged() const {
    return DeviceListGeneration() != listsGeneration_;
}

std::optional<CapLib::DeviceIndexMap> CapLib::RefreshDevices() {
    if (!DevicesChanged()) return std::nullopt;
    std::vector<std::string> videoKeys, audioKeys;
    for (int i = 0; i < videoDeviceCount; ++i) videoKeys.push_back(videoDeviceMonikers[i]->Key());
    for (int i = 0; i < audioDeviceCount; ++i) audioKeys.push_back(audioDeviceMonikers[i]->Key());
    EnumerateDevices();
    const auto follow = [](const std::vector<std::string>& keys,
                           const RefPtr<Moniker>(&table)[kMaxDevices], int count) {
        std::vector<int> to(keys.size(), -1);
        for (std::size_t i = 0; i < keys.size(); ++i)
            for (int j = 0; j < count; ++j)
                if (table[j]->Key() == keys[i]) to[i] = j;
        return to;
    };
    return DeviceIndexMap{follow(videoKeys, videoDeviceMonikers, videoDeviceCount),
                          follow(audioKeys, audioDeviceMonikers, audioDeviceCount)};
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
    // Lists made anew name the same devices with new monikers. A device that
    // a stand-in replaces is tried again.
    const auto same = [](const RefPtr<Moniker>& a, const RefPtr<Moniker>& b) {
        return a.Get() == b.Get() || (a && b && a->SameInstance(*b));
    };
    if (same(video, selectedVideoMoniker) && same(audio, selectedAudioMoniker) &&
        formatIndex == audioCaptureFormatIndex && !videoSlot_.standingIn && !audioSlot_.standingIn)
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
    // A device plugged in again since it was listed is reached anew.
    selectedVideoMoniker = Latest(selectedVideoMoniker);
    selectedAudioMoniker = Latest(selectedAudioMoniker);
    checkedGeneration_ = DeviceListGeneration();
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
                bool set = false;
                if (FAILED(audioStreamConfig->GetStreamCaps(audioCaptureFormatIndex, &format)))
                    ShowError(message::kNoAudioCaps);
                else if (FAILED(audioStreamConfig->SetFormat(format)))
                    ShowError(message::kAudioFormat);
                else
                    set = true;
                // The format the settings name is not this device's (they were
                // made for another, or its formats changed): it captures in its
                // own format nearest to what is wanted, and the delivery
                // format converts from there.
                const int nearest = set ? -1 : NearestAudioFormat();
                if (nearest >= 0 && SUCCEEDED(audioStreamConfig->GetStreamCaps(nearest, &format)))
                    audioStreamConfig->SetFormat(format);
            }
            if (audioDeliveryFormat_) {
                const MediaType delivery = AudioMediaType(*audioDeliveryFormat_);
                audioCaptureFilter->SetDeliveryFormat(&delivery);
            }
        }
    }
    return 1;
}

int CapLib::NearestAudioFormat() const {
    if (!audioStreamConfig) return -1;
    int count = 0, size = 0;
    if (FAILED(audioStreamConfig->GetNumberOfCapabilities(&count, &size))) return -1;
    const std::uint32_t rate = audioDeliveryFormat_ ? audioDeliveryFormat_->nSamplesPerSec : 44100;
    const int channels = audioDeliveryFormat_ ? audioDeliveryFormat_->nChannels : 2;
    int best = -1;
    std::tuple<bool, std::uint32_t, int> bestDistance{};
    for (int i = 0; i < count; ++i) {
        MediaType type;
        if (FAILED(audioStreamConfig->GetStreamCaps(i, &type)) || !type.Wave()) continue;
        const WAVEFORMATEX& w = *type.Wave();
        const std::tuple<bool, std::uint32_t, int> distance{
            w.wBitsPerSample != 16,
            w.nSamplesPerSec > rate ? w.nSamplesPerSec - rate : rate - w.nSamplesPerSec,
            std::abs(w.nChannels - channels)};
        if (best < 0 || distance < bestDistance) {
            best = i;
            bestDistance = distance;
        }
    }
    return best;
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
    videoSlot_ = {};
    audioSlot_ = {};
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
        // camera's format while the preview ran), and so does a card.
        frameGrabberCallback->SetFrameCallback(frameCallback_);
        frameGrabberCallback->SetNoSignal(videoSlot_.standingIn);
        sampleGrabber->SetBufferSamples(false);
        sampleGrabber->SetOneShot(false);
        sampleGrabber->SetCallback(frameGrabberCallback.get(), 1);
    }
    if (SUCCEEDED(graph->Run())) {
        previewing = true;
        return 1;
    }
    graph->Stop();
    // A device that would not start (busy, refusing its format) gives way
    // to its stand-in, and the rest runs; the next check tells of it.
    const std::size_t told = pendingEvents_.size();
    StandInForFailedDevices(&pendingEvents_);
    if (pendingEvents_.size() > told && SUCCEEDED(graph->Run())) {
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

// ---- devices that go and come back ----------------------------------------

bool CapLib::HasVideo() const {
    return static_cast<bool>(videoCaptureFilter);
}

bool CapLib::HasAudio() const {
    if (!audioCaptureFilter) return false;
    if (!previewGraphBuilt) return true;
    RefPtr<Pin> out = audioCaptureFilter->FindPin(PinDirection::Output);
    RefPtr<Pin> peer;
    return out && SUCCEEDED(out->ConnectedTo(&peer));
}

RefPtr<Moniker> CapLib::Latest(const RefPtr<Moniker>& moniker) {
    if (!moniker) return moniker;
    RefPtr<Moniker> latest = FindDevice(moniker->Category(), moniker->Key());
    if (!latest || latest->SameInstance(*moniker)) return moniker;
    latest->InheritSettings(*moniker);
    return latest;
}

std::vector<CapLib::DeviceEvent> CapLib::CheckDevices() {
    std::vector<DeviceEvent> events;
    events.swap(pendingEvents_);
    if (!graph) return events;
    StandInForFailedDevices(&events);
    const std::uint64_t generation = DeviceListGeneration();
    const bool settling = videoSlot_.appeared || audioSlot_.appeared;
    if (generation == checkedGeneration_ && !settling) return events;
    checkedGeneration_ = generation;
    const auto now = std::chrono::steady_clock::now();
    for (const bool video : {true, false}) {
        const RefPtr<Moniker> chosen = SelectedMoniker(video);
        if (!chosen || !DeviceFilter(video)) continue;
        const RefPtr<Moniker> current = FindDevice(chosen->Category(), chosen->Key());
        DeviceSlot& slot = Slot(video);
        if (!slot.standingIn) {
            if (current && current->SameInstance(*chosen)) continue;
            StandIn(video, DeviceEvent::Kind::Lost, "", &events);
            slot.seenAbsent = !current;
            // Plugged out and in again between two looks: a new appearance.
            if (current && slot.standingIn) {
                slot.appeared = current;
                slot.appearedAt = now;
            }
        } else if (!current) {
            slot.seenAbsent = true;
            slot.appeared = nullptr;
        } else if (slot.seenAbsent || !slot.failed || !current->SameInstance(*slot.failed)) {
            if (!slot.appeared || !current->SameInstance(*slot.appeared)) {
                slot.appeared = current;
                slot.appearedAt = now;
            } else if (now - slot.appearedAt >= kSettle) {
                TakeBack(video, current, &events);
            }
        }
    }
    return events;
}

void CapLib::StandInForFailedDevices(std::vector<DeviceEvent>* events) {
    if (!graph) return;
    for (const FilterError& error : graph->TakeFilterErrors()) {
        for (const bool video : {true, false}) {
            const RefPtr<CaptureFilter>& filter = DeviceFilter(video);
            if (!filter || filter.Get() != error.filter.Get() || filter->IsStandIn()) continue;
            DeviceEvent::Kind kind = DeviceEvent::Kind::Failed;
            if (error.kind == FilterError::Kind::Gone) kind = DeviceEvent::Kind::Lost;
            if (error.kind == FilterError::Kind::Busy) kind = DeviceEvent::Kind::Busy;
            if (error.kind == FilterError::Kind::Format) kind = DeviceEvent::Kind::RefusesFormat;
            StandIn(video, kind, error.message, events);
        }
    }
}

void CapLib::StandIn(bool video, DeviceEvent::Kind why, const std::string& detail,
                     std::vector<DeviceEvent>* events) {
    RefPtr<CaptureFilter>& filter = DeviceFilter(video);
    DeviceSlot& slot = Slot(video);
    if (!filter || slot.standingIn || !graph) return;
    events->push_back({why, video, filter->DeviceName(), detail});
    MediaType format = filter->CurrentFormat();
    if (video) {
        // A card of the size the frames had, so the picture keeps its size.
        int width = frameGrabberCallback ? frameGrabberCallback->GetFrameWidth() : frameWidth;
        int height = frameGrabberCallback ? frameGrabberCallback->GetFrameHeight() : frameHeight;
        if (width <= 0 || height <= 0) {
            width = 320;
            height = 240;
        }
        const VIDEOINFOHEADER* vih = format.VideoInfo();
        const std::int64_t frameTime = vih && vih->AvgTimePerFrame > 0 ? vih->AvgTimePerFrame : 0;
        format = VideoMediaType(SubType::YUY2, width, height, frameTime ? 10000000 : 30,
                                frameTime ? static_cast<int>(frameTime) : 1);
    }
    std::optional<MediaType> delivery;
    if (!video && audioDeliveryFormat_) delivery = AudioMediaType(*audioDeliveryFormat_);
    RefPtr<CaptureFilter> standIn;
    if (FAILED(MakeStandIn(filter->Category(), filter->DeviceName(), format,
                           delivery ? &*delivery : nullptr, &standIn)) ||
        FAILED(graph->ReplaceFilter(filter.Get(), standIn.Get())))
        return;  // nothing takes its place: the picture holds, the sound stops
    slot.standingIn = true;
    slot.format = filter->CurrentFormat();
    slot.failed = SelectedMoniker(video);
    slot.seenAbsent = false;
    filter = standIn;
    AfterDeviceChange(video);
}

void CapLib::TakeBack(bool video, const RefPtr<Moniker>& device, std::vector<DeviceEvent>* events) {
    DeviceSlot& slot = Slot(video);
    RefPtr<CaptureFilter>& standIn = DeviceFilter(video);
    const std::string name = standIn->DeviceName();
    // Whatever fails now is tried again only when the device comes anew.
    slot.failed = device;
    slot.seenAbsent = false;
    slot.appeared = nullptr;
    device->InheritSettings(*SelectedMoniker(video));
    RefPtr<CaptureFilter> filter;
    if (FAILED(device->BindToObject(&filter))) {
        events->push_back({DeviceEvent::Kind::Failed, video, name, "it cannot be opened"});
        return;
    }
    std::optional<MediaType> delivery;
    if (!video && audioDeliveryFormat_) delivery = AudioMediaType(*audioDeliveryFormat_);
    HRESULT hr = filter->ApplyFormat(slot.format);
    if (SUCCEEDED(hr) && delivery) hr = filter->SetDeliveryFormat(&*delivery);
    if (SUCCEEDED(hr)) hr = graph->ReplaceFilter(standIn.Get(), filter.Get());
    if (hr == E_FAIL && filter->Graph() == graph.Get()) {
        // In the graph, it would not start: a stand-in takes its place again.
        DeviceEvent event{DeviceEvent::Kind::Failed, video, name, "it would not start"};
        for (const FilterError& error : graph->TakeFilterErrors()) {
            if (error.filter.Get() != filter.Get()) continue;
            event.detail = error.message;
            if (error.kind == FilterError::Kind::Busy) event.kind = DeviceEvent::Kind::Busy;
            if (error.kind == FilterError::Kind::Format)
                event.kind = DeviceEvent::Kind::RefusesFormat;
        }
        RefPtr<CaptureFilter> again;
        if (SUCCEEDED(MakeStandIn(filter->Category(), name, standIn->CurrentFormat(),
                                  delivery ? &*delivery : nullptr, &again)) &&
            SUCCEEDED(graph->ReplaceFilter(filter.Get(), again.Get()))) {
            standIn = again;
        } else {
            // The device stays where the graph has it, as a failed device.
            standIn = filter;
            slot.standingIn = false;
            AfterDeviceChange(video);
        }
        events->push_back(event);
        return;
    }
    if (FAILED(hr)) {
        events->push_back({DeviceEvent::Kind::RefusesFormat, video, name, ""});
        return;
    }
    standIn = filter;
    SelectedMoniker(video) = device;
    slot = {};
    AfterDeviceChange(video);
    events->push_back({DeviceEvent::Kind::Back, video, name, ""});
}

void CapLib::AfterDeviceChange(bool video) {
    RefPtr<CaptureFilter>& filter = DeviceFilter(video);
    RefPtr<StreamConfig>& config = video ? videoStreamConfig : audioStreamConfig;
    config = nullptr;
    if (!filter->IsStandIn())
        builder->FindStreamConfig(PinCategory::Capture, video ? MajorType::Video : MajorType::Audio,
                                  filter.Get(), &config);
    if (video && frameGrabberCallback) frameGrabberCallback->SetNoSignal(filter->IsStandIn());
}

std::vector<std::string> CapLib::GraphFilterNames() const {
    std::vector<std::string> names;
    if (graph)
        for (auto& filter : graph->Filters()) names.push_back(filter->Name());
    return names;
}
