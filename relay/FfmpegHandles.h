#pragma once
// Owners of the FFmpeg handles the relay publisher uses.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

#include "platform/UniqueHandle.h"

namespace relay {

inline void FreeCodecContext(AVCodecContext* c) {
    avcodec_free_context(&c);
}
inline void FreeFrame(AVFrame* f) {
    av_frame_free(&f);
}
inline void FreePacket(AVPacket* p) {
    av_packet_free(&p);
}
inline void FreeSwr(SwrContext* s) {
    swr_free(&s);
}
inline void FreeFifo(AVAudioFifo* f) {
    av_audio_fifo_free(f);
}

using CodecContextPtr = UniqueHandle<AVCodecContext, FreeCodecContext>;
using FramePtr = UniqueHandle<AVFrame, FreeFrame>;
using PacketPtr = UniqueHandle<AVPacket, FreePacket>;
using SwsPtr = UniqueHandle<SwsContext, sws_freeContext>;
using SwrPtr = UniqueHandle<SwrContext, FreeSwr>;
using FifoPtr = UniqueHandle<AVAudioFifo, FreeFifo>;

// FFmpeg's text for an error code.
inline std::string AvErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace relay
