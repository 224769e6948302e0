#include "platform/wmvcore/SinkList.h"

#include <algorithm>

namespace wmv {

HRESULT SinkList::Add(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard lock(mutex_);
    for (const auto& existing : sinks_) {
        if (existing.Get() == sink) return E_INVALIDARG;
    }
    sinks_.emplace_back(sink);
    if (headerReady_)
        sink->OnHeader(header_.data(), header_.size(), packetSize_, keyStream_, bitsPerSecond_);
    IWMBrowserRenditionSink* browser = nullptr;
    if (SUCCEEDED(sink->QueryInterface(&browser))) {
        browsers_.push_back({sink, RefPtr<IWMBrowserRenditionSink>::Adopt(browser)});
        if (renditionRunning_)
            browser->OnRenditionHeader(renditionHeader_.data(), renditionHeader_.size());
    }
    return S_OK;
}

HRESULT SinkList::Remove(IWMWriterSink* sink) {
    if (!sink) return E_POINTER;
    std::lock_guard lock(mutex_);
    auto it =
        std::find_if(sinks_.begin(), sinks_.end(), [&](const auto& s) { return s.Get() == sink; });
    if (it == sinks_.end()) return E_INVALIDARG;
    if (headerReady_) sink->OnEndWriting();
    sinks_.erase(it);
    auto browser = std::find_if(browsers_.begin(), browsers_.end(),
                                [&](const Browser& b) { return b.sink == sink; });
    if (browser != browsers_.end()) {
        if (renditionRunning_) browser->rendition->OnRenditionEnd();
        browsers_.erase(browser);
    }
    return S_OK;
}

std::uint32_t SinkList::Count() {
    std::lock_guard lock(mutex_);
    return static_cast<std::uint32_t>(sinks_.size());
}

void SinkList::Start(std::vector<std::uint8_t> header, std::uint32_t packetSize,
                     std::uint16_t keyStream, std::uint32_t bitsPerSecond) {
    std::lock_guard lock(mutex_);
    header_ = std::move(header);
    packetSize_ = packetSize;
    keyStream_ = keyStream;
    bitsPerSecond_ = bitsPerSecond;
    headerReady_ = true;
    for (const auto& sink : sinks_)
        sink->OnHeader(header_.data(), header_.size(), packetSize_, keyStream_, bitsPerSecond_);
}

void SinkList::Deliver(const std::uint8_t* packets, std::size_t size) {
    std::lock_guard lock(mutex_);
    for (const auto& sink : sinks_) sink->OnDataUnit(packets, size);
}

void SinkList::End() {
    std::lock_guard lock(mutex_);
    for (const auto& sink : sinks_) sink->OnEndWriting();
}

void SinkList::Reset() {
    std::lock_guard lock(mutex_);
    headerReady_ = false;
    header_.clear();
}

bool SinkList::RenditionWanted() {
    std::lock_guard lock(mutex_);
    for (const auto& browser : browsers_) {
        if (browser.rendition->RenditionWanted()) return true;
    }
    return false;
}

bool SinkList::TakeKeyFrameRequest() {
    std::lock_guard lock(mutex_);
    bool wanted = false;
    for (const auto& browser : browsers_)
        wanted = browser.rendition->TakeKeyFrameRequest() || wanted;
    return wanted;
}

void SinkList::RenditionStart(std::vector<std::uint8_t> header) {
    std::lock_guard lock(mutex_);
    renditionHeader_ = std::move(header);
    renditionRunning_ = true;
    for (const auto& browser : browsers_)
        browser.rendition->OnRenditionHeader(renditionHeader_.data(), renditionHeader_.size());
}

void SinkList::RenditionCluster(const std::uint8_t* cluster, std::size_t size, bool start) {
    std::lock_guard lock(mutex_);
    for (const auto& browser : browsers_)
        browser.rendition->OnRenditionCluster(cluster, size, start);
}

void SinkList::RenditionEnd() {
    std::lock_guard lock(mutex_);
    if (!renditionRunning_) return;
    renditionRunning_ = false;
    renditionHeader_.clear();
    for (const auto& browser : browsers_) browser.rendition->OnRenditionEnd();
}

}  // namespace wmv
