#pragma once
// The writer's sample times (100-ns units since the broadcast began) as an
// encoder's time stamps.

#include <cstdint>

namespace codec {

constexpr std::int64_t kTicksPerSecond = 10000000;

// time in whole units of 1/rate s, rounded down.
std::int64_t TicksToUnits(std::int64_t time, int rate);

// Pictures' time stamps in units of 1/rate s, strictly rising. A picture
// that lands on or before the one before it moves one unit on; with
// dropWhenAhead it is dropped instead once that would put it more than a
// tenth of a unit ahead of its own time, so that pictures coming a little
// faster than the rate do not run ahead of the clock one unit after another.
class PictureClock {
  public:
    PictureClock(int rate, bool dropWhenAhead) : rate_(rate), dropWhenAhead_(dropWhenAhead) {}

    // The stamp of a picture taken at time, or -1 when it is dropped.
    // afterGap (when given): at least one unit was left empty before it.
    std::int64_t Stamp(std::int64_t time, bool* afterGap = nullptr);
    // The next picture starts the clock again.
    void Restart() { last_ = -1; }

  private:
    int rate_;
    bool dropWhenAhead_;
    std::int64_t last_ = -1;
};

}  // namespace codec
