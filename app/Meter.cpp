#include "app/Meter.h"

void ComputeMeterColumns(const std::int16_t* samples, std::size_t byteCount, int channels,
                         std::int16_t* columns, int width) {
    if (width <= 0) return;
    if (channels < 1) channels = 1;
    const std::size_t sampleCount = byteCount / 2;
    const std::size_t step =
        byteCount / (static_cast<std::size_t>(width) * static_cast<std::size_t>(channels) * 2);
    for (int i = 0; i < width; ++i) {
        const std::size_t at = static_cast<std::size_t>(i) * step;
        if (channels == 1) {
            columns[i] = at < sampleCount ? samples[at] : 0;
        } else {
            columns[i] = at + 1 < sampleCount
                             ? static_cast<std::int16_t>(samples[at] / 2 + samples[at + 1] / 2)
                             : 0;
        }
    }
}

int MeterColumnHeight(std::int16_t sample, int mid, int meterScale) {
    if (meterScale == 0) return 0;
    return static_cast<std::int16_t>(sample * mid / meterScale);
}
