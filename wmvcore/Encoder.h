#pragma once
// What the video and audio encoders share: the FFmpeg encoder they feed,
// opened with the settings every stream has, and the hand-over of one frame
// (or of the end) that passes on every packet the encoder has ready.

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "wmvcore/Internal.h"

namespace wmv {

// Private options of an encoder, by name.
using EncoderOptions = std::vector<std::pair<std::string, std::string>>;

class Encoder {
  public:
    // Receives each encoded packet. The packet is the encoder's: it is
    // unreferenced once the call returns.
    using Output = std::function<void(AVPacket* packet)>;

    AVCodecContext* Context() const { return context_.get(); }

  protected:
    explicit Encoder(FailureReport* report) : report_(report) {}
    ~Encoder() = default;

    // A fresh context for the codec, to be filled in before OpenContext.
    HRESULT AllocateContext(AVCodecID id);
    // Opens the context with the options, and the packet that Send reuses.
    HRESULT OpenContext(bool globalHeader, const EncoderOptions& options);
    // Hands a frame (null: the end) to the encoder and passes on each
    // packet it then has ready. Failures go to the report.
    void Send(AVFrame* frame, const Output& output);

    FailureReport* report_;
    CodecContextPtr context_;

  private:
    const AVCodec* codec_ = nullptr;
    PacketPtr packet_;
};

}  // namespace wmv
