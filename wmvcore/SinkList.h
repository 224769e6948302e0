#pragma once
// The writer's sinks and the streams they are handed: the ASF stream, which
// every sink takes, and the browser rendition, which the sinks that serve
// browsers take. For each kind of stream the list keeps the header that a
// sink joining it while it runs starts with. The writer's threads hand the
// header, the data and the end of each through here; sinks are added and
// removed from any thread.
//
// Locks: mutex_ guards the list and the streams and is never held while a
// sink is called; each call-out works on a copy of the list taken under it.
// deliveryMutex_ (recursive) is held across the calls that carry the
// streams, so each sink sees each stream's header, its data and its end in
// order even when it is added or removed while the stream runs; because it
// is recursive, a sink may add or remove sinks from inside one of its calls.
// It cannot stall the writer on anything but the sinks' own calls: a sink
// must not wait there for another thread that calls into the writer.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "wmvcore/wmvcore.h"

namespace wmv {

enum class StreamKind {
    Asf,        // the ASF stream, for every sink
    Rendition,  // the browser rendition, for the sinks that serve browsers
};

// What a sink learns about an ASF stream besides its header.
struct StreamSettings {
    std::uint32_t packetSize = 0;
    std::uint16_t keyStream = 0;
};

class SinkList {
  public:
    // E_INVALIDARG for a sink that is there already. A sink added while a
    // stream runs gets its header at once (on the caller's thread).
    HRESULT Add(IWMWriterSink* sink);
    // E_INVALIDARG for a sink that is not there. Each running stream ends for
    // it (on the caller's thread); it gets no call after this returns.
    HRESULT Remove(IWMWriterSink* sink);
    std::uint32_t Count();

    // A new stream of the kind starts: every sink that takes it gets the
    // header (the settings are for an ASF stream).
    void Start(StreamKind kind, std::vector<std::uint8_t> header, StreamSettings settings = {});
    // Data of the running stream: ASF packets, or a rendition cluster that
    // may begin with a key frame (start).
    void Deliver(StreamKind kind, const std::uint8_t* data, std::size_t size, bool start = false);
    // The stream ended: every sink that takes it is told, and a sink added
    // later gets nothing of it.
    void End(StreamKind kind);
    // Forgets a stream without telling the sinks (writing could not begin).
    void Reset(StreamKind kind);

    // For the browser rendition: RenditionWanted from the writer's thread,
    // TakeKeyFrameRequest from the rendition's.
    bool RenditionWanted();
    bool TakeKeyFrameRequest();

  private:
    struct Entry {
        RefPtr<IWMWriterSink> sink;
        RefPtr<IWMBrowserRenditionSink> browser;  // null for a sink without browsers
        bool removed = false;                     // under deliveryMutex_
    };
    using Entries = std::vector<std::shared_ptr<Entry>>;
    struct Stream {
        std::vector<std::uint8_t> header;
        StreamSettings settings;
        bool running = false;
    };
    static constexpr std::size_t kKinds = 2;

    // A copy of the list to call out over, taken under mutex_.
    Entries Snapshot();
    // Each sink of the copy that is still in the list and takes the kind.
    template <typename Call>
    void ForEach(const Entries& entries, StreamKind kind, Call call);
    // The calls that carry a stream to one sink.
    static void SendHeader(Entry& entry, StreamKind kind, const Stream& stream);
    static void SendData(Entry& entry, StreamKind kind, const std::uint8_t* data, std::size_t size,
                         bool start);
    static void SendEnd(Entry& entry, StreamKind kind);
    static bool Takes(const Entry& entry, StreamKind kind) {
        return kind == StreamKind::Asf || entry.browser;
    }
    Stream& StreamOf(StreamKind kind) { return streams_[static_cast<std::size_t>(kind)]; }

    std::recursive_mutex deliveryMutex_;
    std::mutex mutex_;
    Entries entries_;
    std::array<Stream, kKinds> streams_;
};

}  // namespace wmv
