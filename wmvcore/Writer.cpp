// The live writer: WriteSample copies each sample into the sample pool and
// returns; the writer's own thread encodes each input and packs the stream
// into ASF, whose header and data packets go to the sinks. While a sink
// serves web browsers, the same samples also go to the browser rendition.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "platform/HandOffTrace.h"
#include "wmvcore/AsfMuxer.h"
#include "wmvcore/AudioEncoder.h"
#include "wmvcore/BrowserRendition.h"
#include "wmvcore/Internal.h"
#include "wmvcore/SamplePool.h"
#include "wmvcore/SinkList.h"
#include "wmvcore/VideoEncoder.h"

namespace wmv {
namespace {

// Four pictures for the broadcast, two more that the browser rendition may
// still be encoding.
constexpr int kVideoSlots = 6;
constexpr int kAudioSlots = 48;
constexpr std::int64_t kMaxKeySpacing = 30000000;  // 3 s in 100-ns units
constexpr int kDefaultFps = 30;

// One input of the writer and the encoder behind it.
struct Input {
    StreamData stream;
    bool video = false;
    const CodecDesc* codec = nullptr;
    std::unique_ptr<VideoEncoder> videoEncoder;
    std::unique_ptr<AudioEncoder> audioEncoder;
};

// The encoder settings of a video stream of the profile.
VideoSettings StreamVideoSettings(const StreamData& stream, const CodecDesc& codec) {
    const VIDEOINFOHEADER* info = stream.mediaType.VideoInfo();
    VideoSettings settings;
    settings.codec = codec.id;
    settings.width = info->bmiHeader.biWidth;
    settings.height = std::abs(info->bmiHeader.biHeight);
    settings.fps = kDefaultFps;
    if (info->AvgTimePerFrame > 0) {
        settings.fps = static_cast<int>(std::clamp<std::int64_t>(
            (10000000 + info->AvgTimePerFrame / 2) / info->AvgTimePerFrame, 1, 120));
    }
    std::uint32_t bitrate = info->dwBitRate ? info->dwBitRate : stream.bitrate;
    if (bitrate == 0) bitrate = 300000;
    settings.bitRate = bitrate;
    std::int64_t spacing = stream.maxKeyFrameSpacing;
    if (spacing <= 0 || spacing > kMaxKeySpacing) spacing = kMaxKeySpacing;
    settings.gopSize =
        static_cast<int>(std::max<std::int64_t>(1, spacing * settings.fps / 10000000));
    // The bit rate bounds the stream; quality 1..100 sets how fine the
    // quantiser may go on easy pictures (lower quality spends fewer bits).
    const std::uint32_t quality =
        std::clamp<std::uint32_t>(stream.quality ? stream.quality : 75, 1, 100);
    settings.qmin = static_cast<int>(2 + (100 - quality) * 8 / 99);
    settings.qmax = 31;
    return settings;
}

AudioSettings StreamAudioSettings(const StreamData& stream, const CodecDesc& codec) {
    const WAVEFORMATEX* wave = stream.mediaType.Wave();
    AudioSettings settings;
    settings.codec = codec.id;
    settings.inputRate = static_cast<int>(wave->nSamplesPerSec);
    settings.channels = wave->nChannels;
    settings.sampleFormat = AV_SAMPLE_FMT_FLTP;
    settings.bitRate = static_cast<std::int64_t>(wave->nAvgBytesPerSec) * 8;
    return settings;
}

}  // namespace

HRESULT FromAv(int error) {
    if (error == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
    if (error < 0 && error > -0x10000) return HresultFromErrno(-error);
    return E_FAIL;
}

void FailureReport::operator()(const char* what, int error) {
    if (reported_++ < 5) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof(text));
        std::fprintf(stderr, "libwmvcore: %s: %s\n", what, text);
    }
}

class Writer final : public IWMWriter, public IWMWriterAdvanced, public IWMWriterRenditionInfo {
  public:
    ~Writer() override {
        if (writing_) EndWriting();
    }

