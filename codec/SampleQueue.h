#pragma once
// Samples on their way to a thread that is slower at times (the writer's
// samples to the shared encode, its packets to the relay), bounded by the
// time they span and the bytes they hold. A sample that would pass either
// bound drops everything queued, so the taker loses whole groups of
// pictures only, and the next sample taken is marked to start on a key
// frame. Samples are taken in only while the queue is open, so nothing
// waits for a taker that is not there. Any thread pushes; one takes;
// nothing is called under the queue's lock.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace codec {

class SampleQueue {
  public:
    struct Sample {
        bool video = false;
        std::int64_t time = 0;  // 100-ns units since the broadcast began
        std::vector<std::uint8_t> bytes;
        // Encoded samples only: a key frame, and the decoding time (100 ns).
        bool key = false;
        std::int64_t decodeTime = 0;
    };

    SampleQueue(std::chrono::milliseconds spanLimit, std::size_t bytesLimit)
        : spanLimit_(spanLimit), bytesLimit_(bytesLimit) {}

    // A connection takes samples from now on, from an empty queue.
    void Open();
    // No more samples are taken; what waits is let go.
    void Close();
    // Copies the sample in; false (and nothing copied) while closed.
    bool Push(bool video, const std::uint8_t* data, std::size_t length, std::int64_t time);
    // Takes the sample in; false while closed or for an empty one.
    bool Push(Sample sample);
    // Waits for the next sample; false once stop is set (Wake makes it
    // look). afterDrop: samples were dropped before this one.
    bool Take(Sample* sample, bool* afterDrop, const std::atomic<bool>& stop);
    void Wake();

    // Groups of pictures dropped since the queue was made.
    std::int64_t DroppedGroups() const;

  private:
    const std::chrono::milliseconds spanLimit_;
    const std::size_t bytesLimit_;
    mutable std::mutex lock_;
    std::condition_variable ready_;
    // Under lock_:
    std::deque<Sample> samples_;
    std::size_t bytes_ = 0;
    bool open_ = false;
    bool dropped_ = false;
    std::int64_t droppedGroups_ = 0;
};

}  // namespace codec
