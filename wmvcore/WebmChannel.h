#pragma once
// The browser rendition as the stream server hands it out: its header and
// the latest clusters, shared by all browser viewers. A viewer that joins
// gets the header and then starts at the next cluster that begins with a
// key frame; it asks the writer for one, so it waits at most a frame. A
// viewer that falls behind the kept clusters is dropped, so a slow browser
// costs nobody else anything. While no browser viewer is connected the
// channel tells the writer that nobody wants the rendition.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "wmvcore/StreamServer.h"

namespace wmv {

class WebmChannel {
  public:
    // From the writer's rendition thread.
    HRESULT OnHeader(const std::uint8_t* header, std::size_t size);
    HRESULT OnCluster(const std::uint8_t* cluster, std::size_t size, bool start);
    HRESULT OnEnd();

    // Browser viewers connected now (any thread).
    std::uint32_t Viewers() const { return viewers_; }
    // True once after a viewer joined.
    bool TakeKeyFrameRequest() { return keyWanted_.exchange(false); }

    // A new browser viewer (server thread).
    std::unique_ptr<Viewer> NewViewer();

  private:
    friend class WebmViewer;

    std::atomic<std::uint32_t> viewers_{0};
    std::atomic<bool> keyWanted_{false};

    std::mutex mutex_;
    std::vector<std::uint8_t> header_;
    bool haveHeader_ = false;
    bool ended_ = false;
    std::uint64_t generation_ = 0;
    struct Cluster {
        std::vector<std::uint8_t> bytes;
        bool start = false;
    };
    std::deque<Cluster> clusters_;
    std::uint64_t firstSeq_ = 0;  // sequence number of clusters_.front()
    std::uint64_t head_ = 0;      // sequence number of the next cluster
    std::size_t bytes_ = 0;
    std::vector<std::vector<std::uint8_t>> spare_;  // buffers of dropped clusters
};

}  // namespace wmv
