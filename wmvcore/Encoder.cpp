#include "wmvcore/Encoder.h"

namespace wmv {

HRESULT Encoder::AllocateContext(AVCodecID id) {
    codec_ = avcodec_find_encoder(id);
    if (!codec_) return NS_E_INVALID_OUTPUT_FORMAT;
    context_.reset(avcodec_alloc_context3(codec_));
    return context_ ? S_OK : E_OUTOFMEMORY;
}

HRESULT Encoder::OpenContext(bool globalHeader, const EncoderOptions& options) {
    AVCodecContext* c = context_.get();
    if (globalHeader) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    AVDictionary* dictionary = nullptr;
    for (const auto& [name, value] : options)
        av_dict_set(&dictionary, name.c_str(), value.c_str(), 0);
    const int error = avcodec_open2(c, codec_, &dictionary);
    av_dict_free(&dictionary);
    if (error < 0) return NS_E_INVALID_OUTPUT_FORMAT;
    packet_.reset(av_packet_alloc());
    return packet_ ? S_OK : E_OUTOFMEMORY;
}

void Encoder::Send(AVFrame* frame, const Output& output) {
    const int error = avcodec_send_frame(context_.get(), frame);
    if (error < 0 && error != AVERROR_EOF) return (*report_)("encoder refused a frame", error);
    AVPacket* packet = packet_.get();
    for (;;) {
        const int received = avcodec_receive_packet(context_.get(), packet);
        if (received == AVERROR(EAGAIN) || received == AVERROR_EOF) return;
        if (received < 0) return (*report_)("encoder failed", received);
        output(packet);
        av_packet_unref(packet);
    }
}

}  // namespace wmv
