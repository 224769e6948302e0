#pragma once
// Which captured frames a broadcast writes: as many a second as its frame
// rate, each as soon as it is captured rather than at the next tick of a
// timer of its own. A camera faster than the broadcast gives every second
// (or every other third) frame; a frame a little early for its turn still
// takes it, so the camera's jitter does not skip frames; after a gap the
// turns start again from the frame that ends it.

#include <algorithm>
#include <chrono>

class FramePacer {
  public:
    using Clock = std::chrono::steady_clock;

    explicit FramePacer(int framesPerSecond = 1)
        : interval_(std::chrono::duration_cast<Clock::duration>(std::chrono::seconds(1)) /
                    std::max(framesPerSecond, 1)) {}

    // Whether the frame captured at 'at' is written; it then takes its turn.
    bool Take(Clock::time_point at) {
        if (started_ && at < due_ - interval_ / 4) return false;
        due_ = started_ && at < due_ + interval_ ? due_ + interval_ : at + interval_;
        started_ = true;
        return true;
    }

    Clock::duration Interval() const { return interval_; }

  private:
    Clock::duration interval_;
    bool started_ = false;     // a frame was written
    Clock::time_point due_{};  // when the next frame's turn is
};
