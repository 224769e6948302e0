// The live writer: WriteSample copies each sample into a buffer of a pool made
// at BeginWriting and queues it; the writer's own thread converts, encodes
// and packs into ASF and hands the header and each data packet to the sinks.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

#include "platform/wmvcore/AsfPacket.h"
#include "platform/wmvcore/Internal.h"

namespace wmv {
namespace {

// What a player waits for before it starts: keep it short for a live stream.
constexpr std::uint32_t kLivePrerollMs = 0;
// Added to every presentation time, so that an audio encoder's lead-in
// (stamped before the first sample) still has a time to write.
constexpr std::uint32_t kTimeOffsetMs = 3100;
constexpr int kVideoSlots = 4;
constexpr int kAudioSlots = 48;
constexpr std::int64_t kMaxKeySpacing = 30000000;  // 3 s in 100-ns units
constexpr int kDefaultFps = 30;
// Full packets of audio that wait for a picture to go out with it.
constexpr std::size_t kAudioBurstPackets = 8;

class SampleBuffer final : public INSSBuffer {
  public:
    explicit SampleBuffer(std::uint32_t size) : data_(size), length_(size) {}

    HRESULT GetLength(std::uint32_t* length) override {
        if (!length) return E_POINTER;
        *length = length_;
        return S_OK;
    }
    HRESULT SetLength(std::uint32_t length) override {
        if (length > data_.size()) return E_INVALIDARG;
        length_ = length;
        return S_OK;
    }
    HRESULT GetMaxLength(std::uint32_t* length) override {
        if (!length) return E_POINTER;
        *length = static_cast<std::uint32_t>(data_.size());
        return S_OK;
    }
    HRESULT GetBuffer(std::uint8_t** buffer) override {
        if (!buffer) return E_POINTER;
        *buffer = data_.data();
        return S_OK;
    }
    HRESULT GetBufferAndLength(std::uint8_t** buffer, std::uint32_t* length) override {
        if (!buffer || !length) return E_POINTER;
        *buffer = data_.data();
        *length = length_;
        return S_OK;
    }

  private:
    std::vector<std::uint8_t> data_;
    std::uint32_t length_;
};

HRESULT FromAv(int error) {
    if (error == AVERROR(ENOMEM)) return E_OUTOFMEMORY;
    if (error < 0 && error > -0x10000) return HresultFromErrno(-error);
    return E_FAIL;
}

// One input of the writer and the encoder behind it.
struct Input {
    StreamData stream;
    bool video = false;
    const CodecDesc* codec = nullptr;
    CodecContextPtr context;
    AVStream* avStream = nullptr;
    FramePtr frame;
    // Video: the input frame size and the encoded size (even, as the
    // encoders need it; an odd input is scaled by a pixel).
    int width = 0;
    int height = 0;
    int encodedWidth = 0;
    int encodedHeight = 0;
    int fps = kDefaultFps;
    SwsPtr sws;
    BufferPoolPtr pool;
    int frameBufferSize = 0;
    std::int64_t lastPts = -1;
    // Audio.
    int channels = 0;
    int rate = 0;
    std::uint32_t blockAlign = 0;
    SwrPtr swr;
    FifoPtr fifo;
    std::vector<std::vector<float>> planes;
    std::int64_t nextPts = 0;
    bool anchored = false;
    // Bytes one sample of this input must have at least.
    std::uint32_t minLength = 0;
    std::uint32_t slotCapacity = 0;
};

// One pooled sample copy.
struct Slot {
    std::vector<std::uint8_t> data;
    std::uint32_t length = 0;
    std::uint32_t input = 0;
    std::uint64_t time = 0;
};

}  // namespace

class Writer final : public IWMWriter, public IWMWriterAdvanced {
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

    HRESULT WriteSample(std::uint32_t input, std::uint64_t time, std::uint32_t flags,
                        INSSBuffer* sample) override;

