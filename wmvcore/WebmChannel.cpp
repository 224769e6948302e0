#include "wmvcore/WebmChannel.h"

#include <algorithm>
#include <new>

#include "wmvcore/wmvcore.h"

namespace wmv {
namespace {

// Clusters kept for viewers that are behind: a few seconds at the usual
// rates. A viewer further behind is dropped.
constexpr std::size_t kKeptBytes = 4 * 1024 * 1024;
constexpr std::size_t kKeptClusters = 2048;
constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round

}  // namespace

class WebmViewer final : public Viewer {
  public:
    explicit WebmViewer(WebmChannel& channel) : channel_(channel) {
        ++channel_.viewers_;
        channel_.keyWanted_ = true;
    }
    ~WebmViewer() override { --channel_.viewers_; }

    bool HasData() override {
        std::lock_guard lock(channel_.mutex_);
        if (waitingHeader_) return false;
        if (generation_ != channel_.generation_ || channel_.ended_) return true;
        return seq_ < channel_.head_;
    }

    void Pump(Connection& connection) override {
        if (!connection.SendOut()) return;
        // The stream ended and everything was sent.
        if (connection.closeAfterOut) return connection.Drop();
        bool drop = false;
        {
            std::lock_guard lock(channel_.mutex_);
            drop = Fill(connection);
        }
        if (drop) return connection.Drop();
        if (connection.SendOut() && connection.closeAfterOut) connection.Drop();
    }

  private:
    // Puts what the viewer is due into its output, under the channel's lock.
    // True when the viewer is to be dropped.
    bool Fill(Connection& connection) {
        WebmChannel& c = channel_;
        if (waitingHeader_) {
            if (!c.haveHeader_ || c.ended_) return false;
            connection.out.append(reinterpret_cast<const char*>(c.header_.data()),
                                  c.header_.size());
            generation_ = c.generation_;
            waitingHeader_ = false;
            seq_ = c.head_;
        }
        // A rendition that ended or started anew: this stream is over.
        if (generation_ != c.generation_) return true;
        if (seq_ < c.firstSeq_) return true;  // fell behind what is kept
        if (waitingStart_) {
            while (seq_ < c.head_ && !c.clusters_[seq_ - c.firstSeq_].start) ++seq_;
            if (seq_ == c.head_) return c.ended_;
            waitingStart_ = false;
        }
        std::size_t budget = kSendBudget;
        while (seq_ < c.head_ && budget > 0) {
            const auto& bytes = c.clusters_[seq_ - c.firstSeq_].bytes;
            connection.out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            budget -= std::min(budget, bytes.size());
            ++seq_;
        }
        if (c.ended_ && seq_ == c.head_) connection.closeAfterOut = true;
        return false;
    }

    WebmChannel& channel_;
    bool waitingHeader_ = true;
    bool waitingStart_ = true;
    std::uint64_t generation_ = 0;
    std::uint64_t seq_ = 0;
};

HRESULT WebmChannel::OnHeader(const std::uint8_t* header, std::size_t size) {
    if (!header || size == 0) return E_INVALIDARG;
    std::lock_guard lock(mutex_);
    try {
        header_.assign(header, header + size);
    } catch (const std::bad_alloc&) {
        haveHeader_ = false;
        return E_OUTOFMEMORY;
    }
    for (auto& cluster : clusters_) spare_.push_back(std::move(cluster.bytes));
    clusters_.clear();
    bytes_ = 0;
    firstSeq_ = head_;
    haveHeader_ = true;
    ended_ = false;
    ++generation_;
    return S_OK;
}

HRESULT WebmChannel::OnCluster(const std::uint8_t* cluster, std::size_t size, bool start) {
    if (!cluster) return E_POINTER;
    std::lock_guard lock(mutex_);
    if (!haveHeader_ || ended_ || size == 0) return E_INVALIDARG;
    while (!clusters_.empty() &&
           (bytes_ + size > kKeptBytes || clusters_.size() >= kKeptClusters)) {
        bytes_ -= clusters_.front().bytes.size();
        if (spare_.size() < 64) spare_.push_back(std::move(clusters_.front().bytes));
        clusters_.pop_front();
        ++firstSeq_;
    }
    Cluster entry;
    if (!spare_.empty()) {
        entry.bytes = std::move(spare_.back());
        spare_.pop_back();
    }
    try {
        entry.bytes.assign(cluster, cluster + size);
        clusters_.push_back(std::move(entry));
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    clusters_.back().start = start;
    bytes_ += size;
    ++head_;
    return S_OK;
}

HRESULT WebmChannel::OnEnd() {
    std::lock_guard lock(mutex_);
    if (!haveHeader_ || ended_) return S_FALSE;
    ended_ = true;
    return S_OK;
}

std::unique_ptr<Viewer> WebmChannel::NewViewer() {
    return std::make_unique<WebmViewer>(*this);
}

}  // namespace wmv
