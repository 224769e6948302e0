#include "wmvcore/VideoEncoder.h"

#include <algorithm>

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
    lastPts_ = -1;
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
    return static_cast<std::uint32_t>(width_) * 3 * static_cast<std::uint32_t>(height_);
}

std::uint32_t VideoEncoder::MaxLength() const {
    // Rows of a DIB are padded to four bytes; take either layout.
    return static_cast<std::uint32_t>((width_ * 3 + 3) & ~3) * static_cast<std::uint32_t>(height_);
}

void VideoEncoder::Encode(const std::uint8_t* data, std::uint32_t length, std::uint64_t time,
                          bool keyFrame, const Output& output) {
    // Frame slots of 1/fps s. A frame that falls into the slot of the one
    // before it moves to the next slot, but only while that stays within a
    // tenth of a frame of its time: frames that come a little faster than
    // the rate would otherwise run the video ahead of the clock (and of the
    // audio it is interleaved with), one slot after another. Beyond that the
    // frame is dropped.
    const std::uint64_t scaled = time * static_cast<std::uint64_t>(fps_);
    std::int64_t pts = static_cast<std::int64_t>(scaled / 10000000u);
    if (pts <= lastPts_) {
        pts = lastPts_ + 1;
        if (static_cast<std::uint64_t>(pts) * 10000000u > scaled + 1000000u) return;
    }
    if (keyAfterGap_ && lastPts_ >= 0 && pts > lastPts_ + 1) keyFrame = true;
    lastPts_ = pts;

    AVFrame* frame = frame_.get();
    av_frame_unref(frame);
    frame->buf[0] = av_buffer_pool_get(pool_.get());
    if (!frame->buf[0]) return (*report_)("no frame buffer", AVERROR(ENOMEM));
    av_image_fill_arrays(frame->data, frame->linesize, frame->buf[0]->data, AV_PIX_FMT_YUV420P,
                         encodedWidth_, encodedHeight_, 32);
    frame->format = AV_PIX_FMT_YUV420P;
    frame->width = encodedWidth_;
    frame->height = encodedHeight_;
    // Rows arrive bottom-up: start at the last row and walk backwards.
    const int padded = (width_ * 3 + 3) & ~3;
    const int stride = length >= static_cast<std::uint32_t>(padded * height_) ? padded : width_ * 3;
    const std::uint8_t* source[4] = {data + static_cast<std::size_t>(stride) * (height_ - 1),
                                     nullptr, nullptr, nullptr};
    const int sourceStride[4] = {-stride, 0, 0, 0};
    sws_scale(sws_.get(), source, sourceStride, 0, height_, frame->data, frame->linesize);
    frame->pts = pts;
    frame->pict_type = keyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    Send(frame, output);
}

void VideoEncoder::Finish(const Output& output) {
    Send(nullptr, output);
}

}  // namespace wmv
