#pragma once
// The writer's sinks and the stream header that a sink joining a running
// stream starts with. The writer's thread hands the header, data packets and
// the end through here; sinks are added and removed from any thread.

#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/wmvcore/wmvcore.h"

namespace wmv {

class SinkList {
  public:
    // E_INVALIDARG for a sink that is there already. A sink added while a
    // stream runs gets its header at once.
    HRESULT Add(IWMWriterSink* sink);
    // E_INVALIDARG for a sink that is not there. A running stream ends for it.
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
    std::mutex mutex_;
    std::vector<RefPtr<IWMWriterSink>> sinks_;
    std::vector<std::uint8_t> header_;
    bool headerReady_ = false;
    std::uint32_t packetSize_ = 0;
    std::uint16_t keyStream_ = 0;
    std::uint32_t bitsPerSecond_ = 0;
    struct Browser {
        IWMWriterSink* sink;  // the sink it belongs to
        RefPtr<IWMBrowserRenditionSink> rendition;
    };
    std::vector<Browser> browsers_;
    std::vector<std::uint8_t> renditionHeader_;
    bool renditionRunning_ = false;
};

}  // namespace wmv
