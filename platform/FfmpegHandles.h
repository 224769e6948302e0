#pragma once
// Owners of FFmpeg's handles, for the libraries that encode and mux with it
// (the stream runtime, the shared encode and the relay publisher). Header only: nothing here
// links FFmpeg into what does not include it.

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <string>

#include "platform/UniqueHandle.h"

// FFmpeg's text for an error code.
inline std::string AvErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

inline void FreeCodecContext(AVCodecContext* c) {
    avcodec_free_context(&c);
}
inline void FreeFrame(AVFrame* f) {
    av_frame_free(&f);
}
inline void FreePacket(AVPacket* p) {
    av_packet_free(&p);
}
inline void FreeParameters(AVCodecParameters* p) {
    avcodec_parameters_free(&p);
}
inline void FreeSwr(SwrContext* s) {
    swr_free(&s);
}
inline void FreeFifo(AVAudioFifo* f) {
    av_audio_fifo_free(f);
}
inline void FreeBufferPool(AVBufferPool* p) {
    av_buffer_pool_uninit(&p);
}
inline void FreeFormatContext(AVFormatContext* f) {
    avformat_free_context(f);
}
inline void FreeIoContext(AVIOContext* io) {
    av_freep(&io->buffer);
    avio_context_free(&io);
}

using CodecContextPtr = UniqueHandle<AVCodecContext, FreeCodecContext>;
using FramePtr = UniqueHandle<AVFrame, FreeFrame>;
using PacketPtr = UniqueHandle<AVPacket, FreePacket>;
using ParametersPtr = UniqueHandle<AVCodecParameters, FreeParameters>;
using SwsPtr = UniqueHandle<SwsContext, sws_freeContext>;
using SwrPtr = UniqueHandle<SwrContext, FreeSwr>;
using FifoPtr = UniqueHandle<AVAudioFifo, FreeFifo>;
using BufferPoolPtr = UniqueHandle<AVBufferPool, FreeBufferPool>;
using FormatContextPtr = UniqueHandle<AVFormatContext, FreeFormatContext>;
using IoContextPtr = UniqueHandle<AVIOContext, FreeIoContext>;
