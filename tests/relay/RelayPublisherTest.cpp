// The relay publisher without a relay cluster: its
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

codec::MediaShape SmallShape() {
    codec::MediaShape shape;
    shape.width = 64;
    shape.height = 48;
    shape.framesPerSecond = 10;
    return shape;
}

relay::PublisherSettings SettingsFor(int port) {
    relay::PublisherSettings settings;
    settings.url = "rtmp://127.0.0.1:" + std::to_string(port) + "/live/stream?key=secret";
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
        codec::SharedEncode encode(SmallShape());
        relay::RelayPublisher publisher(SettingsFor(port), encode);
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
