#pragma once
// Publishing a broadcast to a relay: the packets of the shared H.264 and AAC
// encode (see SharedEncode) are sent as FLV over RTMP (see RtmpConnection)
// on a thread of the publisher's own. The encode never waits on it: packets
// go into a bounded queue that, when the relay falls behind, drops
// everything queued and goes on at the next key frame, so only whole groups
// of pictures are lost. When the relay refuses, drops or freezes the
// connection the publisher closes it, waits 1, 2, 4 ... at most 30 s and
// connects again with a new header. The publisher takes part in the encode
// only while it is connecting or connected; each connection begins with a
// key frame and counts its time from there.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/SampleQueue.h"
#include "codec/SharedEncode.h"

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
    std::int64_t picturesEncoded = 0;  // pictures sent, over every connection
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
    // How long a connection and a single write may take.
    std::chrono::milliseconds connectDeadline{8000};
    std::chrono::milliseconds writeDeadline{4000};
    // The most that may wait in the queue, from its oldest sample to its
    // newest; more drops the whole queue.
    std::chrono::milliseconds queueLimit{2000};
    std::size_t queueBytesLimit = 64u << 20;
};

class RelayPublisher : private codec::EncodedSubscriber {
  public:
    // encode outlives the publisher.
    RelayPublisher(PublisherSettings settings, codec::SharedEncode& encode);
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

    PublishStatus Status() const;

  private:
    // The encode's calls, on its thread.
    void OnStreams(const codec::EncodedStreams& streams) override;
    void OnPacket(const AVPacket& packet, int stream) override;
    void OnFailed(const std::string& reason) override;

    void Run();
    // Publishes until the connection fails or the publisher stops; the
    // reason of the failure in reason.
    bool Publish(std::string* reason);
    void SetState(PublishState state, std::string reason, int secondsToRetry = 0);
    bool WaitForStop(std::chrono::milliseconds wait);

    // Leaves the encode and lets go of its packets.
    void LeaveEncode();

    const PublisherSettings settings_;
    codec::SharedEncode& encode_;
    std::thread thread_;
    std::atomic<bool> stop_{false};

    // The encode's packets, their times in 100 ns units.
    codec::SampleQueue queue_{settings_.queueLimit, settings_.queueBytesLimit};

    mutable std::mutex lock_;
    std::condition_variable wake_;
    // Under lock_: the state and the figures.
    PublishStatus status_;
    std::chrono::steady_clock::time_point retryAt_{};
    std::int64_t bytesBefore_ = 0;
    // Under lock_: the streams of the run joined (parameters copied on the
    // encode's thread), or why the encode failed.
    bool haveStreams_ = false;
    std::string encodeFailure_;
    ParametersPtr video_;
    ParametersPtr audio_;
    AVRational timeBase_[2] = {{1, 1000}, {1, 1000}};
    int audioStream_ = 0;
};

}  // namespace relay
