#pragma once
// One video encoder: captured pictures (24-bit BGR, rows bottom-up, rows
// padded to four bytes or not) are converted to YUV 4:2:0 at the even size
// below the picture's and encoded with an FFmpeg encoder. Each picture takes
// the slot of 1/fps s its time falls into.

#include <cstdint>

#include "codec/SampleClock.h"
#include "wmvcore/Encoder.h"

namespace wmv {

struct VideoSettings {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int width = 0;  // the captured picture
    int height = 0;
    int fps = 30;
    std::int64_t bitRate = 0;
    int gopSize = 0;
    int qmin = -1;  // -1: the encoder's own
    int qmax = -1;
    bool globalHeader = true;
    // A picture that does not take the slot right after the last one is a
    // key frame. Media Source players drop every picture after such a gap up
    // to the next key frame.
    bool keyAfterGap = false;
    EncoderOptions options;
};

// The packets' times are in the codec's time base: one tick per frame.
class VideoEncoder : public Encoder {
  public:
    explicit VideoEncoder(FailureReport* report) : Encoder(report) {}

    HRESULT Open(const VideoSettings& settings);

    // Encodes one picture taken at time (100-ns units); keyFrame asks for a
    // key frame (so does a gap, with keyAfterGap). A picture that falls into the slot of the one
    // before it moves to the next slot, or is dropped when that would run it ahead of its time.
    void Encode(const std::uint8_t* data, std::uint32_t length, std::uint64_t time, bool keyFrame,
                const Output& output);
    // Drains the encoder at the end of the stream.
    void Finish(const Output& output);

    int Fps() const { return fps_; }
    // Bytes a picture has at least (rows not padded), and at most (padded).
    std::uint32_t MinLength() const;
    std::uint32_t MaxLength() const;

  private:
    FramePtr frame_;
    SwsPtr sws_;
    BufferPoolPtr pool_;
    int width_ = 0;
    int height_ = 0;
    int encodedWidth_ = 0;
    int encodedHeight_ = 0;
    int fps_ = 30;
    bool keyAfterGap_ = false;
    codec::PictureClock clock_{30, true};
};

}  // namespace wmv
