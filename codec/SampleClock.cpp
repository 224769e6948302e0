#include "codec/SampleClock.h"

namespace codec {

std::int64_t TicksToUnits(std::int64_t time, int rate) {
    // Whole seconds and the rest apart, so that a long broadcast at a high
    // rate never overflows.
    const std::int64_t seconds = time / kTicksPerSecond;
    const std::int64_t rest = time % kTicksPerSecond;
    return seconds * rate + rest * rate / kTicksPerSecond;
}

std::int64_t PictureClock::Stamp(std::int64_t time, bool* afterGap) {
    std::int64_t stamp = TicksToUnits(time, rate_);
    if (stamp <= last_) {
        stamp = last_ + 1;
        // More than a tenth of a unit ahead: stamp / rate > time + 0.1 / rate.
        const std::int64_t ahead =
            stamp * kTicksPerSecond - time * static_cast<std::int64_t>(rate_);
        if (dropWhenAhead_ && ahead > kTicksPerSecond / 10) return -1;
    }
    if (afterGap) *afterGap = last_ >= 0 && stamp > last_ + 1;
    last_ = stamp;
    return stamp;
}

}  // namespace codec
