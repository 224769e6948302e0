// The listening socket and wake-up descriptor both servers run on, and the
// client addresses they take.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>

#include "platform/ListenSocket.h"
#include "platform/PeerAddress.h"

namespace {

bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
}

// A connection to port on IPv4's loopback address, or IPv6's (::1); kept
// open in *kept when given.
bool ConnectTo(std::uint16_t port, bool v6 = false, UniqueFd* kept = nullptr) {
    UniqueFd fd(::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_storage address{};
    socklen_t length = 0;
    if (v6) {
        auto& loopback = reinterpret_cast<sockaddr_in6&>(address);
        loopback.sin6_family = AF_INET6;
        loopback.sin6_addr = in6addr_loopback;
        loopback.sin6_port = htons(port);
        length = sizeof loopback;
    } else {
        auto& loopback = reinterpret_cast<sockaddr_in&>(address);
        loopback.sin_family = AF_INET;
        loopback.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        loopback.sin_port = htons(port);
        length = sizeof loopback;
    }
    const bool connected = ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), length) == 0;
    if (kept) *kept = std::move(fd);
    return connected;
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

// One socket takes both families; an IPv4 client is its IPv4 address, not
// the IPv6 form the socket sees (::ffff:127.0.0.1).
TEST(ListenSocket, IPv6AndIPv4ClientsAreTakenAndNamedByTheirOwnFamily) {
    std::uint16_t port = 0;
    UniqueFd listener = OpenListenSocket(0, &port, nullptr);
    ASSERT_TRUE(listener);
    for (const bool v6 : {false, true}) {
        SCOPED_TRACE(v6 ? "::1" : "127.0.0.1");
        UniqueFd client;
        ASSERT_TRUE(ConnectTo(port, v6, &client));
        pollfd ready{listener.Get(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 5000), 1);
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd accepted(::accept(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &length));
        ASSERT_TRUE(accepted);
        EXPECT_EQ(PeerAddressText(peer), v6 ? "::1" : "127.0.0.1");
        EXPECT_NE(PeerPort(peer), 0);
    }
}

// The per-address limits: IPv4 by the address, IPv6 by its /64.
TEST(ListenSocket, ClientsCountByTheirAddressOrTheirSixtyFour) {
    const struct {
        const char* address;
        const char* counted;
    } cases[] = {
        {"192.0.2.7", "192.0.2.7"},
        {"::ffff:192.0.2.7", "192.0.2.7"},
        {"2001:db8:0:1::5", "2001:db8:0:1::/64"},
        {"2001:db8:0:1:ffff:ffff:ffff:ffff", "2001:db8:0:1::/64"},
        {"2001:db8:0:2::5", "2001:db8:0:2::/64"},
        {"::1", "::/64"},
        {"fe80::1:2:3:4", "fe80::/64"},
        {"not an address", "not an address"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(CountedAddress(c.address), c.counted) << c.address;
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
