#include "codec/SoundFrames.h"

#include "codec/SampleClock.h"

namespace codec {

namespace {

constexpr int kMostChannels = 8;

}  // namespace

bool SoundFrames::Open(const SoundShape& shape, std::string* error) {
    const auto fail = [error](const char* what) {
        if (error) *error = what;
        return false;
    };
    shape_ = shape;
    nextStamp_ = 0;
    anchored_ = false;
    if (shape.inputRate <= 0 || shape.inputChannels <= 0 || shape.outputRate <= 0 ||
        shape.outputChannels <= 0 || shape.outputChannels > kMostChannels || shape.frameSize <= 0)
        return fail("no sound to encode");
    blockAlign_ = static_cast<std::size_t>(shape.inputChannels) * 2;

    AVChannelLayout input{};
    AVChannelLayout output{};
    av_channel_layout_default(&input, shape.inputChannels);
    av_channel_layout_default(&output, shape.outputChannels);
    SwrContext* swr = nullptr;
    const int made = swr_alloc_set_opts2(&swr, &output, shape.format, shape.outputRate, &input,
                                         AV_SAMPLE_FMT_S16, shape.inputRate, 0, nullptr);
    swr_.reset(swr);
    if (made < 0 || !swr || swr_init(swr) < 0) return fail("cannot convert the sound");
    fifo_.reset(av_audio_fifo_alloc(shape.format, shape.outputChannels, shape.outputRate));
    frame_.reset(av_frame_alloc());
    if (!fifo_ || !frame_) return fail("out of memory");
    frame_->nb_samples = shape.frameSize;
    frame_->format = shape.format;
    frame_->sample_rate = shape.outputRate;
    if (av_channel_layout_copy(&frame_->ch_layout, &output) < 0 ||
        av_frame_get_buffer(frame_.get(), 0) < 0)
        return fail("out of memory");
    // Half a second per conversion up front; longer chunks grow it once.
    const bool planar = av_sample_fmt_is_planar(shape.format);
    const std::size_t perPlane = static_cast<std::size_t>(shape.outputRate / 2) *
                                 av_get_bytes_per_sample(shape.format) *
                                 (planar ? 1 : shape.outputChannels);
    planes_.assign(planar ? static_cast<std::size_t>(shape.outputChannels) : 1,
                   std::vector<std::uint8_t>(perPlane));
    return true;
}

SoundFrames::Fault SoundFrames::Push(const std::uint8_t* pcm, std::size_t length,
                                     std::int64_t time) {
    if (!fifo_ || blockAlign_ == 0) return {"the sound queue is not open", 0};
    const int samples = static_cast<int>(length / blockAlign_);
    if (samples <= 0) return {};
    const std::int64_t written = TicksToUnits(time, shape_.outputRate);
    const int queued = av_audio_fifo_size(fifo_.get());
    if (!anchored_ || written - (nextStamp_ + queued) > shape_.outputRate / 2) {
        nextStamp_ = written - queued;
        anchored_ = true;
    }
    const int room = swr_get_out_samples(swr_.get(), samples);
    if (room < 0) return {"sample conversion failed", room};
    const bool planar = av_sample_fmt_is_planar(shape_.format);
    const std::size_t needed = static_cast<std::size_t>(room) *
                               av_get_bytes_per_sample(shape_.format) *
                               (planar ? 1 : shape_.outputChannels);
    if (planes_[0].size() < needed) {
        for (auto& plane : planes_) plane.resize(needed);
    }
    std::uint8_t* out[kMostChannels] = {};
    for (std::size_t plane = 0; plane < planes_.size(); ++plane) out[plane] = planes_[plane].data();
    const std::uint8_t* source[1] = {pcm};
    const int converted = swr_convert(swr_.get(), out, room, source, samples);
    if (converted < 0) return {"sample conversion failed", converted};
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), converted) < converted)
        return {"audio queue full", AVERROR(ENOMEM)};
    return {};
}

AVFrame* SoundFrames::Next() {
    if (!fifo_ || av_audio_fifo_size(fifo_.get()) < shape_.frameSize) return nullptr;
    if (av_frame_make_writable(frame_.get()) < 0) return nullptr;
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), shape_.frameSize);
    frame_->pts = nextStamp_;
    nextStamp_ += shape_.frameSize;
    return frame_.get();
}

AVFrame* SoundFrames::Rest() {
    if (AVFrame* whole = Next()) return whole;
    const int left = fifo_ ? av_audio_fifo_size(fifo_.get()) : 0;
    if (left <= 0 || av_frame_make_writable(frame_.get()) < 0) return nullptr;
    av_samples_set_silence(frame_->data, 0, frame_->nb_samples, shape_.outputChannels,
                           shape_.format);
    av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), left);
    frame_->pts = nextStamp_;
    nextStamp_ += frame_->nb_samples;
    return frame_.get();
}

}  // namespace codec
