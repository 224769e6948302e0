#include "wmvcore/SinkList.h"

#include <algorithm>

namespace wmv {

SinkList::Entries SinkList::Snapshot() {
    std::lock_guard lock(mutex_);
    return entries_;
}

template <typename Call>
void SinkList::ForEach(const Entries& entries, Call call) {
    for (const auto& entry : entries) {
        if (!entry->removed) call(*entry);
    }
}

HRESULT SinkList::Add(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard delivery(deliveryMutex_);
    auto entry = std::make_shared<Entry>();
    entry->sink = RefPtr<IWMWriterSink>(sink);
    IWMBrowserRenditionSink* browser = nullptr;
    if (SUCCEEDED(sink->QueryInterface(&browser)))
        entry->browser = RefPtr<IWMBrowserRenditionSink>::Adopt(browser);
    // What the sink starts with is copied under the list lock; the stream
    // cannot move on meanwhile, as its calls wait for deliveryMutex_.
    std::vector<std::uint8_t> header, renditionHeader;
    bool headerReady = false, renditionRunning = false;
    std::uint32_t packetSize = 0, bitsPerSecond = 0;
    std::uint16_t keyStream = 0;
    {
        std::lock_guard lock(mutex_);
        for (const auto& existing : entries_) {
            if (existing->sink.Get() == sink) return E_INVALIDARG;
        }
        entries_.push_back(entry);
        headerReady = headerReady_;
        if (headerReady) header = header_;
        packetSize = packetSize_;
        keyStream = keyStream_;
        bitsPerSecond = bitsPerSecond_;
        renditionRunning = renditionRunning_ && entry->browser;
        if (renditionRunning) renditionHeader = renditionHeader_;
    }
    if (headerReady)
        sink->OnHeader(header.data(), header.size(), packetSize, keyStream, bitsPerSecond);
    if (renditionRunning && !entry->removed)
        entry->browser->OnRenditionHeader(renditionHeader.data(), renditionHeader.size());
    return S_OK;
}

HRESULT SinkList::Remove(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard delivery(deliveryMutex_);
    std::shared_ptr<Entry> entry;
    bool headerReady = false, renditionRunning = false;
    {
        std::lock_guard lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [&](const auto& e) { return e->sink.Get() == sink; });
        if (it == entries_.end()) return E_INVALIDARG;
        entry = *it;
        entries_.erase(it);
        headerReady = headerReady_;
        renditionRunning = renditionRunning_;
    }
    entry->removed = true;
    if (headerReady) sink->OnEndWriting();
    if (renditionRunning && entry->browser) entry->browser->OnRenditionEnd();
    return S_OK;
}

std::uint32_t SinkList::Count() {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(entries_.size());
}

void SinkList::Start(std::vector<std::uint8_t> header, std::uint32_t packetSize,
                     std::uint16_t keyStream, std::uint32_t bitsPerSecond) {
    std::lock_guard delivery(deliveryMutex_);
    Entries entries;
    {
        std::lock_guard lock(mutex_);
        header_ = header;
        packetSize_ = packetSize;
        keyStream_ = keyStream;
        bitsPerSecond_ = bitsPerSecond;
        headerReady_ = true;
        entries = entries_;
    }
    ForEach(entries, [&](Entry& e) {
        e.sink->OnHeader(header.data(), header.size(), packetSize, keyStream, bitsPerSecond);
    });
}

void SinkList::Deliver(const std::uint8_t* packets, std::size_t size) {
    std::lock_guard delivery(deliveryMutex_);
    ForEach(Snapshot(), [&](Entry& e) { e.sink->OnDataUnit(packets, size); });
}

void SinkList::End() {
    std::lock_guard delivery(deliveryMutex_);
    ForEach(Snapshot(), [&](Entry& e) { e.sink->OnEndWriting(); });
}

void SinkList::Reset() {
    std::lock_guard delivery(deliveryMutex_);
    std::lock_guard lock(mutex_);
    headerReady_ = false;
    header_.clear();
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

void SinkList::RenditionStart(std::vector<std::uint8_t> header) {
    std::lock_guard delivery(deliveryMutex_);
    Entries entries;
    {
        std::lock_guard lock(mutex_);
        renditionHeader_ = header;
        renditionRunning_ = true;
        entries = entries_;
    }
    ForEach(entries, [&](Entry& e) {
        if (e.browser) e.browser->OnRenditionHeader(header.data(), header.size());
    });
}

void SinkList::RenditionCluster(const std::uint8_t* cluster, std::size_t size, bool start) {
    std::lock_guard delivery(deliveryMutex_);
    ForEach(Snapshot(), [&](Entry& e) {
        if (e.browser) e.browser->OnRenditionCluster(cluster, size, start);
    });
}

void SinkList::RenditionEnd() {
    std::lock_guard delivery(deliveryMutex_);
    Entries entries;
    {
        std::lock_guard lock(mutex_);
        if (!renditionRunning_) return;
        renditionRunning_ = false;
        renditionHeader_.clear();
        entries = entries_;
    }
    ForEach(entries, [&](Entry& e) {
        if (e.browser) e.browser->OnRenditionEnd();
    });
}

}  // namespace wmv
