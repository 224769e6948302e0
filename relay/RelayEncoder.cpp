#include "relay/RelayEncoder.h"

#include <algorithm>
#include <vector>

extern "C" {
#include <libavutil/opt.h>
}

namespace relay {

namespace {

constexpr std::int64_t kTicksPerSecond = 10000000;  // sample times are in 100 ns
constexpr std::int64_t kTicksPerMs = 10000;

}  // namespace

bool RelayEncoder::Open(const MediaShape& shape, std::string* error) {
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
        SwrContext* swr = nullptr;
        AVChannelLayout input{};
        av_channel_layout_default(&input, shape.channels);
        const int made =
            swr_alloc_set_opts2(&swr, &c->ch_layout, AV_SAMPLE_FMT_FLTP, c->sample_rate, &input,
                                AV_SAMPLE_FMT_S16, shape.sampleRate, 0, nullptr);
        swr_.reset(swr);
        if (made < 0 || swr_init(swr) < 0) return fail("cannot convert the sound", made);
        fifo_.reset(
            av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, c->ch_layout.nb_channels, c->sample_rate));
        sound_.reset(av_frame_alloc());
        if (!fifo_ || !sound_) return fail("out of memory", 0);
        sound_->nb_samples = c->frame_size;
        sound_->format = c->sample_fmt;
        sound_->sample_rate = c->sample_rate;
        if (av_channel_layout_copy(&sound_->ch_layout, &c->ch_layout) < 0 ||
            av_frame_get_buffer(sound_.get(), 0) < 0)
            return fail("out of memory", 0);
    }
    if (!video_ && !audio_) return fail("nothing to publish: no pictures and no sound", 0);
    return true;
}

bool RelayEncoder::Drain(AVCodecContext* context, int stream, const Output& output) {
    for (;;) {
        const int got = avcodec_receive_packet(context, packet_.get());
        if (got == AVERROR(EAGAIN) || got == AVERROR_EOF) return true;
        if (got < 0) return false;
        const bool more = output(packet_.get(), stream);
        av_packet_unref(packet_.get());
        if (!more) return false;
    }
}

bool RelayEncoder::EncodeVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time,
                               const Output& output) {
    if (!video_ || shape_.height <= 0) return true;
    const int padded = (shape_.width * 3 + 3) & ~3;
    const int stride =
        length >= static_cast<std::size_t>(padded) * shape_.height ? padded : shape_.width * 3;
    if (length < static_cast<std::size_t>(stride) * shape_.height)
        return true;  // not a whole picture
    std::int64_t pts = time / kTicksPerMs;
    // Two pictures within one millisecond of the time base would share a
    // time stamp; the later one moves on by one.
    if (pts <= lastVideoPts_) pts = lastVideoPts_ + 1;
    lastVideoPts_ = pts;
    if (av_frame_make_writable(picture_.get()) < 0) return false;
    // Rows come bottom-up: start at the last row and walk backwards.
    const std::uint8_t* source[4] = {bgr + static_cast<std::size_t>(stride) * (shape_.height - 1),
                                     nullptr, nullptr, nullptr};
    const int sourceStride[4] = {-stride, 0, 0, 0};
    sws_scale(sws_.get(), source, sourceStride, 0, shape_.height, picture_->data,
              picture_->linesize);
    picture_->pts = pts;
    picture_->pict_type = forceKey_ ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    forceKey_ = false;
    if (avcodec_send_frame(video_.get(), picture_.get()) < 0) return false;
    return Drain(video_.get(), 0, output);
}

bool RelayEncoder::EncodeAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time,
                               const Output& output) {
    if (!audio_) return true;
    const int samples = static_cast<int>(length / (static_cast<std::size_t>(shape_.channels) * 2));
    if (samples <= 0) return true;
    AVCodecContext* c = audio_.get();
    const std::int64_t stamped = time * c->sample_rate / kTicksPerSecond;
    const int queued = av_audio_fifo_size(fifo_.get());
    if (!audioAnchored_ || stamped - (nextAudioPts_ + queued) > c->sample_rate / 2) {
        nextAudioPts_ = stamped - queued;
        audioAnchored_ = true;
    }
    const int room = swr_get_out_samples(swr_.get(), samples);
    std::vector<float> left(static_cast<std::size_t>(room)), right(static_cast<std::size_t>(room));
    std::uint8_t* out[2] = {reinterpret_cast<std::uint8_t*>(left.data()),
                            reinterpret_cast<std::uint8_t*>(right.data())};
    const std::uint8_t* in[1] = {pcm};
    const int converted = swr_convert(swr_.get(), out, room, in, samples);
    if (converted < 0) return false;
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), converted) < converted)
        return false;
    while (av_audio_fifo_size(fifo_.get()) >= c->frame_size) {
        if (av_frame_make_writable(sound_.get()) < 0) return false;
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(sound_->data), c->frame_size);
        // The encoder's priming delay is added up front, so that its first
        // packet does not lie before the connection's start (FLV refuses it).
        sound_->pts = nextAudioPts_ + c->initial_padding;
        nextAudioPts_ += c->frame_size;
        // Sound from before the connection's first picture has no place in it.
        if (sound_->pts < c->initial_padding) continue;
        if (avcodec_send_frame(c, sound_.get()) < 0) return false;
        if (!Drain(c, AudioStreamIndex(), output)) return false;
    }
    return true;
}

}  // namespace relay
