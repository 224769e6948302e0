#pragma once
// The browser rendition as the stream server hands it out: its header and
// the latest clusters in a live queue shared by all browser viewers. A
// viewer that joins gets the header and then starts at the next cluster that
// begins with a key frame; it asks the writer for one, so it waits at most a
// frame. A viewer that falls behind the kept clusters is dropped, so a slow
// browser costs nobody else anything. While no browser viewer is connected
// the channel tells the writer that nobody wants the rendition.

#include <atomic>
#include <cstdint>
#include <memory>

#include "wmvcore/LiveQueue.h"
#include "wmvcore/StreamServer.h"

namespace wmv {

class WebmChannel {
  public:
    // From the writer's rendition thread.
    HRESULT OnHeader(const std::uint8_t* header, std::size_t size);
    HRESULT OnCluster(const std::uint8_t* cluster, std::size_t size, bool start);
    HRESULT OnEnd();

    // Browser viewers connected now (any thread).
    std::uint32_t Viewers() const { return queue_.Readers(); }
    // True once after a viewer joined.
    bool TakeKeyFrameRequest() { return keyWanted_.exchange(false); }

    // A new browser viewer (server thread).
    std::unique_ptr<Viewer> NewViewer();

  private:
    std::atomic<bool> keyWanted_{false};
    LiveQueue queue_{LiveQueue::LagPolicy::Drop};
};

}  // namespace wmv
