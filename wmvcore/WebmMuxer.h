#pragma once
// Packs encoded VP8 pictures and Opus frames into a live WebM stream of our
// own framing: a header (EBML, a segment of unknown size, its info and
// tracks) that any viewer can start with, then small clusters of known size
// that leave as soon as a picture is encoded. A key picture always starts a
// cluster of its own, so a viewer that joins can begin at any cluster marked
// as a start; sound waits for the next picture to go out with it.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace wmv {

struct WebmTrack {
    bool video = false;
    std::string codecId;  // "V_VP8", "A_OPUS"
    int width = 0;        // video
    int height = 0;
    // The frame interval. Players that know it need not measure the frame
    // rate before they start, and know where the newest frame ends.
    std::uint64_t defaultDurationNs = 0;
    int sampleRate = 0;  // audio
    int channels = 0;
    std::vector<std::uint8_t> codecPrivate;
    std::uint64_t codecDelayNs = 0;
    std::uint64_t seekPreRollNs = 0;
};

class WebmMuxer {
  public:
    // Receives one whole cluster; start: a viewer may begin with it.
    using Deliver = std::function<void(const std::uint8_t* cluster, std::size_t size, bool start)>;

    WebmMuxer(std::vector<WebmTrack> tracks, Deliver deliver);

    const std::vector<std::uint8_t>& Header() const { return header_; }

    // Adds a frame of a track (by index) at timeMs; times of one track rise.
    void Add(std::size_t track, bool key, std::int64_t timeMs, const std::uint8_t* data,
             std::size_t size);
    // Sends the sound still waiting.
    void Flush();

  private:
    void AppendBlock(std::size_t track, bool key, std::int64_t timeMs, const std::uint8_t* data,
                     std::size_t size);
    void Emit(bool start);

    std::vector<WebmTrack> tracks_;
    bool hasVideo_ = false;
    Deliver deliver_;
    std::vector<std::uint8_t> header_;
    struct Block {
        std::size_t track;
        bool key;
        std::int64_t timeMs;
        std::size_t at;  // into data_
        std::size_t size;
    };
    std::vector<Block> blocks_;  // waiting for their cluster
    std::vector<std::uint8_t> data_;
    std::vector<std::uint8_t> cluster_;
    std::int64_t lastClusterMs_ = 0;
};

// EBML building blocks, for the muxer and its tests.
namespace ebml {
// An element ID as it is written (its length marker included).
void PutId(std::vector<std::uint8_t>& out, std::uint32_t id);
// A size in the shortest variable-length form.
void PutSize(std::vector<std::uint8_t>& out, std::uint64_t size);
void PutUint(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value);
void PutFloat(std::vector<std::uint8_t>& out, std::uint32_t id, double value);
void PutBytes(std::vector<std::uint8_t>& out, std::uint32_t id, const void* data, std::size_t size);
void PutString(std::vector<std::uint8_t>& out, std::uint32_t id, const std::string& text);
// A master element around body.
void PutMaster(std::vector<std::uint8_t>& out, std::uint32_t id,
               const std::vector<std::uint8_t>& body);
}  // namespace ebml

}  // namespace wmv
