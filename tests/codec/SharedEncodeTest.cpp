// The shared H.264 and AAC encode: the encoders themselves, the queue
// before them, and the encode shared by subscribers that come and go.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "codec/AvcAacEncoder.h"
#include "codec/SampleQueue.h"
#include "codec/SharedEncode.h"

namespace {

using namespace std::chrono_literals;

// Pictures of the test's own (BGR, bottom-up, rows padded to 4 bytes) and
// a tone's worth of silence: the stream starts on a key frame, has one
// wherever pictures were dropped and a second after each, and the sound
// comes out as AAC frames.
TEST(AvcAacEncoderTest, KeyFramesWhereViewersNeedThem) {
    struct Case {
        int width, height;
    };
    for (const Case size : {Case{320, 240}, Case{161, 121}}) {
        SCOPED_TRACE(size.width);
        codec::MediaShape shape;
        shape.width = size.width;
        shape.height = size.height;
        shape.framesPerSecond = 10;
        shape.sampleRate = 44100;
        shape.channels = 2;
        codec::AvcAacEncoder encoder;
        std::string error;
        ASSERT_TRUE(encoder.Open(shape, &error)) << error;
        EXPECT_EQ(encoder.Video()->width, size.width & ~1);
        EXPECT_NE(encoder.Video()->extradata_size, 0) << "FLV needs the headers up front";

        std::vector<bool> keys;
        int audioPackets = 0;
        std::int64_t lastAudioDts = -1;
        const codec::AvcAacEncoder::Output output = [&](AVPacket* packet, int stream) {
            if (stream == 0) {
                keys.push_back(packet->flags & AV_PKT_FLAG_KEY);
            } else {
                EXPECT_GE(packet->dts, 0) << "no sound before the run's start";
                EXPECT_GT(packet->dts, lastAudioDts);
                lastAudioDts = packet->dts;
                ++audioPackets;
            }
            return true;
        };
        const int stride = (size.width * 3 + 3) & ~3;
        std::vector<std::uint8_t> picture(static_cast<std::size_t>(stride) * size.height, 90);
        std::vector<std::uint8_t> sound(4410 * 4, 0);
        for (int frame = 0; frame < 25; ++frame) {
            if (frame == 14) encoder.ForceKeyFrame();
            picture[static_cast<std::size_t>(frame) * 3] = 255;
            const std::int64_t time = frame * 1000000LL;  // 100 ms a picture
            ASSERT_TRUE(encoder.EncodeVideo(picture.data(), picture.size(), time, output));
            ASSERT_TRUE(encoder.EncodeAudio(sound.data(), sound.size(), time, output));
        }
        ASSERT_EQ(keys.size(), 25u) << "zerolatency: one packet per picture, none held back";
        // A second after the last key frame, the forced one included.
        for (int frame = 0; frame < 25; ++frame) {
            const bool expected = frame == 0 || frame == 10 || frame == 14 || frame == 24;
            EXPECT_EQ(keys[static_cast<std::size_t>(frame)], expected) << frame;
        }
        EXPECT_GE(audioPackets, 20);  // 2.5 s of sound in frames of 1024
        // A picture shorter than the frame is left out, not read past.
        std::size_t before = keys.size();
        ASSERT_TRUE(encoder.EncodeVideo(picture.data(), picture.size() / 2, 3000000, output));
        EXPECT_EQ(keys.size(), before);
    }
}

// The queue before the encode and the relay, played step by step: o opens it, c closes it,
// a digit pushes a picture of that many kilobytes at the next tenth of a
// second, s pushes sound, t takes one. Tells what each push and take gave:
// "+" taken in, "-" refused, and for a take the sample's tenth, "k" when a
// drop came before it, or "none".
std::string PlayQueue(const char* steps, std::chrono::milliseconds span, std::size_t bytes) {
    codec::SampleQueue queue(span, bytes);
    std::string seen;
    int tenth = 0;
    const std::vector<std::uint8_t> kilobyte(1024, 7);
    for (const char* step = steps; *step; ++step) {
        std::string got;
        if (*step == 'o') {
            queue.Open();
        } else if (*step == 'c') {
            queue.Close();
        } else if (*step == 't') {
            codec::SampleQueue::Sample sample;
            bool afterDrop = false;
            // With nothing waiting, the take gives up once told to stop.
            std::atomic<bool> quit{false};
            std::thread stopper([&] {
                std::this_thread::sleep_for(50ms);
                quit = true;
                queue.Wake();
            });
            got = queue.Take(&sample, &afterDrop, quit)
                      ? (afterDrop ? "k" : "") + std::to_string(sample.time / 1000000)
                      : "none";
            stopper.join();
        } else {
            const bool video = *step != 's';
            std::vector<std::uint8_t> data;
            for (int k = video ? *step - '0' : 1; k > 0; --k)
                data.insert(data.end(), kilobyte.begin(), kilobyte.end());
            got = queue.Push(video, data.data(), data.size(), tenth++ * 1000000LL) ? "+" : "-";
        }
        if (!got.empty()) seen += (seen.empty() ? "" : " ") + got;
    }
    return seen + " dropped " + std::to_string(queue.DroppedGroups());
}

TEST(SampleQueueTest, ARelayBehindLosesWholeGroupsAndStartsAgainOnAKeyFrame) {
    const struct {
        const char* what;
        const char* steps;
        std::chrono::milliseconds span;
        std::size_t bytes;
        const char* seen;
    } cases[] = {
        {"nothing is taken in while no connection is open", "1o1t", 2000ms, 1 << 20,
         "- + 1 dropped 0"},
        {"samples come out in order", "o11s1tttt", 2000ms, 1 << 20, "+ + + + 0 1 2 3 dropped 0"},
        {"a span past the bound drops all that waits", "o1111tt", 250ms, 1 << 20,
         "+ + + + k3 none dropped 1"},
        {"so do bytes past the bound", "o22tt2t", 2000ms, 3 * 1024, "+ + k1 none + 2 dropped 1"},
        {"the key-frame mark goes with the first sample after the drop only", "o111tt", 150ms,
         1 << 20, "+ + + k2 none dropped 1"},
        {"closing lets go of what waits", "o11ct", 2000ms, 1 << 20, "+ + none dropped 0"},
    };
    for (const auto& c : cases) EXPECT_EQ(PlayQueue(c.steps, c.span, c.bytes), c.seen) << c.what;
}

// A subscriber that writes down what it is given: "S" for the streams, "K"
// for a key frame, "p" for another picture, "a" for sound; and the first
// picture's time.
class Recorder : public codec::EncodedSubscriber {
  public:
    void OnStreams(const codec::EncodedStreams& streams) override {
        std::lock_guard guard(lock_);
        seen_ += "S";
        withSound_ = streams.audio != nullptr && streams.audioStream == 1;
    }
    void OnPacket(const AVPacket& packet, int stream) override {
        std::lock_guard guard(lock_);
        if (stream == 0) {
            if (firstPicture_ < 0) firstPicture_ = packet.pts;
            seen_ += (packet.flags & AV_PKT_FLAG_KEY) ? "K" : "p";
            ++pictures_;
        } else {
            seen_ += "a";
        }
        changed_.notify_all();
    }
    void OnFailed(const std::string& reason) override {
        std::lock_guard guard(lock_);
        seen_ += "F(" + reason + ")";
        changed_.notify_all();
    }
    bool WaitForPictures(int count) {
        std::unique_lock guard(lock_);
        return changed_.wait_for(guard, 10s, [&] { return pictures_ >= count; });
    }
    std::string Seen() {
        std::lock_guard guard(lock_);
        return seen_;
    }
    std::int64_t FirstPicture() {
        std::lock_guard guard(lock_);
        return firstPicture_;
    }
    bool WithSound() {
        std::lock_guard guard(lock_);
        return withSound_;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::string seen_;
    int pictures_ = 0;
    std::int64_t firstPicture_ = -1;
    bool withSound_ = false;
};

// Pictures are given ten a second of broadcast time; the subscribers see
// one encode: a late one begins with the streams and a key frame made for
// it, nothing is encoded while nobody is there, and the next one starts a
// run of its own whose clock begins at its first picture.
TEST(SharedEncodeTest, OneEncodeForEverySubscriberOnlyWhileOneIsThere) {
    codec::MediaShape shape;
    shape.width = 64;
    shape.height = 48;
    shape.framesPerSecond = 10;
    shape.sampleRate = 8000;
    shape.channels = 1;
    codec::SharedEncode encode(shape);
    const std::vector<std::uint8_t> picture(64 * 3 * 48, 100);
    const std::vector<std::uint8_t> sound(1600, 0);  // a tenth of a second
    std::int64_t tenth = 0;
    const auto give = [&](int pictures) {
        for (int i = 0; i < pictures; ++i, ++tenth) {
            encode.PushVideo(picture.data(), picture.size(), tenth * 1000000);
            encode.PushAudio(sound.data(), sound.size(), tenth * 1000000);
            std::this_thread::sleep_for(5ms);
        }
    };

    give(5);  // nobody is there yet
    EXPECT_EQ(encode.PicturesEncoded(), 0);
    Recorder early, late;
    encode.Join(&early);
    std::this_thread::sleep_for(100ms);  // the streams come before any sample
    EXPECT_EQ(early.Seen(), "S");
    give(3);
    ASSERT_TRUE(early.WaitForPictures(3));
    encode.Join(&late);
    std::this_thread::sleep_for(100ms);
    give(4);
    ASSERT_TRUE(late.WaitForPictures(4));
    ASSERT_TRUE(early.WaitForPictures(7));
    EXPECT_EQ(encode.PicturesEncoded(), 7) << "one encode for both";
    const std::string e = early.Seen(), l = late.Seen();
    EXPECT_EQ(e.substr(0, 2), "SK") << e;
    EXPECT_EQ(l.substr(0, 2), "SK") << l;
    EXPECT_TRUE(late.WithSound());
    EXPECT_NE(e.find('a'), std::string::npos) << e;
    // The late one's key frame is the early one's fourth picture.
    std::string earlyPictures;
    for (char c : e)
        if (c == 'K' || c == 'p') earlyPictures += c;
    EXPECT_EQ(earlyPictures.substr(0, 4), "KppK") << e;
    EXPECT_EQ(late.FirstPicture(), 300) << "the run's clock, in milliseconds";

    encode.Leave(&early);
    encode.Leave(&late);
    const std::string lateBefore = late.Seen();
    give(5);
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(encode.PicturesEncoded(), 7) << "nothing is encoded for nobody";
    EXPECT_EQ(late.Seen(), lateBefore) << "nothing goes to one that left";

    Recorder next;
    encode.Join(&next);
    std::this_thread::sleep_for(100ms);
    give(2);
    ASSERT_TRUE(next.WaitForPictures(2));
    EXPECT_EQ(next.Seen().substr(0, 2), "SK");
    EXPECT_EQ(next.FirstPicture(), 0) << "a new run's clock starts at its first picture";
    encode.Leave(&next);
}

// An encoder that cannot be opened (no pictures and no sound to encode)
// tells each subscriber why and lets it go.
TEST(SharedEncodeTest, AFailedEncodeTellsItsSubscribers) {
    codec::SharedEncode encode(codec::MediaShape{0, 0, 15, 500000, 0, 0});
    Recorder subscriber;
    encode.Join(&subscriber);
    for (int i = 0; i < 100 && subscriber.Seen().empty(); ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(subscriber.Seen(), "F(cannot encode: nothing to publish: no pictures and no sound)");
}

}  // namespace
