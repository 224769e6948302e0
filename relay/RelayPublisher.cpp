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

RelayPublisher::RelayPublisher(PublisherSettings settings) : settings_(std::move(settings)) {}

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
    queue_.Close();
    std::lock_guard guard(lock_);
    status_.state = PublishState::kOff;
    status_.reason.clear();
}

void RelayPublisher::PushVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time) {
    if (settings_.shape.width > 0) queue_.Push(true, bgr, length, time);
}

void RelayPublisher::PushAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time) {
    if (settings_.shape.sampleRate > 0) queue_.Push(false, pcm, length, time);
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
    RelayEncoder encoder;
    std::string error;
    if (!encoder.Open(settings_.shape, &error)) {
        *reason = "cannot encode for the relay: " + error;
        return false;
    }
    RtmpConnection connection(&stop_);
    if (!connection.Open(settings_.url, encoder.Video(), encoder.Audio(), settings_.connectDeadline,
                         reason))
        return false;
    queue_.Open();
    SetState(PublishState::kPublishing, std::string());

    const RelayEncoder::Output output = [&](AVPacket* packet, int stream) {
        return connection.Write(packet, stream, settings_.writeDeadline, reason);
    };
    // The connection's clock starts at its first picture (its first sound
    // when there are no pictures), which the encoder makes a key frame.
    std::int64_t origin = -1;
    SampleQueue::Sample sample;
    bool afterDrop = false;
    while (queue_.Take(&sample, &afterDrop, stop_)) {
        // Only whole groups of pictures were dropped: the next starts one.
        if (afterDrop) encoder.ForceKeyFrame();
        if (origin < 0) {
            if (encoder.Video() && !sample.video) continue;
            origin = sample.time;
        }
        const std::int64_t time = sample.time - origin;
        if (time < 0) continue;
        const bool sent =
            sample.video
                ? encoder.EncodeVideo(sample.bytes.data(), sample.bytes.size(), time, output)
                : encoder.EncodeAudio(sample.bytes.data(), sample.bytes.size(), time, output);
        {
            std::lock_guard guard(lock_);
            status_.bytesSent = bytesBefore_ + connection.BytesSent();
            if (sent && sample.video) ++status_.picturesEncoded;
        }
        if (!sent) {
            if (reason->empty()) *reason = "encoding for the relay failed";
            break;
        }
    }
    queue_.Close();
    std::lock_guard guard(lock_);
    bytesBefore_ += connection.BytesSent();
    status_.bytesSent = bytesBefore_;
    return true;
}

}  // namespace relay