    // Advanced writer.
    HRESULT GetSinkCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        std::lock_guard lock(sinkMutex_);
        *count = static_cast<std::uint32_t>(sinks_.size());
        return S_OK;
    }
    HRESULT AddSink(IWMWriterSink* sink) override {
        if (!sink) return E_POINTER;
        std::lock_guard lock(sinkMutex_);
        for (const auto& existing : sinks_) {
            if (existing.Get() == sink) return E_INVALIDARG;
        }
        sinks_.emplace_back(sink);
        // A sink that joins a running stream starts with its header.
        if (headerReady_)
            sink->OnHeader(header_.data(), header_.size(), packetSize_, keyStream_, bitsPerSecond_);
        return S_OK;
    }
    HRESULT RemoveSink(IWMWriterSink* sink) override {
        if (!sink) return E_POINTER;
        std::lock_guard lock(sinkMutex_);
        auto it = std::find_if(sinks_.begin(), sinks_.end(),
                               [&](const auto& s) { return s.Get() == sink; });
        if (it == sinks_.end()) return E_INVALIDARG;
        if (headerReady_) sink->OnEndWriting();
        sinks_.erase(it);
        return S_OK;
    }
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

  protected:
    void* Find(Iid iid) override {
        return iid == Iid::IWMWriterAdvanced ? static_cast<IWMWriterAdvanced*>(this) : nullptr;
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

    HRESULT OpenVideo(Input& in);
    HRESULT OpenAudio(Input& in);
    HRESULT OpenMuxer();
    void TearDown();
    void Run();
    void Process(Slot& slot);
    void EncodeVideo(Input& in, const Slot& slot);
    void EncodeAudio(Input& in, const Slot& slot);
    void SendFrame(Input& in, AVFrame* frame);
    void Drain(Input& in);
    void Report(const char* what, int error);

    static int MuxWrite(void* opaque, std::uint8_t* data, int size);
    void DeliverPackets(const std::uint8_t* packets, std::size_t size);

    std::mutex apiMutex_;
    std::vector<StreamData> streams_;
    std::atomic<bool> writing_{false};
    std::atomic<bool> live_{false};
    std::atomic<std::uint32_t> syncTolerance_{3000};

    // Encoding state, touched by BeginWriting/EndWriting and the thread only.
    // FFmpeg's muxer writes the header; the data packets are ours, so that
    // each frame leaves as soon as it is encoded (the muxer would hold video
    // back until the audio that covers it is encoded).
    std::vector<Input> inputs_;
    FormatContextPtr mux_;
    IoContextPtr io_;
    PacketPtr packet_;
    std::vector<std::uint8_t> headerBytes_;
    bool headerDone_ = false;
    std::unique_ptr<DataPacketWriter> packets_;
    std::uint32_t reported_ = 0;

    // Sinks and the header they start with.
    std::mutex sinkMutex_;
    std::vector<RefPtr<IWMWriterSink>> sinks_;
    std::vector<std::uint8_t> header_;
    bool headerReady_ = false;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    std::uint32_t bitsPerSecond_ = 0;

    // The sample pool and the queue to the thread.
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::condition_variable idle_;
    std::vector<Slot> slots_;
    std::vector<std::vector<int>> free_;  // per input
    std::vector<int> queue_;              // ring of slot indices
    std::size_t queueHead_ = 0;
    std::size_t queueCount_ = 0;
    bool accepting_ = false;
    bool stop_ = false;
    bool busy_ = false;
    int inFlight_ = 0;
    std::thread thread_;
};

HRESULT Writer::OpenVideo(Input& in) {
    const VIDEOINFOHEADER* info = in.stream.mediaType.VideoInfo();
    in.width = info->bmiHeader.biWidth;
    in.height = std::abs(info->bmiHeader.biHeight);
    in.encodedWidth = std::max(2, in.width & ~1);
    in.encodedHeight = std::max(2, in.height & ~1);
    if (info->AvgTimePerFrame > 0) {
        in.fps = static_cast<int>(std::clamp<std::int64_t>(
            (10000000 + info->AvgTimePerFrame / 2) / info->AvgTimePerFrame, 1, 120));
    }
    const AVCodec* codec = avcodec_find_encoder(in.codec->id);
    if (!codec) return NS_E_INVALID_OUTPUT_FORMAT;
    in.context.reset(avcodec_alloc_context3(codec));
    if (!in.context) return E_OUTOFMEMORY;
    AVCodecContext* c = in.context.get();
    c->width = in.encodedWidth;
    c->height = in.encodedHeight;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // Rate control counts one tick per frame, so the time base is the frame rate.
    c->time_base = AVRational{1, in.fps};
    c->framerate = AVRational{in.fps, 1};
    std::uint32_t bitrate = info->dwBitRate ? info->dwBitRate : in.stream.bitrate;
    if (bitrate == 0) bitrate = 300000;
    c->bit_rate = bitrate;
    std::int64_t spacing = in.stream.maxKeyFrameSpacing;
    if (spacing <= 0 || spacing > kMaxKeySpacing) spacing = kMaxKeySpacing;
    c->gop_size = static_cast<int>(std::max<std::int64_t>(1, spacing * in.fps / 10000000));
    c->max_b_frames = 0;
    // The bit rate bounds the stream; quality 1..100 sets how fine the
    // quantiser may go on easy pictures (lower quality spends fewer bits).
    const std::uint32_t quality =
        std::clamp<std::uint32_t>(in.stream.quality ? in.stream.quality : 75, 1, 100);
    c->qmin = static_cast<int>(2 + (100 - quality) * 8 / 99);
    c->qmax = 31;
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int error = avcodec_open2(c, codec, nullptr);
    if (error < 0) return NS_E_INVALID_OUTPUT_FORMAT;

    in.sws.reset(sws_getContext(in.width, in.height, AV_PIX_FMT_BGR24, in.encodedWidth,
                                in.encodedHeight, AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr,
                                nullptr, nullptr));
    if (!in.sws) return E_OUTOFMEMORY;
    in.frameBufferSize =
        av_image_get_buffer_size(AV_PIX_FMT_YUV420P, in.encodedWidth, in.encodedHeight, 32);
    in.pool.reset(av_buffer_pool_init(in.frameBufferSize, av_buffer_allocz));
    in.frame.reset(av_frame_alloc());
    if (!in.pool || !in.frame) return E_OUTOFMEMORY;
    in.minLength = static_cast<std::uint32_t>(in.width) * 3 * static_cast<std::uint32_t>(in.height);
    // Rows of a DIB are padded to four bytes; take either layout.
    in.slotCapacity =
        static_cast<std::uint32_t>((in.width * 3 + 3) & ~3) * static_cast<std::uint32_t>(in.height);
    return S_OK;
}

HRESULT Writer::OpenAudio(Input& in) {
    const WAVEFORMATEX* wave = in.stream.mediaType.Wave();
    in.channels = wave->nChannels;
    in.rate = static_cast<int>(wave->nSamplesPerSec);
    in.blockAlign = static_cast<std::uint32_t>(in.channels) * 2;
    const AVCodec* codec = avcodec_find_encoder(in.codec->id);
    if (!codec) return NS_E_INVALID_OUTPUT_FORMAT;
    in.context.reset(avcodec_alloc_context3(codec));
    if (!in.context) return E_OUTOFMEMORY;
    AVCodecContext* c = in.context.get();
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    c->sample_rate = in.rate;
    av_channel_layout_default(&c->ch_layout, in.channels);
    c->bit_rate = static_cast<std::int64_t>(wave->nAvgBytesPerSec) * 8;
    c->time_base = AVRational{1, in.rate};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(c, codec, nullptr) < 0 || c->frame_size <= 0)
        return NS_E_INVALID_OUTPUT_FORMAT;

