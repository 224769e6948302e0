#include "wmvcore/AudioEncoder.h"

namespace wmv {

HRESULT AudioEncoder::Open(const AudioSettings& settings) {
    channels_ = settings.channels;
    inputRate_ = settings.inputRate;
    rate_ = settings.outputRate > 0 ? settings.outputRate : settings.inputRate;
    format_ = settings.sampleFormat;
    blockAlign_ = static_cast<std::uint32_t>(channels_) * 2;
    nextPts_ = 0;
    anchored_ = false;
    HRESULT hr = AllocateContext(settings.codec);
    if (FAILED(hr)) return hr;
    AVCodecContext* c = context_.get();
    c->sample_fmt = format_;
    c->sample_rate = rate_;
    av_channel_layout_default(&c->ch_layout, channels_);
    c->bit_rate = settings.bitRate;
    c->time_base = AVRational{1, rate_};
    hr = OpenContext(settings.globalHeader, settings.options);
    if (FAILED(hr)) return hr;
    if (c->frame_size <= 0) return NS_E_INVALID_OUTPUT_FORMAT;

    SwrContext* swr = nullptr;
    if (swr_alloc_set_opts2(&swr, &c->ch_layout, format_, rate_, &c->ch_layout, AV_SAMPLE_FMT_S16,
                            inputRate_, 0, nullptr) < 0)
        return E_OUTOFMEMORY;
    swr_.reset(swr);
    if (swr_init(swr) < 0) return E_FAIL;
    fifo_.reset(av_audio_fifo_alloc(format_, channels_, rate_));
    frame_.reset(av_frame_alloc());
    if (!fifo_ || !frame_) return E_OUTOFMEMORY;
    frame_->nb_samples = c->frame_size;
    frame_->format = format_;
    frame_->sample_rate = rate_;
    if (av_channel_layout_copy(&frame_->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(frame_.get(), 0) < 0)
        return E_OUTOFMEMORY;
    // Half a second per conversion up front; longer chunks grow it once.
    const bool planar = av_sample_fmt_is_planar(format_);
    const std::size_t perPlane = static_cast<std::size_t>(rate_ / 2) *
                                 av_get_bytes_per_sample(format_) * (planar ? 1 : channels_);
    planes_.assign(planar ? static_cast<std::size_t>(channels_) : 1,
                   std::vector<std::uint8_t>(perPlane));
    return S_OK;
}

void AudioEncoder::Encode(const std::uint8_t* pcm, std::uint32_t length, std::uint64_t time,
                          const Output& output) {
    const int samples = static_cast<int>(length / blockAlign_);
    if (samples <= 0) return;
    const std::int64_t written =
        static_cast<std::int64_t>(time * static_cast<std::uint64_t>(rate_) / 10000000u);
    const int queued = av_audio_fifo_size(fifo_.get());
    if (!anchored_) {
        nextPts_ = written;
        anchored_ = true;
    } else if (written - (nextPts_ + queued) > rate_ / 2) {
        // A gap of more than half a second (lost chunks): move on to the
        // writer's clock rather than drift behind it.
        nextPts_ = written - queued;
    }
    const int room = swr_get_out_samples(swr_.get(), samples);
    const bool planar = av_sample_fmt_is_planar(format_);
    const std::size_t needed = static_cast<std::size_t>(room) * av_get_bytes_per_sample(format_) *
                               (planar ? 1 : channels_);
    if (planes_[0].size() < needed) {
        for (auto& plane : planes_) plane.resize(needed);
    }
    std::uint8_t* out[2] = {planes_[0].data(), planes_.size() > 1 ? planes_[1].data() : nullptr};
    const std::uint8_t* source[1] = {pcm};
    const int converted = swr_convert(swr_.get(), out, room, source, samples);
    if (converted < 0) return (*report_)("sample conversion failed", converted);
    if (av_audio_fifo_write(fifo_.get(), reinterpret_cast<void**>(out), converted) < converted)
        return (*report_)("audio queue full", AVERROR(ENOMEM));
    const int frameSize = context_->frame_size;
    while (av_audio_fifo_size(fifo_.get()) >= frameSize) {
        if (av_frame_make_writable(frame_.get()) < 0)
            return (*report_)("no audio frame", AVERROR(ENOMEM));
        av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), frameSize);
        frame_->pts = nextPts_;
        nextPts_ += frameSize;
        Send(frame_.get(), output);
    }
}

void AudioEncoder::Finish(const Output& output) {
    if (fifo_ && av_audio_fifo_size(fifo_.get()) > 0) {
        const int left = av_audio_fifo_size(fifo_.get());
        if (av_frame_make_writable(frame_.get()) >= 0) {
            av_samples_set_silence(frame_->data, 0, frame_->nb_samples, channels_, format_);
            av_audio_fifo_read(fifo_.get(), reinterpret_cast<void**>(frame_->data), left);
            frame_->pts = nextPts_;
            nextPts_ += frame_->nb_samples;
            Send(frame_.get(), output);
        }
    }
    Send(nullptr, output);
}

}  // namespace wmv
