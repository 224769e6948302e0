#include "wmvcore/VideoEncoder.h"

#include <algorithm>

#include "codec/PictureRows.h"

extern "C" {
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace wmv {

HRESULT VideoEncoder::Open(const VideoSettings& settings) {
    width_ = settings.width;
    height_ = settings.height;
    encodedWidth_ = std::max(2, width_ & ~1);
    encodedHeight_ = std::max(2, height_ & ~1);
    fps_ = settings.fps;
    keyAfterGap_ = settings.keyAfterGap;
    clock_ = codec::PictureClock(settings.fps, true);
    HRESULT hr = AllocateContext(settings.codec);
    if (FAILED(hr)) return hr;
    AVCodecContext* c = context_.get();
    c->width = encodedWidth_;
    c->height = encodedHeight_;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    // Rate control counts one tick per frame, so the time base is the frame rate.
    c->time_base = AVRational{1, fps_};
    c->framerate = AVRational{fps_, 1};
    c->bit_rate = settings.bitRate;
    c->gop_size = settings.gopSize;
    c->max_b_frames = 0;
    if (settings.qmin >= 0) c->qmin = settings.qmin;
    if (settings.qmax >= 0) c->qmax = settings.qmax;
    hr = OpenContext(settings.globalHeader, settings.options);
    if (FAILED(hr)) return hr;

    sws_.reset(sws_getContext(width_, height_, AV_PIX_FMT_BGR24, encodedWidth_, encodedHeight_,
                              AV_PIX_FMT_YUV420P, SWS_BILINEAR, nullptr, nullptr, nullptr));
    if (!sws_) return E_OUTOFMEMORY;
    const int frameBufferSize =
        av_image_get_buffer_size(AV_PIX_FMT_YUV420P, encodedWidth_, encodedHeight_, 32);
    pool_.reset(av_buffer_pool_init(frameBufferSize, av_buffer_allocz));
    frame_.reset(av_frame_alloc());
    if (!pool_ || !frame_) return E_OUTOFMEMORY;
    return S_OK;
}

std::uint32_t VideoEncoder::MinLength() const {
    return static_cast<std::uint32_t>(codec::UnpaddedPictureBytes(width_, height_));
}

std::uint32_t VideoEncoder::MaxLength() const {
    // Rows of a DIB are padded to four bytes; take either layout.
    return static_cast<std::uint32_t>(codec::PaddedPictureBytes(width_, height_));
}

void VideoEncoder::Encode(const std::uint8_t* data, std::uint32_t length, std::uint64_t time,
                          bool keyFrame, const Output& output) {
    // Frame slots of 1/fps s (see PictureClock); a picture that would run
    // ahead of its time is dropped.
    bool afterGap = false;
    const std::int64_t pts = clock_.Stamp(static_cast<std::int64_t>(time), &afterGap);
    if (pts < 0) return;
    if (keyAfterGap_ && afterGap) keyFrame = true;

    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    frame->buf[0] = av_buffer_pool_get(pool_.get());
    if (!frame->buf[0]) return (*report_)("no frame buffer", AVERROR(ENOMEM));
    av_image_fill_arrays(frame->data, frame->linesize, frame->buf[0]->data, AV_PIX_FMT_YUV420P,
                         encodedWidth_, encodedHeight_, 32);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = encodedWidth_;
    frame->height = encodedHeight_;
    if (!codec::ScaleBottomUp(sws_.get(), data, length, width_, height_, frame)) return;
    frame->pts = pts;
    frame->pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    Send(frame, output);
}

void VideoEncoder::Finish(const Output& output) {
    Send(nullptr, output);
}

}  // namespace wmv
