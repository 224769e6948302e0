// The relay publisher without a relay cluster: its second encoding, its
// back-off and state line, and what it does against a relay that refuses or
// never answers (a loopback socket that accepts and then reads nothing).

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/ListenSocket.h"
#include "relay/RelayEncoder.h"
#include "relay/RelayPublisher.h"
#include "relay/SampleQueue.h"
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

// The queue before the relay, played step by step: o opens it, c closes it,
// a digit pushes a picture of that many kilobytes at the next tenth of a
// second, s pushes sound, t takes one. Tells what each push and take gave:
// "+" taken in, "-" refused, and for a take the sample's tenth, "k" when a
// drop came before it, or "none".
std::string PlayQueue(const char* steps, std::chrono::milliseconds span, std::size_t bytes) {
    relay::SampleQueue queue(span, bytes);
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
            relay::SampleQueue::Sample sample;
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
        ASSERT_TRUE(WaitUntil(
            10s, [&] { return publisher.Status().state == relay::PublishState::kReconnecting; }));
        const relay::PublishStatus status = publisher.Status();
        EXPECT_EQ(status.reason, c.reason);
        EXPECT_EQ(status.secondsToRetry, 1) << "the first retry comes after a second";
        EXPECT_EQ(relay::PublishStatusText(status).find("secret"), std::string::npos);
        // The second attempt comes: a relay that listens now sees it.
        if (!c.listening)
            listener = OpenListenSocket(static_cast<std::uint16_t>(port), nullptr, nullptr);
        ASSERT_TRUE(listener);
        if (c.listening) {
            UniqueFd first(accept(listener.Get(), nullptr, nullptr));
            ASSERT_TRUE(first) << "the first attempt never came";
        }
        pollfd attempt{listener.Get(), POLLIN, 0};
        EXPECT_EQ(poll(&attempt, 1, 3000), 1) << "no second attempt within its second";
        // Nothing waits for the relay: the publisher stops at once, in
        // the middle of whatever it was doing.
        const auto stopping = std::chrono::steady_clock::now();
        publisher.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, 1s);
        EXPECT_EQ(publisher.Status().state, relay::PublishState::kOff);
    }
}

}  // namespace
