#include "relay/RelayPublisher.h"

#include <algorithm>

#include "relay/RtmpConnection.h"

namespace relay {

std::string PublishStatusText(const PublishStatus& status) {
    switch (status.state) {
        case PublishState::kPublishing:
            return "publishing";
        case PublishState::kConnecting:
            return "connecting";
        case PublishState::kReconnecting:
            return "reconnecting in " + std::to_string(status.secondsToRetry) +
                   " s: " + status.reason;
        case PublishState::kOff:
            break;
    }
    return status.reason.empty() ? "off" : "off: " + status.reason;
}

std::chrono::seconds ReconnectDelay(int attempt) {
    if (attempt <= 1) return std::chrono::seconds(1);
    if (attempt > 5) return std::chrono::seconds(30);
    return std::chrono::seconds(std::min(1 << (attempt - 1), 30));
}

RelayPublisher::RelayPublisher(PublisherSettings settings, codec::SharedEncode& encode)
    : settings_(std::move(settings)), encode_(encode) {}

RelayPublisher::~RelayPublisher() {
    Stop();
}

void RelayPublisher::Start() {
    if (thread_.joinable()) return;
    stop_ = false;
    SetState(PublishState::kConnecting, std::string());
    thread_ = std::thread([this] { Run(); });
}

void RelayPublisher::Stop() {
    {
        std::lock_guard guard(lock_);
        stop_ = true;
    }
    wake_.notify_all();
    queue_.Wake();
    if (thread_.joinable()) thread_.join();
    LeaveEncode();
    std::lock_guard guard(lock_);
    status_.state = PublishState::kOff;
    status_.reason.clear();
}

void RelayPublisher::OnStreams(const codec::EncodedStreams& streams) {
    ParametersPtr video, audio;
    const auto copy = [](const AVCodecContext* codec, ParametersPtr* to) {
        if (!codec) return true;
        to->reset(avcodec_parameters_alloc());
        return *to && avcodec_parameters_from_context(to->get(), codec) >= 0;
    };
    const bool copied = copy(streams.video, &video) && copy(streams.audio, &audio);
    {
        std::lock_guard guard(lock_);
        if (!copied) {
            encodeFailure_ = "out of memory";
        } else {
            video_ = std::move(video);
            audio_ = std::move(audio);
            if (streams.video) timeBase_[0] = streams.video->time_base;
            if (streams.audio) timeBase_[streams.audioStream] = streams.audio->time_base;
            audioStream_ = streams.audioStream;
            haveStreams_ = true;
        }
    }
    wake_.notify_all();
}

void RelayPublisher::OnPacket(const AVPacket& packet, int stream) {
    if (stream < 0 || stream > 1 || packet.size <= 0) return;
    codec::SampleQueue::Sample sample;
    sample.video = stream == 0 && video_;
    sample.key = packet.flags & AV_PKT_FLAG_KEY;
    constexpr AVRational kTicks{1, 10000000};
    sample.time = av_rescale_q(packet.pts, timeBase_[stream], kTicks);
    sample.decodeTime = av_rescale_q(packet.dts, timeBase_[stream], kTicks);
    sample.bytes.assign(packet.data, packet.data + packet.size);
    queue_.Push(std::move(sample));
}

void RelayPublisher::OnFailed(const std::string& reason) {
    {
        std::lock_guard guard(lock_);
        encodeFailure_ = reason;
    }
    wake_.notify_all();
    queue_.Wake();
}

void RelayPublisher::LeaveEncode() {
    encode_.Leave(this);
    queue_.Close();
}

PublishStatus RelayPublisher::Status() const {
    std::lock_guard guard(lock_);
    PublishStatus status = status_;
    status.droppedGroups = queue_.DroppedGroups();
    if (status.state == PublishState::kReconnecting) {
        const auto left = retryAt_ - std::chrono::steady_clock::now();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
        status.secondsToRetry = static_cast<int>(std::max<std::int64_t>((ms + 999) / 1000, 0));
    }
    return status;
}

void RelayPublisher::SetState(PublishState state, std::string reason, int secondsToRetry) {
    std::lock_guard guard(lock_);
    status_.state = state;
    status_.reason = std::move(reason);
    status_.secondsToRetry = secondsToRetry;
    if (state == PublishState::kReconnecting)
        retryAt_ = std::chrono::steady_clock::now() + std::chrono::seconds(secondsToRetry);
}

bool RelayPublisher::WaitForStop(std::chrono::milliseconds wait) {
    std::unique_lock guard(lock_);
    return wake_.wait_for(guard, wait, [this] { return stop_.load(); });
}

void RelayPublisher::Run() {
    int attempt = 0;
    while (!stop_) {
        std::string reason;
        const bool connected = Publish(&reason);
        if (stop_) break;
        // A connection that got as far as publishing starts the back-off anew.
        attempt = connected ? 1 : attempt + 1;
        const std::chrono::seconds delay = ReconnectDelay(attempt);
        SetState(PublishState::kReconnecting, reason, static_cast<int>(delay.count()));
        if (WaitForStop(delay)) break;
        SetState(PublishState::kConnecting, std::string());
    }
}

bool RelayPublisher::Publish(std::string* reason) {
    {
        std::lock_guard guard(lock_);
        haveStreams_ = false;
        encodeFailure_.clear();
        video_.reset();
        audio_.reset();
    }
    queue_.Open();
    encode_.Join(this);
    RtmpConnection::Stream video, audio;
    {
        std::unique_lock guard(lock_);
        wake_.wait(guard, [&] { return stop_ || haveStreams_ || !encodeFailure_.empty(); });
        if (!encodeFailure_.empty() || stop_) {
            *reason = stop_ ? "stopped" : "cannot encode for the relay: " + encodeFailure_;
            guard.unlock();
            LeaveEncode();
            return false;
        }
        video = {video_.get(), timeBase_[0]};
        audio = {audio_.get(), timeBase_[audioStream_]};
    }
    RtmpConnection connection(&stop_);
    if (!connection.Open(settings_.url, video, audio, settings_.connectDeadline, reason)) {
        LeaveEncode();
        return false;
    }
    SetState(PublishState::kPublishing, std::string());

    // The connection's clock starts at its first picture (its first sound
    // when there are no pictures), a key frame; after a drop it goes on at
    // the next key frame.
    std::int64_t origin = -1;
    bool waitForKey = true;
    codec::SampleQueue::Sample sample;
    bool afterDrop = false;
    PacketPtr packet(av_packet_alloc());
    if (!packet) *reason = "out of memory";
    while (packet && queue_.Take(&sample, &afterDrop, stop_)) {
        {
            std::lock_guard guard(lock_);
            if (!encodeFailure_.empty()) {
                *reason = "encoding for the relay failed: " + encodeFailure_;
                break;
            }
        }
        if (afterDrop) {
            waitForKey = true;
            encode_.RequestKeyFrame();
        }
        if (waitForKey) {
            if (video.parameters && !(sample.video && sample.key)) continue;
            waitForKey = false;
        }
        if (origin < 0) origin = sample.time;
        const int stream = sample.video ? 0 : audioStream_;
        constexpr AVRational kTicks{1, 10000000};
        const std::int64_t pts = av_rescale_q(sample.time - origin, kTicks, timeBase_[stream]);
        const std::int64_t dts =
            av_rescale_q(sample.decodeTime - origin, kTicks, timeBase_[stream]);
        // Sound from before the connection's first picture has no place in it.
        if (dts < 0) continue;
        av_packet_unref(packet.get());
        packet->data = sample.bytes.data();
        packet->size = static_cast<int>(sample.bytes.size());
        packet->pts = pts;
        packet->dts = dts;
        packet->flags = sample.key ? AV_PKT_FLAG_KEY : 0;
        const bool sent = connection.Write(packet.get(), stream, settings_.writeDeadline, reason);
        packet->data = nullptr;
        packet->size = 0;
        {
            std::lock_guard guard(lock_);
            status_.bytesSent = bytesBefore_ + connection.BytesSent();
            if (sent && sample.video) ++status_.picturesEncoded;
        }
        if (!sent) {
            if (reason->empty()) *reason = "sending to the relay failed";
            break;
        }
    }
    LeaveEncode();
    std::lock_guard guard(lock_);
    bytesBefore_ += connection.BytesSent();
    status_.bytesSent = bytesBefore_;
    return true;
}

}  // namespace relay
