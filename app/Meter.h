#pragma once
// The audio level meter: one signed 16-bit value per pixel column, taken
// from each captured PCM buffer, and the height each column is drawn with.

#include <cstddef>
#include <cstdint>

// Fills width columns from byteCount bytes of 16-bit samples with the given
// channel count: column i takes sample i * step (mono) or the mean of samples
// i * step and i * step + 1 (each halved first), step = byteCount /
// (width * channels * 2). A buffer too short for that leaves the columns that
// would read past it at 0.
void ComputeMeterColumns(const std::int16_t* samples, std::size_t byteCount, int channels,
                         std::int16_t* columns, int width);

// Half-height in pixels of a column: sample * mid / meterScale, kept to 16 bits.
int MeterColumnHeight(std::int16_t sample, int mid, int meterScale);
