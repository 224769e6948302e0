#include "wmvcore/Mp4Channel.h"

#include <cstdio>

#include "wmvcore/QueueViewer.h"

namespace wmv {
namespace {

// Fragments kept for viewers that are behind: a few seconds at the usual
// rates (a fragment for each picture and each sound frame). A viewer
// further behind is dropped.
constexpr LiveQueue::Limits kKept{4096, 4 * 1024 * 1024};

}  // namespace

Mp4Channel::~Mp4Channel() {
    if (joined_.exchange(false)) source_.load()->Leave(this);
}

std::unique_ptr<Viewer> Mp4Channel::NewViewer() {
    codec::EncodedSource* source = source_;
    if (!source) return nullptr;
    // The place first, then the ask (see QueueViewer).
    auto viewer = std::make_unique<QueueViewer>(queue_, [this] { ViewerGone(); });
    ++viewers_;
    if (broken_.exchange(false) && joined_.exchange(false)) source->Leave(this);
    if (!joined_.exchange(true)) {
        source->Join(this);
    } else {
        source->RequestKeyFrame();
    }
    return viewer;
}

void Mp4Channel::ViewerGone() {
    if (--viewers_ > 0) return;
    // The last one: nothing more is encoded for the channel.
    if (joined_.exchange(false)) source_.load()->Leave(this);
    if (queue_.End() == S_OK) wake_(false);
}

void Mp4Channel::OnStreams(const codec::EncodedStreams& streams) {
    std::vector<std::uint8_t> init;
    std::string error;
    muxing_ = muxer_.Open(streams, &init, &error);
    if (!muxing_) return Broken(error);
    if (SUCCEEDED(queue_.Begin(init.data(), init.size(), kKept, LiveQueue::JoinPolicy::NextStart)))
        wake_(false);
}

void Mp4Channel::OnPacket(const AVPacket& packet, int stream) {
    if (!muxing_) return;
    if (muxer_.Write(packet, stream) && muxer_.Flush(&fragment_)) {
        if (!fragment_.empty() && SUCCEEDED(queue_.Push(fragment_.data(), fragment_.size(),
                                                        muxer_.IsKeyPicture(packet, stream))))
            wake_(true);
        return;
    }
    muxing_ = false;
    Broken("the muxer refused a packet");
}

void Mp4Channel::Broken(const std::string& reason) {
    std::fprintf(stderr, "libwmvcore: the MP4 stream: %s\n", reason.c_str());
    broken_ = true;
    if (queue_.End() == S_OK) wake_(false);
}

void Mp4Channel::OnFailed(const std::string& reason) {
    // The encode has let the channel go.
    joined_ = false;
    muxing_ = false;
    Broken(reason);
}

}  // namespace wmv
