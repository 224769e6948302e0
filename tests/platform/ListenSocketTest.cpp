// The listening socket and wake-up descriptor both servers run on.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/ListenSocket.h"

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

bool ConnectTo(std::uint16_t port) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

TEST(ListenSocket, PortZeroListensOnAPortTheSystemPicksAndABusyPortFailsAtBind) {
    std::uint16_t port = 0;
    ListenStep step = ListenStep::Listen;
    UniqueFd listener = OpenListenSocket(0, &port, &step);
    ASSERT_TRUE(listener);
    ASSERT_NE(port, 0);
    EXPECT_TRUE(ConnectTo(port));
    EXPECT_TRUE(Readable(listener.Get())) << "the connection waits to be accepted";
    // Accepting never blocks the server's loop.
    while (Readable(listener.Get())) UniqueFd(::accept(listener.Get(), nullptr, nullptr));
    errno = 0;
    EXPECT_LT(::accept(listener.Get(), nullptr, nullptr), 0);
    EXPECT_EQ(errno, EAGAIN);

    std::uint16_t other = 0;
    errno = 0;
    EXPECT_FALSE(OpenListenSocket(port, &other, &step));
    EXPECT_EQ(step, ListenStep::Bind);
    EXPECT_EQ(errno, EADDRINUSE) << "errno survives the clean-up for the caller's log";
    EXPECT_EQ(other, 0) << "no port reported on failure";

    // Once the listener is gone the same port can be opened again at once.
    listener.Reset();
    UniqueFd again = OpenListenSocket(port, &other, nullptr);
    EXPECT_TRUE(again);
    EXPECT_EQ(other, port);
}

TEST(ListenSocket, WakeEventStaysSignalledUntilCleared) {
    UniqueFd wake = OpenWakeEvent();
    ASSERT_TRUE(wake);
    EXPECT_FALSE(Readable(wake.Get()));
    SignalWakeEvent(wake.Get());
    SignalWakeEvent(wake.Get());
    EXPECT_TRUE(Readable(wake.Get()));
    EXPECT_TRUE(Readable(wake.Get())) << "looking does not clear it";
    ClearWakeEvent(wake.Get());
    EXPECT_FALSE(Readable(wake.Get())) << "one clear takes every signal";
    ClearWakeEvent(wake.Get());  // clearing a clear event never blocks
    EXPECT_FALSE(Readable(wake.Get()));
}

}  // namespace
