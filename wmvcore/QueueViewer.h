#pragma once
// A viewer served from a live queue of whole units that a browser takes as
// they come (WebM clusters, MP4 fragments): the header, then the units from
// where the queue's join policy puts it. A viewer that falls behind the
// units kept is dropped, so a slow browser costs nobody else anything.

#include <functional>
#include <memory>
#include <vector>

#include "wmvcore/LiveQueue.h"
#include "wmvcore/StreamServer.h"

namespace wmv {

class QueueViewer final : public Viewer {
  public:
    // The viewer takes its place in the queue here, so a channel asks the
    // writer for a key frame only after making one: an answer pushed before
    // the place was taken would be missed for a whole spacing of scheduled
    // key frames. gone, if given, is called as the viewer goes.
    explicit QueueViewer(LiveQueue& queue, std::function<void()> gone = {});
    ~QueueViewer() override;

    bool HasData() override { return reader_.HasData(); }
    void Pump(Connection& connection) override;

  private:
    // Puts what the viewer is due into its output. True when the viewer is
    // to be dropped.
    bool Fill(Connection& connection);

    LiveQueue::Reader reader_;
    std::shared_ptr<const std::vector<std::uint8_t>> header_;  // taken, not yet sent
    std::function<void()> gone_;
};

}  // namespace wmv
