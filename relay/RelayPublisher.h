#pragma once
// Publishing a broadcast to a relay: the writer's own samples, copied in as
// they are written, are encoded a second time (H.264 and AAC, see
// RelayEncoder) and sent as FLV over RTMP (see RtmpConnection) on a thread
// of the publisher's own. The capture and the local viewers never wait on
// it: samples go into a bounded queue that, when the relay falls behind,
// drops everything queued and starts again on a key frame, so only whole
// groups of pictures are lost. When the relay refuses, drops or freezes the
// connection the publisher closes it, waits 1, 2, 4 ... at most 30 s and
// connects again with a new header. Nothing is encoded while it is not
// connected.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/BroadcastOutput.h"
#include "relay/RelayEncoder.h"
#include "relay/SampleQueue.h"

namespace relay {

enum class PublishState {
    kOff,
    kConnecting,
    kPublishing,
    kReconnecting,
};

// A snapshot of the publisher for the status line.
struct PublishStatus {
    PublishState state = PublishState::kOff;
    int secondsToRetry = 0;  // while reconnecting
    std::string reason;      // why it is reconnecting, or why it is off
    std::int64_t droppedGroups = 0;
    std::int64_t picturesEncoded = 0;  // over every connection
    std::int64_t bytesSent = 0;        // over every connection
};

// "publishing", "connecting", "reconnecting in N s: reason", "off" or
// "off: reason".
std::string PublishStatusText(const PublishStatus& status);

// The wait before connection attempt number attempt (1 for the first retry):
// 1, 2, 4, 8, 16, 30, 30 ... seconds.
std::chrono::seconds ReconnectDelay(int attempt);

struct PublisherSettings {
    std::string url;  // with the stream key; never logged or shown
    MediaShape shape;
    // How long a connection and a single write may take.
    std::chrono::milliseconds connectDeadline{8000};
    std::chrono::milliseconds writeDeadline{4000};
    // The most that may wait in the queue, from its oldest sample to its
    // newest; more drops the whole queue.
    std::chrono::milliseconds queueLimit{2000};
    std::size_t queueBytesLimit = 64u << 20;
};

class RelayPublisher : public codec::BroadcastOutput {
  public:
    explicit RelayPublisher(PublisherSettings settings);
    // Stops publishing.
    ~RelayPublisher() override;
    RelayPublisher(const RelayPublisher&) = delete;
    RelayPublisher& operator=(const RelayPublisher&) = delete;

    // Starts the publisher's thread, which connects at once.
    void Start();
    // Closes the connection and ends the thread; every blocking step gives
    // way at once, so this returns within about half a second (a name
    // lookup in progress aside).
    void Stop();

    // The writer's samples, copied; never wait for the relay. time is the
    // sample's time in 100 ns units since the broadcast began. Pictures
    // come from the user-interface thread, sound from the audio thread.
    void PushVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time) override;
    void PushAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time) override;

    PublishStatus Status() const;

  private:
    void Run();
    // Publishes until the connection fails or the publisher stops; the
    // reason of the failure in reason.
    bool Publish(std::string* reason);
    void SetState(PublishState state, std::string reason, int secondsToRetry = 0);
    bool WaitForStop(std::chrono::milliseconds wait);

    const PublisherSettings settings_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    SampleQueue queue_{settings_.queueLimit, settings_.queueBytesLimit};

    mutable std::mutex lock_;
    std::condition_variable wake_;
    // Under lock_: the state and the figures.
    PublishStatus status_;
    std::chrono::steady_clock::time_point retryAt_{};
    std::int64_t bytesBefore_ = 0;
};

}  // namespace relay
