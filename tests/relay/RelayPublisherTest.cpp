// The relay publisher without a relay cluster: its second encoding, its
// back-off and state line, and what it does against a relay that refuses or
// never answers (a loopback socket that accepts and then reads nothing).

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "relay/RelayEncoder.h"
#include "relay/RelayPublisher.h"
#include "tests/support/Sockets.h"

namespace {

using namespace std::chrono_literals;

TEST(RelayPublisherText, BackOffAndStateLines) {
    const std::vector<std::pair<int, int>> delays = {{0, 1}, {1, 1},  {2, 2},  {3, 4},
                                                     {4, 8}, {5, 16}, {6, 30}, {40, 30}};
    for (const auto& [attempt, seconds] : delays)
        EXPECT_EQ(relay::ReconnectDelay(attempt).count(), seconds) << attempt;

    using relay::PublishState;
    const std::vector<std::pair<relay::PublishStatus, std::string>> lines = {
        {{PublishState::kPublishing, 0, ""}, "publishing"},
        {{PublishState::kConnecting, 0, ""}, "connecting"},
        {{PublishState::kReconnecting, 4, "the relay refused the connection"},
         "reconnecting in 4 s: the relay refused the connection"},
        {{PublishState::kOff, 0, ""}, "off"},
        {{PublishState::kOff, 0, "no relay address"}, "off: no relay address"},
    };
    for (const auto& [status, line] : lines) EXPECT_EQ(relay::PublishStatusText(status), line);
}

// Pictures of the test's own (BGR, bottom-up, rows padded to 4 bytes) and
// a tone's worth of silence: the stream starts on a key frame, has one
// wherever pictures were dropped and a second after each, and the sound
// comes out as AAC frames.
TEST(RelayEncoderTest, KeyFramesWhereViewersNeedThem) {
    struct Case {
        int width, height;
    };
    for (const Case size : {Case{320, 240}, Case{161, 121}}) {
        SCOPED_TRACE(size.width);
        relay::MediaShape shape;
        shape.width = size.width;
        shape.height = size.height;
        shape.framesPerSecond = 10;
        shape.sampleRate = 44100;
        shape.channels = 2;
        relay::RelayEncoder encoder;
        std::string error;
        ASSERT_TRUE(encoder.Open(shape, &error)) << error;
        EXPECT_EQ(encoder.Video()->width, size.width & ~1);
        EXPECT_NE(encoder.Video()->extradata_size, 0) << "FLV needs the headers up front";

        std::vector<bool> keys;
        int audioPackets = 0;
        std::int64_t lastAudioDts = -1;
        const relay::RelayEncoder::Output output = [&](AVPacket* packet, int stream) {
            if (stream == 0) {
                keys.push_back(packet->flags & AV_PKT_FLAG_KEY);
            } else {
                EXPECT_GE(packet->dts, 0) << "no sound before the connection's start";
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

relay::PublisherSettings SettingsFor(int port) {
    relay::PublisherSettings settings;
    settings.url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/stream?key=secret";
    settings.shape.width = 64;
    settings.shape.height = 48;
    settings.shape.framesPerSecond = 10;
    settings.connectDeadline = 1500ms;
    settings.writeDeadline = 1500ms;
    return settings;
}

template <typename Check>
bool WaitUntil(std::chrono::milliseconds limit, Check check) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!check()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

TEST(RelayPublisherTest, ARelayThatNeverAnswersOrRefusesIsLeftAndTriedAgain) {
    struct Case {
        const char* name;
        bool listening;
        const char* reason;
    };
    for (const Case c :
         {Case{"frozen", true, "the relay did not answer in time (connecting and publishing)"},
          Case{"refused", false, "the relay refused the connection"}}) {
        SCOPED_TRACE(c.name);
        int port = 0;
        // Accepted by the system into the backlog and never read: a relay
        // that is stopped.
        UniqueFd listener = c.listening ? testsupport::ListenOnFreePort(&port) : UniqueFd();
        if (!c.listening) port = testsupport::UnusedPort();
        relay::RelayPublisher publisher(SettingsFor(port));
        publisher.Start();
        std::vector<std::uint8_t> picture(64 * 48 * 3, 1);
        for (int i = 0; i < 50; ++i)
            publisher.PushVideo(picture.data(), picture.size(), i * 1000000LL);
        ASSERT_TRUE(WaitUntil(
            10s, [&] { return publisher.Status().state == relay::PublishState::kReconnecting; }));
        const relay::PublishStatus status = publisher.Status();
        EXPECT_EQ(status.reason, c.reason);
        EXPECT_GE(status.secondsToRetry, 0);
        EXPECT_LE(status.secondsToRetry, 1);
        EXPECT_EQ(relay::PublishStatusText(status).find("secret"), std::string::npos);
        // Nothing waits for the relay: the publisher stops at once, in
        // the middle of whatever it was doing.
        publisher.Stop();
        EXPECT_EQ(publisher.Status().state, relay::PublishState::kOff);
    }
}

}  // namespace
