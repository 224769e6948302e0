#include "wmvcore/WebmChannel.h"

#include "wmvcore/QueueViewer.h"
#include "wmvcore/wmvcore.h"

namespace wmv {
namespace {

// Clusters kept for viewers that are behind: a few seconds at the usual
// rates. A viewer further behind is dropped.
constexpr LiveQueue::Limits kKept{2048, 4 * 1024 * 1024};

}  // namespace

HRESULT WebmChannel::OnHeader(const std::uint8_t* header, std::size_t size) {
    return queue_.Begin(header, size, kKept, LiveQueue::JoinPolicy::NextStart);
}

HRESULT WebmChannel::OnCluster(const std::uint8_t* cluster, std::size_t size, bool start) {
    return queue_.Push(cluster, size, start);
}

HRESULT WebmChannel::OnEnd() {
    return queue_.End();
}

std::unique_ptr<Viewer> WebmChannel::NewViewer() {
    auto viewer = std::make_unique<QueueViewer>(queue_);
    keyWanted_ = true;
    return viewer;
}

}  // namespace wmv
