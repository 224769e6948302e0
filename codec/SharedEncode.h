#pragma once
// One H.264 and AAC encode of the broadcast for every output that wants it
// (the relay publisher, the fragmented MP4 viewers), made only while one
// does. The writer's samples, copied in as they come, wait in a bounded
// queue (see SampleQueue) for the encode's own thread, which hands each
// packet to every subscriber. A subscriber is told the encoders' streams as
// soon as it joins (before any sample has come, so that a relay connection
// can be opened with them), and its packets begin with a key frame: one that
// joins a running encode has the next picture made a key frame for it. When
// the last subscriber leaves, the queue closes and the encoders go; the next
// one starts a new run with fresh encoders and a clock that starts at its
// first picture.
//
// Subscribers are called on the encode's thread, one packet after another;
// they must not wait there, nor subscribe or leave from within a call.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/AvcAacEncoder.h"
#include "codec/BroadcastOutput.h"
#include "codec/SampleQueue.h"

namespace codec {

// What a subscriber's packets are: the encoders (for their parameters and
// time bases) and the stream numbers of their packets.
struct EncodedStreams {
    const AVCodecContext* video = nullptr;  // null without pictures
    const AVCodecContext* audio = nullptr;  // null without sound
    int audioStream = 0;                    // 0 without pictures, else 1
};

class EncodedSubscriber {
  public:
    virtual ~EncodedSubscriber() = default;
    // The streams of the run the subscriber joins, before its first packet,
    // which is a key frame (the first sound where there are no pictures).
    virtual void OnStreams(const EncodedStreams& streams) = 0;
    // One packet of stream (0 pictures where there are any), in its codec's
    // time base, counted from the run's start.
    virtual void OnPacket(const AVPacket& packet, int stream) = 0;
    // The encode failed; nothing more comes until the subscriber joins
    // again (it has been let go).
    virtual void OnFailed(const std::string& reason) = 0;
};

// Where subscribers join an encode: an interface of its own, so that a
// library that only takes part (the stream runtime's fragmented MP4
// viewers) calls nothing of the encode's own code.
class EncodedSource {
  public:
    virtual ~EncodedSource() = default;
    // From any thread but the encode's. Leave returns once no call into the
    // subscriber is in progress.
    virtual void Join(EncodedSubscriber* subscriber) = 0;
    virtual void Leave(EncodedSubscriber* subscriber) = 0;
    // The next picture becomes a key frame (a subscriber lost packets, or a
    // viewer of its own came).
    virtual void RequestKeyFrame() = 0;
};

class SharedEncode : public BroadcastOutput, public EncodedSource {
  public:
    explicit SharedEncode(MediaShape shape,
                          std::chrono::milliseconds queueLimit = std::chrono::milliseconds(2000),
                          std::size_t queueBytesLimit = 64u << 20);
    ~SharedEncode() override;
    SharedEncode(const SharedEncode&) = delete;
    SharedEncode& operator=(const SharedEncode&) = delete;

    const MediaShape& Shape() const { return shape_; }

    void Join(EncodedSubscriber* subscriber) override;
    void Leave(EncodedSubscriber* subscriber) override;
    void RequestKeyFrame() override { keyWanted_ = true; }

    void PushVideo(const std::uint8_t* bgr, std::size_t length, std::int64_t time) override;
    void PushAudio(const std::uint8_t* pcm, std::size_t length, std::int64_t time) override;

    // Pictures encoded over every run, and groups of pictures the queue
    // dropped because the encode was behind.
    std::int64_t PicturesEncoded() const { return picturesEncoded_; }
    std::int64_t DroppedGroups() const { return queue_.DroppedGroups(); }

  private:
    struct Entry {
        EncodedSubscriber* subscriber = nullptr;
        bool told = false;   // has had the streams
        bool begun = false;  // and a key frame
    };

    void Run();
    // Looks at who joined and left: the run's encoders made or let go, the
    // newcomers told the streams.
    void Attend();
    // Opens fresh encoders for a new run; false (subscribers told) on failure.
    bool OpenRun();
    void Encode(const SampleQueue::Sample& sample);
    void Deliver(AVPacket* packet, int stream);
    void Fail(const std::string& reason);

    const MediaShape shape_;
    SampleQueue queue_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    // Set by Join and the destructor: the thread looks before it takes on.
    std::atomic<bool> attention_{false};
    std::atomic<bool> keyWanted_{false};
    std::atomic<std::int64_t> picturesEncoded_{0};

    // Held by the encode's thread while it calls subscribers, and by Leave.
    std::mutex deliveryLock_;
    // Under lock_: the subscribers and the run they belong to.
    std::mutex lock_;
    std::vector<Entry> entries_;
    std::uint64_t run_ = 0;  // a new one each time the first subscriber joins

    // The encode's thread only.
    std::unique_ptr<AvcAacEncoder> encoder_;
    std::uint64_t encoderRun_ = 0;
    std::int64_t origin_ = -1;  // the run's first sample time
};

}  // namespace codec