    SwrContext* swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &c->ch_layout, AV_SAMPLE_FMT_FLTP, in.rate, &c->ch_layout,
                            AV_SAMPLE_FMT_S16, in.rate, 0, nullptr) < 0)
        return E_OUTOFMEMORY;
    in.swr.reset(swr);
    if (swr_init(swr) < 0) return E_FAIL;
    in.fifo.reset(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, in.channels, in.rate));
    in.frame.reset(av_frame_alloc());
    if (!in.fifo || !in.frame) return E_OUTOFMEMORY;
    in.frame->nb_samples = c->frame_size;
    in.frame->format = AV_SAMPLE_FMT_FLTP;
    in.frame->sample_rate = in.rate;
    if (av_channel_layout_copy(&in.frame->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(in.frame.get(), 0) < 0)
        return E_OUTOFMEMORY;
    // Half a second per conversion up front; longer chunks grow it once.
    in.planes.assign(static_cast<std::size_t>(in.channels),
                     std::vector<float>(static_cast<std::size_t>(in.rate / 2)));
    in.minLength = in.blockAlign;
    in.slotCapacity = static_cast<std::uint32_t>(in.rate) * in.blockAlign / 2;
    return S_OK;
}

HRESULT Writer::OpenMuxer() {
    const AVOutputFormat* format = av_guess_format("asf", nullptr, nullptr);
    if (!format) return E_FAIL;
    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, format, nullptr, nullptr) < 0) return E_OUTOFMEMORY;
    mux_.reset(mux);
    // A non-seekable output of our own: the header arrives whole, then packets.
    constexpr int kIoBuffer = 64 * 1024;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
    if (!buffer) return E_OUTOFMEMORY;
    io_.reset(avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &Writer::MuxWrite, nullptr));
    if (!io_) {
        av_free(buffer);
        return E_OUTOFMEMORY;
    }
    io_->seekable = 0;
    mux->pb = io_.get();
    mux->flags |= AVFMT_FLAG_CUSTOM_IO;

    std::uint64_t bits = 0;
    keyStream_ = 0;
    for (std::size_t i = 0; i < inputs_.size(); ++i) {
        Input& in = inputs_[i];
        in.avStream = avformat_new_stream(mux, nullptr);
        if (!in.avStream) return E_OUTOFMEMORY;
        if (avcodec_parameters_from_context(in.avStream->codecpar, in.context.get()) < 0)
            return E_OUTOFMEMORY;
        in.avStream->codecpar->codec_tag = 0;
        in.avStream->time_base = AVRational{1, 1000};
        bits += static_cast<std::uint64_t>(in.context->bit_rate);
        // The muxer numbers its streams from 1 in this order.
        if (in.video && !keyStream_) keyStream_ = static_cast<std::uint16_t>(i + 1);
    }
    // Each video frame ends its packet so that it leaves at once: every
    // frame costs on average half a packet of padding, every packet its
    // headers. Packets of sqrt(2 x headers x bytes per frame) make the sum of
    // both least (about a tenth at 1 Mbit/s and 30 frames per second). An
    // audio-only stream gets packets that one audio frame fills exactly.
    const Input* video = nullptr;
    for (const Input& in : inputs_) {
        if (in.video && !video) video = &in;
    }
    std::size_t packetSize = 0;
    if (video) {
        const double bytesPerFrame = static_cast<double>(bits) / 8 / video->fps;
        const double headers =
            DataPacketWriter::kPacketHeaderSize + DataPacketWriter::kPayloadHeaderSize;
        packetSize = std::clamp<std::size_t>(
            static_cast<std::size_t>(std::sqrt(2 * headers * bytesPerFrame)), 256, 3200);
        // The padding is on the wire too: the sinks size their buffers by it.
        bits += static_cast<std::uint64_t>(video->fps) * packetSize * 8;
    } else {
        packetSize = static_cast<std::size_t>(inputs_.front().context->block_align) +
                     DataPacketWriter::kPacketHeaderSize + DataPacketWriter::kPayloadHeaderSize;
    }
    packetSize = std::min<std::size_t>(packetSize, 0xFFFF);
    packetSize_ = static_cast<std::uint32_t>(packetSize);
    bitsPerSecond_ = static_cast<std::uint32_t>(std::min<std::uint64_t>(bits, 0xFFFFFFFFu));
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "packet_size", static_cast<std::int64_t>(packetSize), 0);
    headerBytes_.clear();
    headerDone_ = false;
    int error = avformat_write_header(mux, &options);
    av_dict_free(&options);
    if (error < 0) return FromAv(error);
    avio_flush(mux->pb);
    // Everything written so far is the header with the data object header.
    std::vector<std::uint8_t> header = std::move(headerBytes_);
    headerBytes_ = {};
    headerDone_ = true;
    PatchLiveHeader(header, kLivePrerollMs);
    packets_ = std::make_unique<DataPacketWriter>(
        packetSize, kTimeOffsetMs,
        [this](const std::uint8_t* packets, std::size_t size) { DeliverPackets(packets, size); });
    std::lock_guard lock(sinkMutex_);
    header_ = std::move(header);
    headerReady_ = true;
    for (const auto& sink : sinks_)
        sink->OnHeader(header_.data(), header_.size(), packetSize_, keyStream_, bitsPerSecond_);
    return S_OK;
}

