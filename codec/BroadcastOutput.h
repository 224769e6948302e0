#pragma once
// Something the broadcast feeds besides its own writer: it is handed a copy
// of every picture and every piece of sound the writer is given, and does
// what it does with them on its own time. Neither call ever waits for the
// output's work. Pictures come from the user-interface thread, sound from
// the audio thread; time is the sample's time in 100-ns units since the
// broadcast began.

#include <cstddef>
#include <cstdint>

namespace codec {

class BroadcastOutput {
  public:
    virtual ~BroadcastOutput() = default;
    // 24-bit BGR, rows bottom-up, as the writer got it.
    virtual void PushVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time) = 0;
    // Interleaved 16-bit PCM.
    virtual void PushAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time) = 0;
};

}  // namespace codec
