#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "codec/PictureRows.h"
#include "codec/SampleClock.h"
#include "codec/SoundFrames.h"

namespace {

TEST(PictureRowsTest, EitherRowLayoutAndNothingShort) {
    struct Case {
        int width, height;
        std::size_t length;
        int stride;
    };
    const Case cases[] = {
        {161, 3, 484 * 3, 484},                            // padded rows
        {161, 3, 483 * 3, 483},                            // packed rows
        {161, 3, 483 * 3 - 1, 0}, {160, 2, 480 * 2, 480},  // no padding needed
        {0, 2, 100, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " " << c.length);
        EXPECT_EQ(codec::PictureStride(c.width, c.height, c.length), c.stride);
    }
}

TEST(PictureRowsTest, TheLastRowInMemoryIsTheTopOfThePicture) {
    const int width = 5, height = 4, stride = 16;
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(stride) * height, 0);
    for (int x = 0; x < width * 3; ++x) bgr[static_cast<std::size_t>(stride) * 3 + x] = 255;
    SwsPtr scaler(sws_getContext(width, height, AV_PIX_FMT_BGR24, width, height, AV_PIX_FMT_GRAY8,
                                 SWS_POINT, nullptr, nullptr, nullptr));
    FramePtr frame(av_frame_alloc());
    frame->format = AV_PIX_FMT_GRAY8;
    frame->width = width;
    frame->height = height;
    ASSERT_GE(av_frame_get_buffer(frame.get(), 0), 0);
    ASSERT_TRUE(
        codec::ScaleBottomUp(scaler.get(), bgr.data(), bgr.size(), width, height, frame.get()));
    EXPECT_GT(frame->data[0][0], 200) << "top row";
    EXPECT_LT(frame->data[0][frame->linesize[0] * (height - 1)], 50) << "bottom row";
    EXPECT_FALSE(codec::ScaleBottomUp(scaler.get(), bgr.data(), 10, width, height, frame.get()));
}

TEST(PictureClockTest, StampsRiseAndDropOnlyWhereAsked) {
    struct Case {
        const char* what;
        int rate;
        bool dropWhenAhead;
        std::vector<std::int64_t> times;  // 100 ns
        std::vector<std::int64_t> stamps;
        std::vector<bool> gaps;
    };
    const Case cases[] = {
        {"on time", 10, true, {0, 1000000, 2000000}, {0, 1, 2}, {false, false, false}},
        {"a slot left empty", 10, true, {0, 3000000}, {0, 3}, {false, true}},
        // A picture in the slot before it moves on while within a tenth of
        // a slot of its time, else it is dropped.
        {"a little early", 10, true, {0, 950000}, {0, 1}, {false, false}},
        {"too early", 10, true, {0, 500000, 1000000}, {0, -1, 1}, {false, false, false}},
        {"never dropped",
         1000,
         false,
         {0, 1000, 2000, 3000},
         {0, 1, 2, 3},
         {false, false, false, false}},
        {"a long broadcast", 48000, false, {864000000000000}, {4147200000000}, {false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        codec::PictureClock clock(c.rate, c.dropWhenAhead);
        for (std::size_t i = 0; i < c.times.size(); ++i) {
            bool gap = false;
            EXPECT_EQ(clock.Stamp(c.times[i], &gap), c.stamps[i]) << i;
            if (c.stamps[i] >= 0) {
                EXPECT_EQ(gap, c.gaps[i]) << i;
            }
        }
    }
}

class SoundFramesTest : public testing::Test {
  protected:
    // 10 ms of 16-bit sound at 48 kHz, as many channels as asked.
    static std::vector<std::uint8_t> Chunk(int channels, std::int16_t value = 1000) {
        std::vector<std::int16_t> samples(480 * static_cast<std::size_t>(channels), value);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(samples.data());
        return {bytes, bytes + samples.size() * 2};
    }
    static codec::SoundShape Shape(int in, int out) {
        codec::SoundShape shape;
        shape.inputRate = 48000;
        shape.inputChannels = in;
        shape.outputRate = 48000;
        shape.outputChannels = out;
        shape.format = AV_SAMPLE_FMT_FLTP;
        shape.frameSize = 1024;
        return shape;
    }
};

TEST_F(SoundFramesTest, TheFirstChunkAnchorsAndOnlyALongGapMovesTheClock) {
    codec::SoundFrames sound;
    std::string error;
    ASSERT_TRUE(sound.Open(Shape(2, 2), &error)) << error;
    const auto chunk = Chunk(2);
    std::vector<std::int64_t> stamps;
    const auto push = [&](std::int64_t time) {
        ASSERT_FALSE(sound.Push(chunk.data(), chunk.size(), time));
        while (AVFrame* frame = sound.Next()) stamps.push_back(frame->pts);
    };
    push(10000000);                                           // the first chunk at 1 s
    for (int i = 1; i < 5; ++i) push(10000000 + i * 100000);  // 50 ms on time
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[0], 48000);
    EXPECT_EQ(stamps[1], 48000 + 1024);
    // A chunk 0.4 s late keeps the sound contiguous ...
    push(14500000);
    push(14600000);
    ASSERT_EQ(stamps.size(), 3u);
    EXPECT_EQ(stamps[2], 48000 + 2048);
    // ... one 0.6 s late moves it to the writer's clock (2.07 s), less the
    // 288 samples still queued.
    push(20700000);
    push(20800000);
    ASSERT_EQ(stamps.size(), 4u);
    EXPECT_EQ(stamps[3], 99360 - 288);
}

TEST_F(SoundFramesTest, ChannelsAreConvertedAndTheRestIsPaddedWithSilence) {
    codec::SoundFrames sound;
    std::string error;
    ASSERT_TRUE(sound.Open(Shape(1, 2), &error)) << error;
    EXPECT_EQ(sound.BlockAlign(), 2u);
    const auto chunk = Chunk(1, 16384);
    for (int i = 0; i < 3; ++i) ASSERT_FALSE(sound.Push(chunk.data(), chunk.size(), i * 100000));
    AVFrame* whole = sound.Next();
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->ch_layout.nb_channels, 2);
    const float* right = reinterpret_cast<const float*>(whole->data[1]);
    EXPECT_GT(right[600], 0.1f) << "the one channel reaches both";
    EXPECT_EQ(sound.Next(), nullptr) << "less than a frame waits";
    AVFrame* rest = sound.Rest();
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(rest->pts, 1024);
    EXPECT_EQ(rest->nb_samples, 1024);
    const float* left = reinterpret_cast<const float*>(rest->data[0]);
    EXPECT_EQ(left[1023], 0.0f) << "padded with silence";
    EXPECT_EQ(sound.Rest(), nullptr);
    EXPECT_FALSE(sound.Open(Shape(0, 2), &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
