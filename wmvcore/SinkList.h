#pragma once
// The writer's sinks and the stream header that a sink joining a running
// stream starts with. The writer's thread hands the header, data packets and
// the end through here; sinks are added and removed from any thread.
//
// Locks: mutex_ guards the list and the headers and is never held while a
// sink is called; each call-out works on a copy of the list taken under it.
// deliveryMutex_ (recursive) is held across the calls that carry the stream,
// so each sink sees its header, its packets and its end in order even when
// it is added or removed while the stream runs; because it is recursive, a
// sink may add or remove sinks from inside one of its calls.

#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "wmvcore/wmvcore.h"

namespace wmv {

class SinkList {
  public:
    // E_INVALIDARG for a sink that is there already. A sink added while a
    // stream runs gets its header at once (on the caller's thread).
    HRESULT Add(IWMWriterSink* sink);
    // E_INVALIDARG for a sink that is not there. A running stream ends for it
    // (on the caller's thread); it gets no call after this returns.
    HRESULT Remove(IWMWriterSink* sink);
    std::uint32_t Count();

    // A new stream starts: every sink gets its header.
    void Start(std::vector<std::uint8_t> header, std::uint32_t packetSize, std::uint16_t keyStream,
               std::uint32_t bitsPerSecond);
    void Deliver(const std::uint8_t* packets, std::size_t size);
    // The stream ended: every sink is told.
    void End();
    // Forgets the header of a stream that is over.
    void Reset();

    // The browser rendition, for the sinks that serve browsers (from the
    // rendition's thread, except RenditionWanted: the writer's thread).
    bool RenditionWanted();
    bool TakeKeyFrameRequest();
    void RenditionStart(std::vector<std::uint8_t> header);
    void RenditionCluster(const std::uint8_t* cluster, std::size_t size, bool start);
    void RenditionEnd();

  private:
    struct Entry {
        RefPtr<IWMWriterSink> sink;
        RefPtr<IWMBrowserRenditionSink> browser;  // null for a sink without browsers
        bool removed = false;                     // under deliveryMutex_
    };
    using Entries = std::vector<std::shared_ptr<Entry>>;

    // A copy of the list to call out over, taken under mutex_.
    Entries Snapshot();
    // Each sink of the copy that is still in the list.
    template <typename Call>
    void ForEach(const Entries& entries, Call call);

    std::recursive_mutex deliveryMutex_;
    std::mutex mutex_;
    Entries entries_;
    std::vector<std::uint8_t> header_;
    bool headerReady_ = false;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    std::uint32_t bitsPerSecond_ = 0;
    std::vector<std::uint8_t> renditionHeader_;
    bool renditionRunning_ = false;
};

}  // namespace wmv
