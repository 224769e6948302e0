#pragma once
// The live ASF stream as the stream server hands it out: the header and the
// latest data packets in a live queue shared by all ASF viewers; each viewer
// only keeps its place. A new viewer starts at the latest key frame; one
// that falls a whole queue behind is dropped, and so is one still there a
// grace time after the end, so a slow viewer costs neither the writer nor
// the other viewers anything.

#include <cstdint>
#include <memory>
#include <mutex>

#include "wmvcore/LiveQueue.h"
#include "wmvcore/StreamServer.h"

namespace wmv {

class AsfChannel {
  public:
    // From the writer's thread (the sink's calls).
    HRESULT OnHeader(const std::uint8_t* header, std::size_t size, std::uint32_t packetSize,
                     std::uint16_t keyStream);
    HRESULT OnDataUnit(const std::uint8_t* packets, std::size_t size);
    HRESULT OnEndWriting();

    // A viewer of the stream: framed in chunks for Windows Media clients,
    // and ending after the header for a describe request. It starts with
    // the header as soon as there is one.
    std::unique_ptr<Viewer> NewViewer(Connection& connection, bool framed, bool describe);

  private:
    friend class AsfViewer;

    // Guards the stream's settings, and is held across the queue's Begin
    // and a viewer's TakeHeader so that a viewer gets the key stream of the
    // header it gets. Nothing is called under it but the queue.
    std::mutex settingsMutex_;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    LiveQueue queue_{LiveQueue::LagPolicy::DropWithEndGrace};
};

}  // namespace wmv
