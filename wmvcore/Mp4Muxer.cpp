#include "wmvcore/Mp4Muxer.h"

namespace wmv {
namespace {

constexpr int kIoBufferSize = 64 * 1024;

}  // namespace

Mp4Muxer::~Mp4Muxer() {
    Close();
}

void Mp4Muxer::Close() {
    if (context_) {
        context_->pb = nullptr;
        avformat_free_context(context_);
        context_ = nullptr;
    }
    if (io_) {
        av_freep(&io_->buffer);
        avio_context_free(&io_);
    }
    streams_ = 0;
}

int Mp4Muxer::Collect(void* self, std::uint8_t* bytes, int size) {
    auto* muxer = static_cast<Mp4Muxer*>(self);
    muxer->written_.insert(muxer->written_.end(), bytes, bytes + size);
    return size;
}

bool Mp4Muxer::Open(const codec::EncodedStreams& streams, std::vector<std::uint8_t>* init,
                    std::string* error) {
    Close();
    const auto fail = [&](const std::string& what, int code) {
        *error = code ? what + ": " + AvErrorText(code) : what;
        Close();
        return false;
    };
    packet_.reset(av_packet_alloc());
    if (!packet_) return fail("out of memory", 0);
    int result = avformat_alloc_output_context2(&context_, nullptr, "mp4", nullptr);
    if (result < 0 || !context_) return fail("cannot make the MP4 muxer", result);
    for (const AVCodecContext* codec : {streams.video, streams.audio}) {
        if (!codec) continue;
        AVStream* stream = avformat_new_stream(context_, nullptr);
        if (!stream || avcodec_parameters_from_context(stream->codecpar, codec) < 0)
            return fail("cannot describe the streams", 0);
        stream->time_base = codec->time_base;
        codecTimeBase_[streams_] = codec->time_base;
        // A packet's length where the encoder gives none.
        duration_[streams_] = codec->codec_type == AVMEDIA_TYPE_VIDEO
                                  ? av_rescale_q(1, av_inv_q(codec->framerate), codec->time_base)
                                  : codec->frame_size;
        ++streams_;
    }
    if (streams_ == 0) return fail("nothing to mux", 0);
    auto* buffer = static_cast<std::uint8_t*>(av_malloc(kIoBufferSize));
    if (!buffer) return fail("out of memory", 0);
    io_ = avio_alloc_context(buffer, kIoBufferSize, 1, this, nullptr, &Mp4Muxer::Collect, nullptr);
    if (!io_) {
        av_free(buffer);
        return fail("out of memory", 0);
    }
    context_->pb = io_;
    context_->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = nullptr;
    // An init segment without samples, fragments that stand alone and come
    // only when asked for, and no index at the end of a stream that never
    // ends.
    av_dict_set(&options, "movflags", "empty_moov+default_base_moof+frag_custom+skip_trailer", 0);
    written_.clear();
    result = avformat_write_header(context_, &options);
    av_dict_free(&options);
    if (result < 0) return fail("cannot write the MP4 header", result);
    avio_flush(io_);
    init->swap(written_);
    written_.clear();
    return true;
}

bool Mp4Muxer::IsKeyPicture(const AVPacket& packet, int stream) const {
    return context_ && stream >= 0 && stream < streams_ &&
           context_->streams[stream]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
           (packet.flags & AV_PKT_FLAG_KEY);
}

bool Mp4Muxer::Write(const AVPacket& packet, int stream) {
    if (!context_ || stream < 0 || stream >= streams_) return false;
    if (av_packet_ref(packet_.get(), &packet) < 0) return false;
    AVPacket* p = packet_.get();
    // The last packet of a fragment has no next one to take its length
    // from, so every packet brings its own.
    if (p->duration <= 0) p->duration = duration_[stream];
    p->stream_index = stream;
    av_packet_rescale_ts(p, codecTimeBase_[stream], context_->streams[stream]->time_base);
    const int result = av_write_frame(context_, p);
    av_packet_unref(p);
    return result >= 0;
}

bool Mp4Muxer::Flush(std::vector<std::uint8_t>* fragment) {
    fragment->clear();
    if (!context_) return false;
    // A null packet closes the fragment.
    if (av_write_frame(context_, nullptr) < 0) return false;
    avio_flush(io_);
    fragment->swap(written_);
    written_.clear();
    return true;
}

}  // namespace wmv
