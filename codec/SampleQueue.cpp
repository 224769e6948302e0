#include "codec/SampleQueue.h"

#include <utility>

namespace codec {
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
    // Copied before the lock is taken: the taker never waits for a copy,
    // and neither does another producer.
    Sample sample;
    sample.video = video;
    sample.time = time;
    sample.bytes.assign(data, data + length);
    return Push(std::move(sample));
}

bool SampleQueue::Push(Sample sample) {
    const std::int64_t time = sample.time;
    const std::size_t length = sample.bytes.size();
    if (length == 0) return false;
    std::deque<Sample> stale;
    {
        std::lock_guard guard(lock_);
        if (!open_) return false;
        const std::int64_t waited =
            samples_.empty() ? 0 : (time - samples_.front().time) / kTicksPerMs;
        if (waited > spanLimit_.count() || bytes_ + length > bytesLimit_) {
            // The taker is behind: what waits is stale.
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

}  // namespace codec