    HRESULT SetProfile(IWMProfile* profile) override {
        if (!profile) return E_POINTER;
        std::lock_guard api(apiMutex_);
        if (writing_) return NS_E_INVALID_REQUEST;
        std::vector<StreamData> streams = ProfileStreams(profile);
        if (streams.empty()) return NS_E_INVALID_STREAM;
        for (const StreamData& stream : streams) {
            HRESULT hr = CheckStream(stream);
            if (FAILED(hr)) return hr;
        }
        streams_ = std::move(streams);
        return S_OK;
    }

    HRESULT GetInputCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        std::lock_guard api(apiMutex_);
        *count = static_cast<std::uint32_t>(streams_.size());
        return S_OK;
    }

    HRESULT BeginWriting() override;
    HRESULT EndWriting() override;
    HRESULT Flush() override;

    HRESULT AllocateSample(std::uint32_t size, INSSBuffer** sample) override {
        if (!sample) return E_POINTER;
        *sample = nullptr;
        try {
            *sample = new SampleBuffer(size);
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        return S_OK;
    }

    HRESULT WriteSample(std::uint32_t input, std::uint64_t time, std::uint32_t,
                        INSSBuffer* sample) override {
        if (!sample) return E_POINTER;
        std::uint8_t* data = nullptr;
        std::uint32_t length = 0;
        HRESULT hr = sample->GetBufferAndLength(&data, &length);
        if (FAILED(hr)) return hr;
        return pool_.Write(input, time, data, length);
    }

    // Advanced writer.
    HRESULT GetSinkCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = sinks_.Count();
        return S_OK;
    }
    HRESULT AddSink(IWMWriterSink* sink) override { return sinks_.Add(sink); }
    HRESULT RemoveSink(IWMWriterSink* sink) override { return sinks_.Remove(sink); }
    HRESULT SetLiveSource(std::int32_t isLive) override {
        live_ = isLive != 0;
        return S_OK;
    }
    HRESULT IsRealTime(std::int32_t* realTime) override {
        if (!realTime) return E_POINTER;
        *realTime = live_ ? 1 : 0;
        return S_OK;
    }
    HRESULT SetSyncTolerance(std::uint32_t ms) override {
        syncTolerance_ = ms;
        return S_OK;
    }
    HRESULT GetSyncTolerance(std::uint32_t* ms) override {
        if (!ms) return E_POINTER;
        *ms = syncTolerance_;
        return S_OK;
    }

    HRESULT GetRenditionStatistics(std::uint64_t* pictures, std::uint64_t* sounds,
                                   std::int32_t* running) override {
        if (!pictures || !sounds || !running) return E_POINTER;
        bool open = false;
        rendition_.Statistics(pictures, sounds, &open);
        *running = open ? 1 : 0;
        return S_OK;
    }

  protected:
    void* Find(Iid iid) override {
        if (iid == Iid::IWMWriterAdvanced) return static_cast<IWMWriterAdvanced*>(this);
        if (iid == Iid::IWMWriterRenditionInfo) return static_cast<IWMWriterRenditionInfo*>(this);
        return nullptr;
    }

  private:
    static HRESULT CheckStream(const StreamData& stream) {
        const CodecDesc* codec = FindCodec(stream.mediaType);
        if (!codec) return NS_E_INVALID_OUTPUT_FORMAT;
        if (stream.streamType == WMMEDIATYPE_Video) {
            const VIDEOINFOHEADER* info = stream.mediaType.VideoInfo();
            if (!info) return NS_E_INVALID_OUTPUT_FORMAT;
            const std::int64_t w = info->bmiHeader.biWidth,
                               h = std::llabs(info->bmiHeader.biHeight);
            if (w <= 0 || h <= 0 || w > 4096 || h > 4096) return NS_E_INVALID_OUTPUT_FORMAT;
        } else {
            const WAVEFORMATEX* wave = stream.mediaType.Wave();
            if (!wave || wave->nChannels < 1 || wave->nChannels > 2 || wave->nSamplesPerSec == 0 ||
                wave->nAvgBytesPerSec == 0)
                return NS_E_INVALID_OUTPUT_FORMAT;
        }
        return S_OK;
    }

    HRESULT OpenInputs();
    std::vector<RenditionInput> RenditionInputs() const;
    HRESULT OpenMuxer();
    void TearDown();
    void Run();
    void Process(const Slot& slot);

    // Serialises setting the profile and beginning and ending writing. It is
    // held across calls into the sinks: BeginWriting hands them the header,
    // EndWriting waits for the threads that feed them. It cannot be let go
    // there, as a Begin and an End would then overlap; it cannot deadlock,
    // as the sink's interface rules out the calls that take it from inside
    // a sink's calls.
    std::mutex apiMutex_;
    std::vector<StreamData> streams_;
    std::atomic<bool> writing_{false};
    std::atomic<bool> live_{false};
    std::atomic<std::uint32_t> syncTolerance_{3000};

    // Encoding state, touched by BeginWriting/EndWriting and the thread only.
    std::vector<Input> inputs_;
    std::unique_ptr<AsfMuxer> muxer_;
    FailureReport report_;

    SinkList sinks_;
    SamplePool pool_;
    BrowserRendition rendition_{pool_, sinks_};
    std::thread thread_;
};

