#pragma once
// The broadcast's second encoding, for what wants H.264 and AAC (the relay,
// the fragmented MP4 viewers): the writer's pictures (BGR, rows bottom-up,
// padded to 4 bytes) as H.264 from libx264 (zerolatency, a key frame every
// second, no B-frames) and its 16-bit PCM as AAC. Used on one thread only
// (the shared encode's).

#include <cstdint>
#include <functional>
#include <string>

#include "codec/SampleClock.h"
#include "codec/SoundFrames.h"
#include "platform/FfmpegHandles.h"

namespace codec {

// The broadcast's shape, fixed while it runs.
struct MediaShape {
    int width = 0;  // 0: no video
    int height = 0;
    int framesPerSecond = 15;
    int videoBitRate = 500000;
    int sampleRate = 0;  // 0: no audio
    int channels = 0;
};

class AvcAacEncoder {
  public:
    // Receives each packet, in its stream's time base (the codec's), with
    // the stream's index: video 0, audio the next. Returns false to stop
    // (the connection failed).
    using Output = std::function<bool(AVPacket* packet, int stream)>;

    // Opens the encoders; the text of the first failure in error.
    bool Open(const MediaShape& shape, std::string* error);

    // One picture of stride * height bytes at time (100 ns units since the
    // run's start); pictures must come in time order.
    bool EncodeVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time,
                     const Output& output);
    // One chunk of interleaved 16-bit PCM at time (as for pictures). A gap
    // of more than half a second moves the audio clock on.
    bool EncodeAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time,
                     const Output& output);
    // The next picture becomes a key frame (after pictures were dropped).
    void ForceKeyFrame() { forceKey_ = true; }

    AVCodecContext* Video() const { return video_.get(); }
    AVCodecContext* Audio() const { return audio_.get(); }
    int AudioStreamIndex() const { return video_ ? 1 : 0; }

  private:
    bool Drain(AVCodecContext* context, int stream, const Output& output);

    MediaShape shape_;
    CodecContextPtr video_;
    CodecContextPtr audio_;
    SwsPtr sws_;
    FramePtr picture_;
    SoundFrames sound_;
    PacketPtr packet_;
    // Pictures in milliseconds, never dropped.
    PictureClock clock_{1000, false};
    bool forceKey_ = false;
};

}  // namespace codec
