#include "wmvcore/QueueViewer.h"

namespace wmv {
namespace {

constexpr std::size_t kSendBudget = 256 * 1024;  // bytes per viewer per round

}  // namespace

QueueViewer::QueueViewer(LiveQueue& queue, std::function<void()> gone)
    : reader_(queue), header_(reader_.TakeHeader()), gone_(std::move(gone)) {}

QueueViewer::~QueueViewer() {
    if (gone_) gone_();
}

void QueueViewer::Pump(Connection& connection) {
    if (!connection.SendOut()) return;
    // The stream ended and everything was sent.
    if (connection.closeAfterOut) return connection.Drop();
    if (Fill(connection)) return connection.Drop();
    if (connection.SendOut() && connection.closeAfterOut) connection.Drop();
}

bool QueueViewer::Fill(Connection& connection) {
    if (!reader_.HasHeader()) header_ = reader_.TakeHeader();
    if (header_) {
        connection.out.append(reinterpret_cast<const char*>(header_->data()), header_->size());
        header_.reset();
    }
    if (!reader_.HasHeader()) return false;
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
        const std::span<const std::uint8_t> unit = reader_.Unit(i);
        connection.out.append(reinterpret_cast<const char*>(unit.data()), unit.size());
    }
    reader_.Advance(reader_.Taken());
    if (reader_.AtEnd()) connection.closeAfterOut = true;
    return false;
}

}  // namespace wmv
