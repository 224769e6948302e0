#pragma once
// The fragmented MP4 as the stream server hands it out. While a viewer is
// connected the channel takes part in the shared H.264 and AAC encode and
// muxes its packets (see Mp4Muxer) into a live queue shared by all MP4
// viewers; when the last one goes it leaves the encode and its stream ends.
// A viewer that joins gets the init segment and then starts at the next
// fragment that holds a key frame, which it asks the encode for, so it
// waits at most a frame. A viewer that falls behind the kept fragments is
// dropped.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

#include "codec/SharedEncode.h"
#include "wmvcore/LiveQueue.h"
#include "wmvcore/Mp4Muxer.h"
#include "wmvcore/StreamServer.h"

namespace wmv {

class Mp4Channel final : private codec::EncodedSubscriber {
  public:
    // wake(once): the server has something new to send (once: for one
    // round only).
    explicit Mp4Channel(std::function<void(bool once)> wake) : wake_(std::move(wake)) {}
    // The server that serves the viewers has stopped (its viewers are gone).
    ~Mp4Channel() override;
    Mp4Channel(const Mp4Channel&) = delete;
    Mp4Channel& operator=(const Mp4Channel&) = delete;

    // Once, from any thread; it outlives the channel. Until then there is
    // nothing to watch.
    void SetSource(codec::EncodedSource* source) { source_ = source; }
    bool HasSource() const { return source_ != nullptr; }

    // A new MP4 viewer (server thread), or null without a source.
    std::unique_ptr<Viewer> NewViewer();

  private:
    // The encode's calls, on its thread.
    void OnStreams(const codec::EncodedStreams& streams) override;
    void OnPacket(const AVPacket& packet, int stream) override;
    void OnFailed(const std::string& reason) override;
    // A viewer went (server thread).
    void ViewerGone();
    // The muxer failed (the encode's thread): the stream ends, and the next
    // viewer joins the encode anew.
    void Broken(const std::string& reason);

    std::function<void(bool)> wake_;
    std::atomic<codec::EncodedSource*> source_{nullptr};
    LiveQueue queue_{LiveQueue::LagPolicy::Drop};
    // Server thread: viewers connected; and whether the channel takes part
    // in the encode (set off by the encode's thread when it failed).
    int viewers_ = 0;
    std::atomic<bool> joined_{false};
    // Set by the encode's thread when the muxer failed: the next viewer
    // joins the encode anew, for fresh streams.
    std::atomic<bool> broken_{false};
    Mp4Muxer muxer_;                      // the encode's thread only
    bool muxing_ = false;                 // the encode's thread only
    std::vector<std::uint8_t> fragment_;  // the encode's thread only
};

}  // namespace wmv
