#pragma once
// Captured sound on its way into an encoder: chunks of interleaved 16-bit
// PCM are converted to the encoder's sample format, rate and channels,
// queued and handed out in frames of the encoder's frame size, each stamped
// in samples of the output rate. The first chunk's time anchors the sound; a
// gap of more than half a second (lost chunks) moves it on to the writer's
// clock rather than let it drift behind.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/FfmpegHandles.h"

namespace codec {

struct SoundShape {
    int inputRate = 0;  // the captured PCM
    int inputChannels = 0;
    int outputRate = 0;  // the encoder's
    int outputChannels = 0;
    AVSampleFormat format = AV_SAMPLE_FMT_FLTP;
    int frameSize = 0;  // samples per encoder frame
};

class SoundFrames {
  public:
    // What went wrong, with FFmpeg's code where it has one.
    struct Fault {
        const char* what = nullptr;
        int code = 0;
        explicit operator bool() const { return what != nullptr; }
    };

    // The text of the first failure in error.
    bool Open(const SoundShape& shape, std::string* error);

    // Converts and queues one chunk of whole sample blocks taken at time
    // (100-ns units).
    Fault Push(const std::uint8_t* pcm, std::size_t length, std::int64_t time);
    // The next whole frame with its time stamp, or null while less than a
    // frame waits. The frame is the queue's own, valid until the next call.
    AVFrame* Next();
    // What is left, padded with silence to a whole frame; null when nothing is.
    AVFrame* Rest();

    std::size_t BlockAlign() const { return blockAlign_; }

  private:
    SoundShape shape_;
    SwrPtr swr_;
    FifoPtr fifo_;
    FramePtr frame_;
    std::size_t blockAlign_ = 0;
    std::vector<std::vector<std::uint8_t>> planes_;  // converted samples
    std::int64_t nextStamp_ = 0;
    bool anchored_ = false;
};

}  // namespace codec