int Writer::MuxWrite(void* opaque, std::uint8_t* data, int size) {
    // Only the header is the muxer's; what it writes at the end (an end
    // marker) is not for the sinks.
    auto* writer = static_cast<Writer*>(opaque);
    if (!writer->headerDone_)
        writer->headerBytes_.insert(writer->headerBytes_.end(), data, data + size);
    return size;
}

void Writer::DeliverPackets(const std::uint8_t* packets, std::size_t size) {
    std::lock_guard lock(sinkMutex_);
    for (const auto& sink : sinks_) sink->OnDataUnit(packets, size);
}

HRESULT Writer::BeginWriting() {
    std::lock_guard api(apiMutex_);
    if (writing_) return NS_E_INVALID_REQUEST;
    if (streams_.empty()) return NS_E_INVALID_REQUEST;
    inputs_.clear();
    inputs_.resize(streams_.size());
    HRESULT hr = S_OK;
    for (std::size_t i = 0; i < streams_.size() && SUCCEEDED(hr); ++i) {
        Input& in = inputs_[i];
        in.stream = streams_[i];
        in.video = in.stream.streamType == WMMEDIATYPE_Video;
        in.codec = FindCodec(in.stream.mediaType);
        if (!in.codec)
            hr = NS_E_INVALID_OUTPUT_FORMAT;
        else
            hr = in.video ? OpenVideo(in) : OpenAudio(in);
    }
    packet_.reset(av_packet_alloc());
    if (SUCCEEDED(hr) && !packet_) hr = E_OUTOFMEMORY;
    if (SUCCEEDED(hr)) hr = OpenMuxer();
    if (SUCCEEDED(hr)) {
        try {
            std::lock_guard lock(queueMutex_);
            slots_.clear();
            free_.assign(inputs_.size(), {});
            for (std::size_t i = 0; i < inputs_.size(); ++i) {
                const int count = inputs_[i].video ? kVideoSlots : kAudioSlots;
                for (int k = 0; k < count; ++k) {
                    Slot slot;
                    slot.data.resize(inputs_[i].slotCapacity);
                    slot.input = static_cast<std::uint32_t>(i);
                    free_[i].push_back(static_cast<int>(slots_.size()));
                    slots_.push_back(std::move(slot));
                }
            }
            queue_.assign(slots_.size(), -1);
            queueHead_ = queueCount_ = 0;
            stop_ = busy_ = false;
            inFlight_ = 0;
            accepting_ = true;
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    if (FAILED(hr)) {
        TearDown();
        return hr;
    }
    reported_ = 0;
    thread_ = std::thread(&Writer::Run, this);
    writing_ = true;
    return S_OK;
}

HRESULT Writer::WriteSample(std::uint32_t input, std::uint64_t time, std::uint32_t,
                            INSSBuffer* sample) {
    if (!sample) return E_POINTER;
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    HRESULT hr = sample->GetBufferAndLength(&data, &length);
    if (FAILED(hr)) return hr;
    int index = -1;
    Input* in = nullptr;
    {
        std::lock_guard lock(queueMutex_);
        if (!accepting_) return NS_E_INVALID_REQUEST;
        if (input >= inputs_.size()) return E_INVALIDARG;
        in = &inputs_[input];
        if (length < in->minLength) return NS_E_INVALID_INPUT_FORMAT;
        // A live writer that falls behind drops rather than blocks.
        if (free_[input].empty()) return HresultFromErrno(ENOBUFS);
        index = free_[input].back();
        free_[input].pop_back();
        ++inFlight_;
    }
    Slot& slot = slots_[static_cast<std::size_t>(index)];
    if (in->video) {
        length = std::min(length, static_cast<std::uint32_t>(slot.data.size()));
    } else {
        length -= length % in->blockAlign;
        if (slot.data.size() < length)
            slot.data.resize(length);  // once for an unusually long chunk
    }
    std::memcpy(slot.data.data(), data, length);
    slot.length = length;
    slot.time = time;
    {
        std::lock_guard lock(queueMutex_);
        queue_[(queueHead_ + queueCount_) % queue_.size()] = index;
        ++queueCount_;
        --inFlight_;
    }
    queueChanged_.notify_all();
    return S_OK;
}

HRESULT Writer::Flush() {
    std::unique_lock lock(queueMutex_);
    if (!accepting_) return writing_ ? S_OK : NS_E_INVALID_REQUEST;
    idle_.wait(lock, [&] { return (queueCount_ == 0 && !busy_ && inFlight_ == 0) || stop_; });
    return S_OK;
}

HRESULT Writer::EndWriting() {
    std::lock_guard api(apiMutex_);
    if (!writing_) return NS_E_INVALID_REQUEST;
    {
        std::unique_lock lock(queueMutex_);
        accepting_ = false;
        idle_.wait(lock, [&] { return inFlight_ == 0; });
        stop_ = true;
    }
    queueChanged_.notify_all();
    if (thread_.joinable()) thread_.join();
    TearDown();
    writing_ = false;
    return S_OK;
}

void Writer::TearDown() {
    {
        std::lock_guard lock(sinkMutex_);
        headerReady_ = false;
        header_.clear();
    }
    mux_.reset();
    io_.reset();
    inputs_.clear();
    packet_.reset();
    packets_.reset();
    std::lock_guard lock(queueMutex_);
    slots_.clear();
    free_.clear();
    queue_.clear();
    queueCount_ = 0;
    accepting_ = false;
}

void Writer::Run() {
    for (;;) {
        int index = -1;
        {
            std::unique_lock lock(queueMutex_);
            queueChanged_.wait(lock, [&] { return queueCount_ > 0 || stop_; });
            if (queueCount_ == 0) break;
            index = queue_[queueHead_];
            queueHead_ = (queueHead_ + 1) % queue_.size();
            --queueCount_;
            busy_ = true;
        }
        Slot& slot = slots_[static_cast<std::size_t>(index)];
        Process(slot);
        {
            std::lock_guard lock(queueMutex_);
            free_[slot.input].push_back(index);
            busy_ = false;
        }
        idle_.notify_all();
    }
    // The end: drain the encoders, close the file, tell the sinks.
    for (Input& in : inputs_) {
        if (!in.video && in.fifo && av_audio_fifo_size(in.fifo.get()) > 0) {
            const int left = av_audio_fifo_size(in.fifo.get());
            if (av_frame_make_writable(in.frame.get()) >= 0) {
                av_samples_set_silence(in.frame->data, 0, in.frame->nb_samples, in.channels,
                                       AV_SAMPLE_FMT_FLTP);
                av_audio_fifo_read(in.fifo.get(), reinterpret_cast<void**>(in.frame->data), left);
                in.frame->pts = in.nextPts;
                in.nextPts += in.frame->nb_samples;
                SendFrame(in, in.frame.get());
            }
        }
        SendFrame(in, nullptr);
    }
    packets_->SendAll();
    av_write_trailer(mux_.get());
    std::lock_guard lock(sinkMutex_);
    for (const auto& sink : sinks_) sink->OnEndWriting();
    idle_.notify_all();
}

void Writer::Process(Slot& slot) {
    Input& in = inputs_[slot.input];
    if (in.video)
        EncodeVideo(in, slot);
    else
        EncodeAudio(in, slot);
}

void Writer::EncodeVideo(Input& in, const Slot& slot) {
    // Frame slots of 1/fps s. A frame that falls into the slot of the one
    // before it moves to the next slot, but only while that stays within a
    // tenth of a frame of its time: frames that come a little faster than
    // the rate would otherwise run the video ahead of the clock (and of the
    // audio it is interleaved with), one slot after another. Beyond that the
    // frame is dropped.
    const std::uint64_t scaled = slot.time * static_cast<std::uint64_t>(in.fps);
    std::int64_t pts = static_cast<std::int64_t>(scaled / 10000000u);
    if (pts <= in.lastPts) {
        pts = in.lastPts + 1;
        if (static_cast<std::uint64_t>(pts) * 10000000u > scaled + 1000000u) return;
    }
    in.lastPts = pts;

    AVFrame* frame = in.frame.get();
    av_frame_unref(frame);
    frame->buf[0] = av_buffer_pool_get(in.pool.get());
    if (!frame->buf[0]) return Report("no frame buffer", AVERROR(ENOMEM));
    av_image_fill_arrays(frame->data, frame->linesize, frame->buf[0]->data, AV_PIX_FMT_YUV420P,
                         in.encodedWidth, in.encodedHeight, 32);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = in.encodedWidth;
    frame->height = in.encodedHeight;
    // Rows arrive bottom-up: start at the last row and walk backwards.
    const int padded = (in.width * 3 + 3) & ~3;
    const int stride =
        slot.length >= static_cast<std::uint32_t>(padded * in.height) ? padded : in.width * 3;
    const std::uint8_t* source[4] = {
        slot.data.data() + static_cast<std::size_t>(stride) * (in.height - 1), nullptr, nullptr,
        nullptr};
    const int sourceStride[4] = {-stride, 0, 0, 0};
    sws_scale(in.sws.get(), source, sourceStride, 0, in.height, frame->data, frame->linesize);
    frame->pts = pts;
    SendFrame(in, frame);
}

void Writer::EncodeAudio(Input& in, const Slot& slot) {
    const int samples = static_cast<int>(slot.length / in.blockAlign);
    if (samples <= 0) return;
    const std::int64_t written =
        static_cast<std::int64_t>(slot.time * static_cast<std::uint64_t>(in.rate) / 10000000u);
    const int queued = av_audio_fifo_size(in.fifo.get());
    if (!in.anchored) {
        in.nextPts = written;
        in.anchored = true;
    } else if (written - (in.nextPts + queued) > in.rate / 2) {
        // A gap of more than half a second (lost chunks): move on to the
        // writer's clock rather than drift behind it.
        in.nextPts = written - queued;
    }
    if (in.planes[0].size() < static_cast<std::size_t>(samples)) {
        for (auto& plane : in.planes) plane.resize(static_cast<std::size_t>(samples));
    }
    std::uint8_t* out[2] = {
        reinterpret_cast<std::uint8_t*>(in.planes[0].data()),
        in.channels > 1 ? reinterpret_cast<std::uint8_t*>(in.planes[1].data()) : nullptr};
    const std::uint8_t* source[1] = {slot.data.data()};
    const int converted = swr_convert(in.swr.get(), out, samples, source, samples);
    if (converted < 0) return Report("sample conversion failed", converted);
    if (av_audio_fifo_write(in.fifo.get(), reinterpret_cast<void**>(out), converted) < converted)
        return Report("audio queue full", AVERROR(ENOMEM));
    const int frameSize = in.context->frame_size;
    while (av_audio_fifo_size(in.fifo.get()) >= frameSize) {
        if (av_frame_make_writable(in.frame.get()) < 0)
            return Report("no audio frame", AVERROR(ENOMEM));
        av_audio_fifo_read(in.fifo.get(), reinterpret_cast<void**>(in.frame->data), frameSize);
        in.frame->pts = in.nextPts;
        in.nextPts += frameSize;
        SendFrame(in, in.frame.get());
    }
}

void Writer::SendFrame(Input& in, AVFrame* frame) {
    int error = avcodec_send_frame(in.context.get(), frame);
    if (error < 0 && error != AVERROR_EOF) return Report("encoder refused a frame", error);
    Drain(in);
}

void Writer::Drain(Input& in) {
    AVPacket* packet = packet_.get();
    const auto stream = static_cast<std::uint8_t>(in.avStream->index + 1);  // as in the header
    for (;;) {
        int error = avcodec_receive_packet(in.context.get(), packet);
        if (error == AVERROR(EAGAIN) || error == AVERROR_EOF) return;
        if (error < 0) return Report("encoder failed", error);
        av_packet_rescale_ts(packet, in.context->time_base, in.avStream->time_base);
        const std::int64_t ms = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        // Every audio frame decodes on its own; a video frame ends its packet
        // so that it goes out now, its packets in one burst. With a picture
        // stream, audio rides along with the next picture: every burst costs
        // a send to every viewer. Should the pictures stop, audio still goes
        // out a few packets at a time.
        const bool key = !in.video || (packet->flags & AV_PKT_FLAG_KEY);
        packets_->Add(stream, key, !in.video, ms == AV_NOPTS_VALUE ? 0 : ms, packet->data,
                      static_cast<std::size_t>(packet->size));
        av_packet_unref(packet);
        if (in.video)
            packets_->SendAll();
        else
            packets_->SendReady(keyStream_ ? kAudioBurstPackets : 1);
    }
}

void Writer::Report(const char* what, int error) {
    // A stream that keeps failing is reported a few times, not once per frame.
    if (reported_++ < 5) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {};
        av_strerror(error, text, sizeof(text));
        std::fprintf(stderr, "libwmvcore: %s: %s\n", what, text);
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
