#include "wmvcore/SinkList.h"

#include <algorithm>

namespace wmv {
namespace {

constexpr StreamKind kKindsInOrder[] = {StreamKind::Asf, StreamKind::Rendition};

}  // namespace

SinkList::Entries SinkList::Snapshot() {
    std::lock_guard lock(mutex_);
    return entries_;
}

template <typename Call>
void SinkList::ForEach(const Entries& entries, StreamKind kind, Call call) {
    for (const auto& entry : entries) {
        if (!entry->removed && Takes(*entry, kind)) call(*entry);
    }
}

void SinkList::SendHeader(Entry& entry, StreamKind kind, const Stream& stream) {
    const std::vector<std::uint8_t>& header = stream.header;
    if (kind == StreamKind::Asf) {
        const StreamSettings& s = stream.settings;
        entry.sink->OnHeader(header.data(), header.size(), s.packetSize, s.keyStream);
    } else {
        entry.browser->OnRenditionHeader(header.data(), header.size());
    }
}

void SinkList::SendData(Entry& entry, StreamKind kind, const std::uint8_t* data, std::size_t size,
                        bool start) {
    if (kind == StreamKind::Asf)
        entry.sink->OnDataUnit(data, size);
    else
        entry.browser->OnRenditionCluster(data, size, start);
}

void SinkList::SendEnd(Entry& entry, StreamKind kind) {
    if (kind == StreamKind::Asf)
        entry.sink->OnEndWriting();
    else
        entry.browser->OnRenditionEnd();
}

HRESULT SinkList::Add(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard delivery(deliveryMutex_);
    auto entry = std::make_shared<Entry>();
    entry->sink = RefPtr<IWMWriterSink>(sink);
    IWMBrowserRenditionSink* browser = nullptr;
    if (SUCCEEDED(sink->QueryInterface(&browser)))
        entry->browser = RefPtr<IWMBrowserRenditionSink>::Adopt(browser);
    // What the sink starts with is copied under the list lock; the streams
    // cannot move on meanwhile, as their calls wait for deliveryMutex_.
    std::array<Stream, kKinds> running;
    {
        std::lock_guard lock(mutex_);
        for (const auto& existing : entries_) {
            if (existing->sink.Get() == sink) return E_INVALIDARG;
        }
        entries_.push_back(entry);
        for (StreamKind kind : kKindsInOrder) {
            const Stream& stream = StreamOf(kind);
            if (stream.running && Takes(*entry, kind))
                running[static_cast<std::size_t>(kind)] = stream;
        }
    }
    // A sink may remove itself from inside its first header.
    for (StreamKind kind : kKindsInOrder) {
        const Stream& stream = running[static_cast<std::size_t>(kind)];
        if (stream.running && !entry->removed) SendHeader(*entry, kind, stream);
    }
    return S_OK;
}

HRESULT SinkList::Remove(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<Entry> entry;
    std::array<bool, kKinds> running{};
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const auto& e) { return e->sink.Get() == sink; });
        if (it == entries_.end()) return E_INVALIDARG;
        entry = *it;
        entries_.erase(it);
        for (StreamKind kind : kKindsInOrder)
            running[static_cast<std::size_t>(kind)] = StreamOf(kind).running;
    }
    entry->removed = true;
    for (StreamKind kind : kKindsInOrder) {
        if (running[static_cast<std::size_t>(kind)] && Takes(*entry, kind)) SendEnd(*entry, kind);
    }
    return S_OK;
}

std::uint32_t SinkList::Count() {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(entries_.size());
}

void SinkList::Start(StreamKind kind, std::vector<std::uint8_t> header, StreamSettings settings) {
    std::lock_guard delivery(deliveryMutex_);
    Stream stream;
    stream.header = std::move(header);
    stream.settings = settings;
    stream.running = true;
    Entries entries;
    {
        std::lock_guard lock(mutex_);
        StreamOf(kind) = stream;
        entries = entries_;
    }
    ForEach(entries, kind, [&](Entry& e) { SendHeader(e, kind, stream); });
}

void SinkList::Deliver(StreamKind kind, const std::uint8_t* data, std::size_t size, bool start) {
    std::lock_guard delivery(deliveryMutex_);
    ForEach(Snapshot(), kind, [&](Entry& e) { SendData(e, kind, data, size, start); });
}

void SinkList::End(StreamKind kind) {
    std::lock_guard delivery(deliveryMutex_);
    Entries entries;
    {
        std::lock_guard lock(mutex_);
        Stream& stream = StreamOf(kind);
        if (!stream.running) return;
        stream = Stream{};
        entries = entries_;
    }
    ForEach(entries, kind, [&](Entry& e) { SendEnd(e, kind); });
}

void SinkList::Reset(StreamKind kind) {
    std::lock_guard delivery(deliveryMutex_);
    std::lock_guard lock(mutex_);
    StreamOf(kind) = Stream{};
}

// The two questions carry nothing in order, so they take no delivery lock.
bool SinkList::RenditionWanted() {
    for (const auto& entry : Snapshot()) {
        if (entry->browser && entry->browser->RenditionWanted()) return true;
    }
    return false;
}

bool SinkList::TakeKeyFrameRequest() {
    bool wanted = false;
    for (const auto& entry : Snapshot()) {
        if (entry->browser) wanted = entry->browser->TakeKeyFrameRequest() || wanted;
    }
    return wanted;
}

}  // namespace wmv
