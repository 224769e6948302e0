#include "codec/AvcAacEncoder.h"

#include <algorithm>

extern "C" {
#include <libavutil/opt.h>
}

#include "codec/PictureRows.h"

namespace codec {

bool AvcAacEncoder::Open(const MediaShape& shape, std::string* error) {
    shape_ = shape;
    const auto fail = [error](const std::string& what, int code) {
        if (error) *error = code ? what + ": " + AvErrorText(code) : what;
        return false;
    };
    packet_.reset(av_packet_alloc());
    if (!packet_) return fail("out of memory", 0);

    if (shape.width > 0 && shape.height > 0) {
        const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
        if (!codec) return fail("this FFmpeg has no libx264 encoder", 0);
        video_.reset(avcodec_alloc_context3(codec));
        if (!video_) return fail("out of memory", 0);
        AVCodecContext* c = video_.get();
        const int fps = std::clamp(shape.framesPerSecond, 1, 60);
        // 4:2:0 wants even sizes; an odd last row or column is left out.
        c->width = shape.width & ~1;
        c->height = shape.height & ~1;
        c->pix_fmt = AV_PIX_FMT_YUV420P;
        c->time_base = AVRational{1, 1000};
        c->framerate = AVRational{fps, 1};
        c->gop_size = fps;
        c->keyint_min = fps;
        c->max_b_frames = 0;
        c->bit_rate = std::max(shape.videoBitRate, 100000);
        c->rc_max_rate = c->bit_rate;
        c->rc_buffer_size = static_cast<int>(c->bit_rate);
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        av_opt_set(c->priv_data, "preset", "veryfast", 0);
        av_opt_set(c->priv_data, "tune", "zerolatency", 0);
        // A key frame every second, never one more for a scene change, so
        // that edges' segments and late joiners find them where expected.
        av_opt_set(c->priv_data, "x264-params", "scenecut=0", 0);
        const int opened = avcodec_open2(c, codec, nullptr);
        if (opened < 0) return fail("cannot open the H.264 encoder", opened);
        sws_.reset(sws_getContext(shape.width, shape.height, AV_PIX_FMT_BGR24, c->width, c->height,
                                  AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
        picture_.reset(av_frame_alloc());
        if (!sws_ || !picture_) return fail("out of memory", 0);
        picture_->format = c->pix_fmt;
        picture_->width = c->width;
        picture_->height = c->height;
        if (av_frame_get_buffer(picture_.get(), 0) < 0) return fail("out of memory", 0);
    }

    if (shape.sampleRate > 0 && shape.channels > 0) {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
        if (!codec) return fail("this FFmpeg has no AAC encoder", 0);
        audio_.reset(avcodec_alloc_context3(codec));
        if (!audio_) return fail("out of memory", 0);
        AVCodecContext* c = audio_.get();
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        c->sample_rate = shape.sampleRate;
        av_channel_layout_default(&c->ch_layout, std::clamp(shape.channels, 1, 2));
        c->bit_rate = 64000 * c->ch_layout.nb_channels;
        c->time_base = AVRational{1, shape.sampleRate};
        c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
        const int opened = avcodec_open2(c, codec, nullptr);
        if (opened < 0) return fail("cannot open the AAC encoder", opened);
        SoundShape sound;
        sound.inputRate = shape.sampleRate;
        sound.inputChannels = shape.channels;
        sound.outputRate = c->sample_rate;
        sound.outputChannels = c->ch_layout.nb_channels;
        sound.format = c->sample_fmt;
        sound.frameSize = c->frame_size;
        std::string problem;
        if (!sound_.Open(sound, &problem)) return fail(problem, 0);
    }
    if (!video_ && !audio_) return fail("nothing to publish: no pictures and no sound", 0);
    return true;
}

bool AvcAacEncoder::Drain(AVCodecContext* context, int stream, const Output& output) {
    for (;;) {
        const int got = avcodec_receive_packet(context, packet_.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) return false;
        const bool more = output(packet_.get(), stream);
        av_packet_unref(packet_.get());
        if (!more) return false;
    }
}

bool AvcAacEncoder::EncodeVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time,
                                const Output& output) {
    if (!video_ || shape_.height <= 0) return true;
    if (PictureStride(shape_.width, shape_.height, length) == 0)
        return true;  // not a whole picture
    if (av_frame_make_writable(picture_.get()) < 0) return false;
    ScaleBottomUp(sws_.get(), bgr, length, shape_.width, shape_.height, picture_.get());
    // Two pictures within one millisecond of the time base would share a
    // time stamp; the later one moves on by one.
    picture_->pts = clock_.Stamp(time);
    picture_->pict_type = forceKey_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    forceKey_ = false;
    if (avcodec_send_frame(video_.get(), picture_.get()) < 0) return false;
    return Drain(video_.get(), 0, output);
}

bool AvcAacEncoder::EncodeAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time,
                                const Output& output) {
    if (!audio_) return true;
    if (sound_.Push(pcm, length, time)) return false;
    AVCodecContext* c = audio_.get();
    while (AVFrame* frame = sound_.Next()) {
        // The encoder's priming delay is added up front, so that its first
        // packet does not lie before the run's start (FLV refuses it). Sound
        // from before the run's first picture has no place in it.
        if (frame->pts < 0) continue;
        frame->pts += c->initial_padding;
        if (avcodec_send_frame(c, frame) < 0) return false;
        if (!Drain(c, AudioStreamIndex(), output)) return false;
    }
    return true;
}

}  // namespace codec
