#pragma once
// The fragmented MP4 (CMAF) that browsers without WebM in their Media Source
// get: the shared encode's H.264 and AAC as an init segment (ftyp, and a moov
// without samples) and then one fragment (moof, mdat) for each packet, so
// that nothing waits for a fragment to fill. A fragment that holds a key
// frame is one a viewer may begin with. On FFmpeg's MP4 muxer, writing into
// memory; used on the encode's thread only.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "codec/SharedEncode.h"
#include "platform/FfmpegHandles.h"

namespace wmv {

class Mp4Muxer {
  public:
    // Receives each fragment; start: it holds a key frame.
    using Output = std::function<void(const std::uint8_t* fragment, std::size_t size, bool start)>;

    Mp4Muxer() = default;
    ~Mp4Muxer();
    Mp4Muxer(const Mp4Muxer&) = delete;
    Mp4Muxer& operator=(const Mp4Muxer&) = delete;

    // Opens the muxer for the streams; the init segment in *init. False
    // with the reason on failure.
    bool Open(const codec::EncodedStreams& streams, std::vector<std::uint8_t>* init,
              std::string* error);
    // One packet of stream (as the encode numbers them), in its codec's
    // time base, as one fragment. False when the muxer refused it.
    bool Add(const AVPacket& packet, int stream, const Output& output);

  private:
    static int Collect(void* self, std::uint8_t* bytes, int size);
    void Close();

    AVFormatContext* context_ = nullptr;
    AVIOContext* io_ = nullptr;
    PacketPtr packet_;
    std::vector<std::uint8_t> written_;  // since the last header or fragment
    AVRational codecTimeBase_[2] = {{1, 1000}, {1, 1000}};
    std::int64_t duration_[2] = {0, 0};  // of one packet, in the codec's time base
    int streams_ = 0;
};

}  // namespace wmv
