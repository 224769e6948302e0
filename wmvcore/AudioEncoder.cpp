#include "wmvcore/AudioEncoder.h"

namespace wmv {

HRESULT AudioEncoder::Open(const AudioSettings& settings) {
    channels_ = settings.channels;
    inputRate_ = settings.inputRate;
    const int rate = settings.outputRate > 0 ? settings.outputRate : settings.inputRate;
    blockAlign_ = static_cast<std::uint32_t>(channels_) * 2;
    HRESULT hr = AllocateContext(settings.codec);
    if (FAILED(hr)) return hr;
    AVCodecContext* c = context_.get();
    c->sample_fmt = settings.sampleFormat;
    c->sample_rate = rate;
    av_channel_layout_default(&c->ch_layout, channels_);
    c->bit_rate = settings.bitRate;
    c->time_base = AVRational{1, rate};
    hr = OpenContext(settings.globalHeader, settings.options);
    if (FAILED(hr)) return hr;
    if (c->frame_size <= 0) return NS_E_INVALID_OUTPUT_FORMAT;

    codec::SoundShape shape;
    shape.inputRate = inputRate_;
    shape.inputChannels = channels_;
    shape.outputRate = rate;
    shape.outputChannels = channels_;
    shape.format = settings.sampleFormat;
    shape.frameSize = c->frame_size;
    std::string error;
    if (!sound_.Open(shape, &error)) return error == "out of memory" ? E_OUTOFMEMORY : E_FAIL;
    return S_OK;
}

void AudioEncoder::Encode(const std::uint8_t* pcm, std::uint32_t length, std::uint64_t time,
                          const Output& output) {
    const auto fault = sound_.Push(pcm, length, static_cast<std::int64_t>(time));
    if (fault) return (*report_)(fault.what, fault.code);
    while (AVFrame* frame = sound_.Next()) Send(frame, output);
}

void AudioEncoder::Finish(const Output& output) {
    if (AVFrame* rest = sound_.Rest()) Send(rest, output);
    Send(nullptr, output);
}

}  // namespace wmv
