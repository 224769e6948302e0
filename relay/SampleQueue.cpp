#include "relay/SampleQueue.h"

#include <utility>

namespace relay {
namespace {

constexpr std::int64_t kTicksPerMs = 10000;

}  // namespace

void SampleQueue::Open() {
    std::lock_guard guard(lock_);
    samples_.clear();
    bytes_ = 0;
    dropped_ = false;
    open_ = true;
}

void SampleQueue::Close() {
    std::deque<Sample> gone;
    {
        std::lock_guard guard(lock_);
        open_ = false;
        gone.swap(samples_);
        bytes_ = 0;
    }
    ready_.notify_all();
}

bool SampleQueue::Push(bool video, const std::uint8_t* data, std::size_t length,
                       std::int64_t time) {
    {
        std::lock_guard guard(lock_);
        if (!open_) return false;
    }
    if (!data || length == 0) return false;
    // Copied before the lock is taken: the publisher's thread never waits
    // for a copy, and neither does the other producer.
    Sample sample{video, time, std::vector<std::uint8_t>(data, data + length)};
    std::deque<Sample> stale;
    {
        std::lock_guard guard(lock_);
        if (!open_) return false;
        const std::int64_t waited =
            samples_.empty() ? 0 : (time - samples_.front().time) / kTicksPerMs;
        if (waited > spanLimit_.count() || bytes_ + length > bytesLimit_) {
            // The relay is behind: what waits is stale.
            stale.swap(samples_);
            bytes_ = 0;
            dropped_ = true;
            ++droppedGroups_;
        }
        bytes_ += length;
        samples_.push_back(std::move(sample));
    }
    ready_.notify_one();
    return true;
}

bool SampleQueue::Take(Sample* sample, bool* afterDrop, const std::atomic<bool>& stop) {
    std::unique_lock guard(lock_);
    ready_.wait(guard, [&] { return stop.load() || !samples_.empty(); });
    if (stop) return false;
    *sample = std::move(samples_.front());
    samples_.pop_front();
    bytes_ -= sample->bytes.size();
    *afterDrop = std::exchange(dropped_, false);
    return true;
}

void SampleQueue::Wake() {
    { std::lock_guard guard(lock_); }
    ready_.notify_all();
}

std::int64_t SampleQueue::DroppedGroups() const {
    std::lock_guard guard(lock_);
    return droppedGroups_;
}

}  // namespace relay
