#pragma once
// One audio encoder: captured 16-bit PCM chunks are converted (and resampled
// where the encoder's rate differs from the capture's), gathered into the
// encoder's frame size and encoded with an FFmpeg encoder. The first chunk's
// time anchors the stream; a gap of more than half a second (lost chunks)
// moves it on to the writer's clock.

#include <cstdint>

#include "codec/SoundFrames.h"
#include "wmvcore/Encoder.h"

namespace wmv {

struct AudioSettings {
    AVCodecID codec = AV_CODEC_ID_NONE;
    int inputRate = 0;  // the captured PCM
    int channels = 0;
    int outputRate = 0;  // 0: the input rate
    AVSampleFormat sampleFormat = AV_SAMPLE_FMT_FLTP;
    std::int64_t bitRate = 0;
    bool globalHeader = true;
    EncoderOptions options;
};

// The packets' times are in samples of the output rate.
class AudioEncoder : public Encoder {
  public:
    explicit AudioEncoder(FailureReport* report) : Encoder(report) {}

    HRESULT Open(const AudioSettings& settings);

    // Encodes one chunk of whole sample blocks taken at time (100-ns units).
    void Encode(const std::uint8_t* pcm, std::uint32_t length, std::uint64_t time,
                const Output& output);
    // Encodes what is left (padded with silence) and drains the encoder.
    void Finish(const Output& output);

    std::uint32_t BlockAlign() const { return blockAlign_; }
    int InputRate() const { return inputRate_; }

  private:
    codec::SoundFrames sound_;
    int channels_ = 0;
    int inputRate_ = 0;
    std::uint32_t blockAlign_ = 0;
};

}  // namespace wmv
