#pragma once
// The live ASF stream as the stream server hands it out: the header and a
// ring of the latest data packets, shared by all ASF viewers; each viewer
// only keeps its position. A new viewer starts at the latest key frame; one
// that falls a whole ring behind is dropped, so a slow viewer costs neither
// the writer nor the other viewers anything.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "wmvcore/StreamServer.h"

namespace wmv {

class AsfChannel {
  public:
    // From the writer's thread (the sink's calls).
    HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                     std::uint16_t keyStream, std::uint32_t bitsPerSecond);
    HRESULT OnDataUnit(const std::uint8_t* packets, std::size_t size);
    HRESULT OnEndWriting();

    // A viewer of the stream: framed in chunks for Windows Media clients,
    // and ending after the header for a describe request. It starts with
    // the header as soon as there is one.
    std::unique_ptr<Viewer> NewViewer(Connection& connection, bool framed, bool describe);

  private:
    friend class AsfViewer;

    std::mutex mutex_;
    std::vector<std::uint8_t> header_;
    bool haveHeader_ = false;
    std::uint64_t generation_ = 0;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    std::vector<std::uint8_t> ring_;
    std::uint64_t slots_ = 0;
    std::uint64_t head_ = 0;  // sequence number of the next packet
    std::uint64_t lastKey_ = UINT64_MAX;
    bool ended_ = false;
    Clock::time_point endedAt_{};
};

}  // namespace wmv
