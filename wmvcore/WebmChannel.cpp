#include "wmvcore/WebmChannel.h"

#include "wmvcore/wmvcore.h"

namespace wmv {
namespace {

// Clusters kept for viewers that are behind: a few seconds at the usual
// rates. A viewer further behind is dropped.
constexpr LiveQueue::Limits kKept{2048, 4 * 1024 * 1024};
constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round

}  // namespace

class WebmViewer final : public Viewer {
  public:
    explicit WebmViewer(WebmChannel& channel) : reader_(channel.queue_) {
        channel.keyWanted_ = true;
    }

    bool HasData() override { return reader_.HasData(); }

    void Pump(Connection& connection) override {
        if (!connection.SendOut()) return;
        // The stream ended and everything was sent.
        if (connection.closeAfterOut) return connection.Drop();
        if (Fill(connection)) return connection.Drop();
        if (connection.SendOut() && connection.closeAfterOut) connection.Drop();
    }

  private:
    // Puts what the viewer is due into its output. True when the viewer is
    // to be dropped.
    bool Fill(Connection& connection) {
        if (!reader_.HasHeader()) {
            const auto header = reader_.TakeHeader();
            if (!header) return false;
            connection.out.append(reinterpret_cast<const char*>(header->data()), header->size());
        }
        switch (reader_.Next(SIZE_MAX, kSendBudget)) {
            case LiveQueue::Step::Wait:
                return false;
            case LiveQueue::Step::Drop:
                return true;
            case LiveQueue::Step::End:
                connection.closeAfterOut = true;
                return false;
            case LiveQueue::Step::Start:
            case LiveQueue::Step::Units:
                break;
        }
        for (std::size_t i = 0; i < reader_.Taken(); ++i) {
            const std::span<const std::uint8_t> cluster = reader_.Unit(i);
            connection.out.append(reinterpret_cast<const char*>(cluster.data()), cluster.size());
        }
        reader_.Advance(reader_.Taken());
        if (reader_.AtEnd()) connection.closeAfterOut = true;
        return false;
    }

    LiveQueue::Reader reader_;
};

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
    return std::make_unique<WebmViewer>(*this);
}

}  // namespace wmv
