#include <gtest/gtest.h>

#include <vector>

#include "app/Meter.h"

namespace {

std::vector<std::int16_t> Columns(const std::vector<std::int16_t>& samples, int channels,
                                  int width) {
    std::vector<std::int16_t> columns(static_cast<std::size_t>(width), 99);
    ComputeMeterColumns(samples.data(), samples.size() * 2, channels, columns.data(), width);
    return columns;
}

TEST(MeterTest, ColumnsSampleTheBufferAtEvenSteps) {
    struct Case {
        const char* name;
        std::vector<std::int16_t> samples;
        int channels;
        int width;
        std::vector<std::int16_t> expected;
    };
    const std::vector<Case> cases = {
        {"mono, step 2", {10, 11, 20, 21, 30, 31, 40, 41}, 1, 4, {10, 20, 30, 40}},
        {"stereo halves each sample", {100, 301, -7, -9, 5, 5, 1, 1}, 2, 2, {200, -7}},
        {"halving truncates toward zero", {-3, -3, 3, 3}, 2, 1, {-2}},
        {"loud samples do not overflow", {32767, 32767, -32768, -32768}, 2, 2, {32766, -1}},
        {"more columns than samples repeat the first", {7, 8}, 1, 3, {7, 7, 7}},
        {"a buffer too short for stereo leaves zeros", {7}, 2, 2, {0, 0}},
        {"no channels counts as mono", {4, 5, 6, 7}, 0, 2, {4, 6}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Columns(c.samples, c.channels, c.width), c.expected);
    }
}

TEST(MeterTest, ColumnHeightScalesToTheMeterAndKeeps16Bits) {
    EXPECT_EQ(MeterColumnHeight(32767, 20, 32767), 20);
    EXPECT_EQ(MeterColumnHeight(-16384, 20, 32767), -10);
    EXPECT_EQ(MeterColumnHeight(1000, 20, 100), 200);
    EXPECT_EQ(MeterColumnHeight(32767, 20000, 100), static_cast<std::int16_t>(32767 * 20000 / 100));
    EXPECT_EQ(MeterColumnHeight(500, 20, 0), 0);
}

}  // namespace
