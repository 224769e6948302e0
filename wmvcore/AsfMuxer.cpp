#include "wmvcore/AsfMuxer.h"

#include <algorithm>
#include <cmath>

#include "platform/HandOffTrace.h"

namespace wmv {
namespace {

// What a player waits for before it starts: keep it short for a live stream.
constexpr std::uint32_t kLivePrerollMs = 0;
// Added to every presentation time, so that an audio encoder's lead-in
// (stamped before the first sample) still has a time to write.
constexpr std::uint32_t kTimeOffsetMs = 3100;
// Full packets of audio that wait for a picture to go out with it.
constexpr std::size_t kAudioBurstPackets = 8;

}  // namespace

HRESULT AsfMuxer::Open(const std::vector<Stream>& streams, DataPacketWriter::Deliver deliver) {
    const AVOutputFormat* format = av_guess_format("asf", nullptr, nullptr);
    if (!format) return E_FAIL;
    AVFormatContext* mux = nullptr;
    if (avformat_alloc_output_context2(&mux, format, nullptr, nullptr) < 0) return E_OUTOFMEMORY;
    mux_.reset(mux);
    // A non-seekable output of our own: the header arrives whole, then packets.
    constexpr int kIoBuffer = 64 * 1024;
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBuffer));
    if (!buffer) return E_OUTOFMEMORY;
    io_.reset(avio_alloc_context(buffer, kIoBuffer, 1, this, nullptr, &AsfMuxer::Write, nullptr));
    if (!io_) {
        av_free(buffer);
        return E_OUTOFMEMORY;
    }
    io_->seekable = 0;
    mux->pb = io_.get();
    mux->flags |= AVFMT_FLAG_CUSTOM_IO;

    std::uint64_t bits = 0;
    keyStream_ = 0;
    streams_.clear();
    std::vector<StreamExtension> extensions;
    const Stream* video = nullptr;
    for (std::size_t i = 0; i < streams.size(); ++i) {
        const Stream& in = streams[i];
        Entry entry;
        entry.stream = avformat_new_stream(mux, nullptr);
        if (!entry.stream) return E_OUTOFMEMORY;
        if (avcodec_parameters_from_context(entry.stream->codecpar, in.context) < 0)
            return E_OUTOFMEMORY;
        entry.stream->codecpar->codec_tag = 0;
        entry.stream->time_base = AVRational{1, 1000};
        entry.timeBase = in.context->time_base;
        entry.video = in.video;
        streams_.push_back(entry);
        bits += static_cast<std::uint64_t>(in.context->bit_rate);
        // Players read the picture rate here; the stream properties have
        // no field for it.
        extensions.push_back({static_cast<std::uint16_t>(i + 1),
                              static_cast<std::uint32_t>(
                                  std::clamp<std::int64_t>(in.context->bit_rate, 0, 0xFFFFFFFF)),
                              in.video && in.fps > 0 ? 10000000 / in.fps : 0});
        // The muxer numbers its streams from 1 in this order.
        if (in.video && !keyStream_) {
            keyStream_ = static_cast<std::uint16_t>(i + 1);
            video = &in;
        }
    }
    // Each video frame ends its packet so that it leaves at once: every
    // frame costs on average half a packet of padding, every packet its
    // headers. Packets of sqrt(2 x headers x bytes per frame) make the sum of
    // both least (about a tenth at 1 Mbit/s and 30 frames per second). An
    // audio-only stream gets packets that one audio frame fills exactly.
    std::size_t packetSize = 0;
    if (video) {
        const double bytesPerFrame = static_cast<double>(bits) / 8 / video->fps;
        const double headers =
            DataPacketWriter::kPacketHeaderSize + DataPacketWriter::kPayloadHeaderSize;
        packetSize = std::clamp<std::size_t>(
            static_cast<std::size_t>(std::sqrt(2 * headers * bytesPerFrame)), 256, 3200);
    } else {
        packetSize = static_cast<std::size_t>(streams.front().context->block_align) +
                     DataPacketWriter::kPacketHeaderSize + DataPacketWriter::kPayloadHeaderSize;
    }
    packetSize = std::min<std::size_t>(packetSize, 0xFFFF);
    packetSize_ = static_cast<std::uint32_t>(packetSize);
    AVDictionary* options = nullptr;
    av_dict_set_int(&options, "packet_size", static_cast<std::int64_t>(packetSize), 0);
    headerBytes_.clear();
    headerDone_ = false;
    const int error = avformat_write_header(mux, &options);
    av_dict_free(&options);
    if (error < 0) return FromAv(error);
    avio_flush(mux->pb);
    // Everything written so far is the header with the data object header.
    header_ = std::move(headerBytes_);
    headerBytes_ = {};
    headerDone_ = true;
    PatchLiveHeader(header_, kLivePrerollMs);
    AddStreamExtensions(header_, extensions);
    packets_ = std::make_unique<DataPacketWriter>(packetSize, kTimeOffsetMs, std::move(deliver));
    return S_OK;
}

int AsfMuxer::Write(void* opaque, std::uint8_t* data, int size) {
    // Only the header is the muxer's; what it writes at the end (an end
    // marker) is not for the sinks.
    auto* muxer = static_cast<AsfMuxer*>(opaque);
    if (!muxer->headerDone_)
        muxer->headerBytes_.insert(muxer->headerBytes_.end(), data, data + size);
    return size;
}

void AsfMuxer::Add(std::size_t index, AVPacket* packet) {
    const Entry& entry = streams_[index];
    const auto stream = static_cast<std::uint8_t>(entry.stream->index + 1);  // as in the header
    av_packet_rescale_ts(packet, entry.timeBase, entry.stream->time_base);
    const std::int64_t ms = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    // Every audio frame decodes on its own; a video frame ends its packet
    // so that it goes out now, its packets in one burst. With a picture
    // stream, audio rides along with the next picture: every burst costs
    // a send to every viewer. Should the pictures stop, audio still goes
    // out a few packets at a time.
    const bool key = !entry.video || (packet->flags & AV_PKT_FLAG_KEY);
    packets_->Add(stream, key, !entry.video, ms == AV_NOPTS_VALUE ? 0 : ms, packet->data,
                  static_cast<std::size_t>(packet->size));
    if (entry.video) {
        packets_->SendAll();
        handoff::Mark("queued", (ms == AV_NOPTS_VALUE ? 0 : ms) + kTimeOffsetMs);
    } else {
        packets_->SendReady(keyStream_ ? kAudioBurstPackets : 1);
    }
}

void AsfMuxer::Finish() {
    if (packets_) packets_->SendAll();
    if (mux_) av_write_trailer(mux_.get());
}

}  // namespace wmv
