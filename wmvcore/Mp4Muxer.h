#pragma once
// The fragmented MP4 (CMAF) of the shared encode's H.264 and AAC: an init
// segment (ftyp, and a moov without samples), then fragments (moof, mdat) of
// the packets written since the last one, ended when the caller says (the
// MP4 stream ends one after each packet, so that nothing waits for a
// fragment to fill; HLS one for each part). On FFmpeg's MP4 muxer, writing
// into memory; used on one thread at a time.

#include <cstdint>
#include <string>
#include <vector>

#include "codec/SharedEncode.h"
#include "platform/FfmpegHandles.h"

namespace wmv {

class Mp4Muxer {
  public:
    Mp4Muxer() = default;
    ~Mp4Muxer();
    Mp4Muxer(const Mp4Muxer&) = delete;
    Mp4Muxer& operator=(const Mp4Muxer&) = delete;

    // Opens the muxer for the streams; the init segment in *init. False
    // with the reason on failure.
    bool Open(const codec::EncodedStreams& streams, std::vector<std::uint8_t>* init,
              std::string* error);
    // One packet of stream (as the encode numbers them), in its codec's
    // time base, for the fragment in progress. False when the muxer refused
    // it.
    bool Write(const AVPacket& packet, int stream);
    // Ends the fragment in progress: its bytes in *fragment (none when no
    // packet was written since the last). False when the muxer failed.
    bool Flush(std::vector<std::uint8_t>* fragment);
    // Whether a packet of stream is a key frame of the pictures.
    bool IsKeyPicture(const AVPacket& packet, int stream) const;

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