HRESULT Writer::OpenInputs() {
    inputs_.clear();
    inputs_.resize(streams_.size());
    for (std::size_t i = 0; i < streams_.size(); ++i) {
        Input& in = inputs_[i];
        in.stream = streams_[i];
        in.video = in.stream.streamType == WMMEDIATYPE_Video;
        in.codec = FindCodec(in.stream.mediaType);
        if (!in.codec) return NS_E_INVALID_OUTPUT_FORMAT;
        HRESULT hr = S_OK;
        if (in.video) {
            in.videoEncoder = std::make_unique<VideoEncoder>(&report_);
            hr = in.videoEncoder->Open(StreamVideoSettings(in.stream, *in.codec));
        } else {
            in.audioEncoder = std::make_unique<AudioEncoder>(&report_);
            hr = in.audioEncoder->Open(StreamAudioSettings(in.stream, *in.codec));
        }
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

std::vector<RenditionInput> Writer::RenditionInputs() const {
    std::vector<RenditionInput> inputs;
    for (const Input& in : inputs_) {
        RenditionInput input;
        input.video = in.video;
        if (in.video) {
            const VideoSettings settings = StreamVideoSettings(in.stream, *in.codec);
            input.width = settings.width;
            input.height = settings.height;
            input.fps = settings.fps;
            input.bitRate = settings.bitRate;
            input.gopSize = settings.gopSize;
        } else {
            const WAVEFORMATEX* wave = in.stream.mediaType.Wave();
            input.rate = static_cast<int>(wave->nSamplesPerSec);
            input.channels = wave->nChannels;
            input.audioBitRate = static_cast<std::int64_t>(wave->nAvgBytesPerSec) * 8;
        }
        inputs.push_back(input);
    }
    return inputs;
}

HRESULT Writer::OpenMuxer() {
    std::vector<AsfMuxer::Stream> streams;
    for (const Input& in : inputs_) {
        AsfMuxer::Stream stream;
        stream.video = in.video;
        stream.context = in.video ? in.videoEncoder->Context() : in.audioEncoder->Context();
        stream.fps = in.video ? in.videoEncoder->Fps() : 0;
        streams.push_back(stream);
    }
    muxer_ = std::make_unique<AsfMuxer>();
    HRESULT hr = muxer_->Open(streams, [this](const std::uint8_t* packets, std::size_t size) {
        sinks_.Deliver(StreamKind::Asf, packets, size);
    });
    if (FAILED(hr)) return hr;
    StreamSettings settings;
    settings.packetSize = muxer_->PacketSize();
    settings.keyStream = muxer_->KeyStream();
    sinks_.Start(StreamKind::Asf, muxer_->Header(), settings);
    return S_OK;
}

HRESULT Writer::BeginWriting() {
    std::lock_guard api(apiMutex_);
    if (writing_) return NS_E_INVALID_REQUEST;
    if (streams_.empty()) return NS_E_INVALID_REQUEST;
    HRESULT hr = OpenInputs();
    if (SUCCEEDED(hr)) hr = OpenMuxer();
    if (SUCCEEDED(hr)) {
        std::vector<SamplePool::InputLayout> layouts;
        for (const Input& in : inputs_) {
            SamplePool::InputLayout layout;
            if (in.video) {
                layout.count = kVideoSlots;
                layout.capacity = in.videoEncoder->MaxLength();
                layout.minLength = in.videoEncoder->MinLength();
            } else {
                layout.count = kAudioSlots;
                layout.blockAlign = in.audioEncoder->BlockAlign();
                layout.capacity = static_cast<std::uint32_t>(in.audioEncoder->InputRate()) *
                                  layout.blockAlign / 2;
                layout.minLength = layout.blockAlign;
            }
            layouts.push_back(layout);
        }
        hr = pool_.Begin(layouts);
    }
    if (SUCCEEDED(hr)) hr = rendition_.Begin(RenditionInputs());
    if (FAILED(hr)) {
        TearDown();
        return hr;
    }
    report_.Reset();
    thread_ = std::thread(&Writer::Run, this);
    writing_ = true;
    return S_OK;
}

HRESULT Writer::Flush() {
    if (!pool_.WaitIdle()) return writing_ ? S_OK : NS_E_INVALID_REQUEST;
    return S_OK;
}

HRESULT Writer::EndWriting() {
    std::lock_guard api(apiMutex_);
    if (!writing_) return NS_E_INVALID_REQUEST;
    pool_.Stop();
    if (thread_.joinable()) thread_.join();
    TearDown();
    writing_ = false;
    return S_OK;
}

void Writer::TearDown() {
    rendition_.End();
    sinks_.Reset(StreamKind::Asf);
    muxer_.reset();
    inputs_.clear();
    pool_.Clear();
}

void Writer::Run() {
    for (;;) {
        const int index = pool_.Next();
        if (index < 0) break;
        rendition_.Offer(index);
        Process(pool_.At(index));
        pool_.Done(index);
    }
    rendition_.End();
    // The end: drain the encoders, close the file, tell the sinks.
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        Input& in = inputs_[i];
        auto output = [this, i](AVPacket* packet) { muxer_->Add(i, packet); };
        if (in.video)
            in.videoEncoder->Finish(output);
        else
            in.audioEncoder->Finish(output);
    }
    muxer_->Finish();
    sinks_.End(StreamKind::Asf);
}

void Writer::Process(const Slot& slot) {
    Input& in = inputs_[slot.input];
    auto output = [this, &slot](AVPacket* packet) { muxer_->Add(slot.input, packet); };
    if (in.video) {
        handoff::Mark("encoding", static_cast<std::int64_t>(slot.time / 10000));
        in.videoEncoder->Encode(slot.data.data(), slot.length, slot.time, false, output);
    } else {
        in.audioEncoder->Encode(slot.data.data(), slot.length, slot.time, output);
    }
}

}  // namespace wmv

HRESULT WMCreateWriter(void*, wmv::IWMWriter** out) {
    if (!out) return E_POINTER;
    // The encoders' per-frame remarks would flood the program's output; keep
    // errors only, unless someone has chosen a level of their own.
    static std::once_flag quiet;
    std::call_once(quiet, [] {
        if (av_log_get_level() == AV_LOG_INFO) av_log_set_level(AV_LOG_ERROR);
    });
    *out = new (std::nothrow) wmv::Writer();
    return *out ? S_OK : E_OUTOFMEMORY;
}
