// The stream port against clients that connect and say nothing, or too
// little: they are bounded per address and in all, apart from the viewers,
// and must bring their request in time, while viewers elsewhere are served.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/Skip.h"
#include "tests/wmvcore/StreamTestSupport.h"
#include "wmvcore/StreamServer.h"

using namespace wmv;
using namespace wmvtest;

namespace {

// What a connection shows the client: still open, closed (or reset) without
// a byte, or answered.
enum class Seen { Open, Closed, Answered };

Seen Look(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    if (n > 0) return Seen::Answered;
    if (n == 0) return Seen::Closed;
    return errno == EAGAIN || errno == EWOULDBLOCK ? Seen::Open : Seen::Closed;
}

// Waits until the connection is no longer open; what it was then.
Seen WaitUntilNotOpen(int fd, int timeoutMs) {
    Seen seen = Seen::Open;
    WaitFor([&] { return (seen = Look(fd)) != Seen::Open; }, timeoutMs);
    return seen;
}

// Answers every whole request with a short reply and closes.
class Hello final : public StreamServer::Handler {
  public:
    void OnRequest(Connection& connection) override {
        connection.out = "HTTP/1.0 200 OK\r\n\r\nhello";
        connection.closeAfterOut = true;
        connection.state = Connection::State::Sending;
    }
};

constexpr char kRequest[] = "GET /MyFile.wma HTTP/1.0\r\n\r\n";

// The accepts the stream server tries while a test watches: when each began
// and ended, and the error it failed with (0: none).
struct AcceptTry {
    Clock::time_point start, end;
    int error;
};
std::mutex g_acceptsLock;
std::vector<AcceptTry> g_accepts;
std::atomic<bool> g_watchingAccepts{false};

std::vector<AcceptTry> AcceptTries() {
    std::lock_guard lock(g_acceptsLock);
    return g_accepts;
}

bool Answered(std::uint32_t port, const char* from) {
    UniqueFd client = Connect(port, 0, from);
    if (!client || !SendAll(client.Get(), kRequest)) return false;
    const std::string reply = ReadSome(client.Get(), 64, 10000);
    return reply == "HTTP/1.0 200 OK\r\n\r\nhello";
}

}  // namespace

// The server's accept4 comes here first (this program's definition is found
// before the C library's), and goes on to the next one.
extern "C" int accept4(int fd, sockaddr* address, socklen_t* length, int flags) {
    using Accept = int (*)(int, sockaddr*, socklen_t*, int);
    static const auto next = reinterpret_cast<Accept>(::dlsym(RTLD_NEXT, "accept4"));
    const Clock::time_point start = Clock::now();
    const int result = next(fd, address, length, flags);
    const int error = result < 0 ? errno : 0;
    if (g_watchingAccepts) {
        std::lock_guard lock(g_acceptsLock);
        g_accepts.push_back({start, Clock::now(), error});
    }
    errno = error;
    return result;
}

namespace {

TEST(StreamServerRequestLimits, BoundsAndDeadlineOfConnectionsAwaitingARequest) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    struct Case {
        const char* name;
        std::size_t perAddress, total;
        Clock::duration deadline;
        void (*run)(std::uint32_t port);
        bool ownNetwork = false;  // run where the IPv6 clients below exist
    };
    const Case cases[] = {
        {"one address beyond its bound is reset, another is served", 2, 8, seconds(60),
         [](std::uint32_t port) {
             UniqueFd first = Connect(port, 0, "127.0.0.3");
             UniqueFd second = Connect(port, 0, "127.0.0.3");
             UniqueFd third = Connect(port, 0, "127.0.0.3");
             ASSERT_TRUE(first && second && third);
             EXPECT_EQ(WaitUntilNotOpen(third.Get(), 10000), Seen::Closed);
             EXPECT_TRUE(Answered(port, "127.0.0.4"));
             EXPECT_EQ(Look(first.Get()), Seen::Open);
             EXPECT_EQ(Look(second.Get()), Seen::Open);
             // A request that is whole frees its place at once.
             ASSERT_TRUE(SendAll(first.Get(), kRequest));
             EXPECT_EQ(ReadSome(first.Get(), 64, 10000), "HTTP/1.0 200 OK\r\n\r\nhello");
             EXPECT_TRUE(Answered(port, "127.0.0.3"));
         }},
        {"one home's /64 beyond its bound is reset, another /64 is served", 2, 8, seconds(60),
         [](std::uint32_t port) {
             UniqueFd first = Connect(port, 0, "2001:db8:1::3");
             UniqueFd second = Connect(port, 0, "2001:db8:1::4");
             UniqueFd third = Connect(port, 0, "2001:db8:1::5");
             ASSERT_TRUE(first && second && third);
             EXPECT_EQ(WaitUntilNotOpen(third.Get(), 10000), Seen::Closed);
             EXPECT_TRUE(Answered(port, "2001:db8:2::3"));
             EXPECT_EQ(Look(first.Get()), Seen::Open);
             EXPECT_EQ(Look(second.Get()), Seen::Open);
         },
         true},
        {"the total bound holds across addresses until requests complete", 4, 3, seconds(60),
         [](std::uint32_t port) {
             std::vector<UniqueFd> held;
             for (const char* from : {"127.0.0.3", "127.0.0.3", "127.0.0.4"})
                 held.push_back(Connect(port, 0, from));
             // Every held connection is accepted before the next one is
             // refused: the server takes them in order.
             UniqueFd refused = Connect(port, 0, "127.0.0.5");
             ASSERT_TRUE(refused);
             EXPECT_EQ(WaitUntilNotOpen(refused.Get(), 10000), Seen::Closed);
             for (const UniqueFd& fd : held) EXPECT_EQ(Look(fd.Get()), Seen::Open);
             ASSERT_TRUE(SendAll(held[0].Get(), kRequest));
             EXPECT_EQ(ReadSome(held[0].Get(), 64, 10000), "HTTP/1.0 200 OK\r\n\r\nhello");
             EXPECT_TRUE(Answered(port, "127.0.0.5"));
         }},
        {"a request dripping in is cut off at the deadline of its accept", 16, 256,
         milliseconds(1000),
         [](std::uint32_t port) {
             UniqueFd dripping = Connect(port, 0, "127.0.0.3");
             ASSERT_TRUE(dripping);
             // Never idle for long, but still unfinished long after the
             // deadline: a deadline that each byte restarted never ends it.
             const std::string head =
                 "GET /MyFile.wma HTTP/1.0\r\nX-Filler: " + std::string(100, 'a');
             Seen seen = Seen::Open;
             for (std::size_t i = 0; i < head.size() && seen == Seen::Open; ++i) {
                 ::send(dripping.Get(), &head[i], 1, MSG_NOSIGNAL);
                 std::this_thread::sleep_for(milliseconds(100));
                 seen = Look(dripping.Get());
             }
             EXPECT_EQ(seen, Seen::Closed);
         }},
        {"a request in pieces within the deadline is answered", 16, 256, seconds(10),
         [](std::uint32_t port) {
             UniqueFd client = Connect(port, 0, "127.0.0.3");
             ASSERT_TRUE(client);
             for (const char* piece : {"GET /MyFile", ".wma HTTP/1.0\r\n", "\r\n"}) {
                 std::this_thread::sleep_for(milliseconds(50));
                 ASSERT_TRUE(SendAll(client.Get(), piece));
             }
             EXPECT_EQ(ReadSome(client.Get(), 64, 10000), "HTTP/1.0 200 OK\r\n\r\nhello");
         }},
        {"out of descriptors, a client waits in the queue and is tried again later", 16, 256,
         seconds(60),
         [](std::uint32_t port) {
             rlimit files{};
             ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &files), 0);
             // The lowest free descriptor number becomes the limit, with
             // one number below it kept for the client's own socket.
             UniqueFd kept(::dup(STDERR_FILENO));
             const int lowest = ::dup(STDERR_FILENO);
             ASSERT_TRUE(kept && lowest >= 0);
             ::close(lowest);
             rlimit none = files;
             none.rlim_cur = static_cast<rlim_t>(lowest);
             ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
             kept.Reset();
             g_watchingAccepts = true;
             UniqueFd client = Connect(port, 0, "127.0.0.3");
             const auto failed = [] {
                 const auto tries = AcceptTries();
                 return std::count_if(tries.begin(), tries.end(),
                                      [](const AcceptTry& t) { return t.error == EMFILE; });
             };
             const bool triedThrice = WaitFor([&] { return failed() >= 3; }, 10000);
             ::setrlimit(RLIMIT_NOFILE, &files);
             ASSERT_TRUE(client);
             EXPECT_TRUE(triedThrice) << failed() << " accepts failed for want of descriptors";
             // Once there are descriptors again, it is served.
             ASSERT_TRUE(SendAll(client.Get(), kRequest));
             EXPECT_EQ(ReadSome(client.Get(), 64, 10000), "HTTP/1.0 200 OK\r\n\r\nhello");
             g_watchingAccepts = false;
             // Each failure is followed by a pause of 100 ms before the next try.
             const auto tries = AcceptTries();
             std::size_t soon = 0;
             for (std::size_t i = 1; i < tries.size(); ++i)
                 soon += tries[i - 1].error == EMFILE &&
                         tries[i].start - tries[i - 1].end < milliseconds(100);
             EXPECT_EQ(soon, 0u) << "tries sooner than 100 ms after a failure, of " << tries.size();
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto run = [&c] {
            Hello hello;
            StreamServer server;
            server.SetRequestLimits(c.perAddress, c.total, c.deadline);
            std::uint32_t port = 0;
            ASSERT_EQ(server.Open(&port, &hello), S_OK);
            c.run(port);
            server.Close();
        };
        if (!c.ownNetwork) {
            run();
        } else if (!testsupport::InNetworkOfItsOwn(
                       {"2001:db8:1::3", "2001:db8:1::4", "2001:db8:1::5", "2001:db8:2::3"}, run)) {
            if (testsupport::SkipsFail()) ADD_FAILURE() << "no network namespace can be made here";
        }
    }
}

// Many silent connections from one address, reopened as soon as they are
// dropped, while viewers from another address watch: the viewers get the
// header and the data, and still count against the maximum as before.
TEST(StreamServerRequestLimits, SilentConnectionsFromOneAddressLeaveViewersTheirStream) {
    // The test holds both ends of every connection.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    ::getrlimit(RLIMIT_NOFILE, &files);
    const std::size_t silentCount = std::min<std::size_t>(1100, files.rlim_cur - 300);
    ASSERT_GT(silentCount, 2 * StreamServer::kMaxAwaitingPerAddress) << "too few descriptors";

    IWMWriterNetworkSink* raw = nullptr;
    ASSERT_EQ(WMCreateWriterNetworkSink(&raw), S_OK);
    auto sink = RefPtr<IWMWriterNetworkSink>::Adopt(raw);
    IWMClientConnections* rawConnections = nullptr;
    ASSERT_EQ(sink->QueryInterface(&rawConnections), S_OK);
    auto connections = RefPtr<IWMClientConnections>::Adopt(rawConnections);
    std::uint32_t port = 0;
    ASSERT_EQ(sink->Open(&port), S_OK);
    ASSERT_EQ(sink->SetMaximumClients(3), S_OK);
    const std::string header(64, 'H');
    ASSERT_EQ(
        sink->OnHeader(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), 100, 0),
        S_OK);

    std::atomic<bool> attacking{true};
    std::atomic<std::size_t> opened{0}, dropped{0};
    std::thread attacker([&] {
        std::vector<UniqueFd> silent(silentCount);
        while (attacking) {
            for (UniqueFd& fd : silent) {
                if (fd && Look(fd.Get()) != Seen::Closed) continue;
                if (fd) ++dropped;
                fd = Connect(port, 0, "127.0.0.2");
                if (fd) ++opened;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });

    // The address holds its bound and every other connection is dropped.
    EXPECT_TRUE(WaitFor(
        [&] { return dropped >= silentCount - StreamServer::kMaxAwaitingPerAddress; }, 60000));

    std::vector<UniqueFd> viewers;
    for (int i = 0; i < 3; ++i) {
        viewers.push_back(Connect(port, 0, "127.0.0.1"));
        ASSERT_TRUE(viewers.back());
        ASSERT_TRUE(SendAll(viewers.back().Get(), kRequest));
    }
    for (UniqueFd& viewer : viewers) {
        std::string got;
        WaitFor(
            [&] {
                got += ReadSome(viewer.Get(), 1 << 16, 100);
                return got.find(header) != std::string::npos;
            },
            20000);
        EXPECT_EQ(got.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << got.substr(0, 40);
        EXPECT_NE(got.find(header), std::string::npos);
    }
    EXPECT_TRUE(WaitFor(
        [&] {
            std::uint32_t count = 0;
            connections->GetClientCount(&count);
            return count == 3;
        },
        10000));
    // A fourth viewer finds the maximum reached, as ever.
    UniqueFd fourth = Connect(port, 0, "127.0.0.1");
    ASSERT_TRUE(SendAll(fourth.Get(), kRequest));
    EXPECT_EQ(ReadSome(fourth.Get(), 12, 10000), "HTTP/1.0 503");

    const std::size_t droppedBefore = dropped;
    const std::string packets(300, 'd');
    ASSERT_EQ(
        sink->OnDataUnit(reinterpret_cast<const std::uint8_t*>(packets.data()), packets.size()),
        S_OK);
    for (UniqueFd& viewer : viewers) {
        std::string got;
        WaitFor(
            [&] {
                got += ReadSome(viewer.Get(), 1 << 16, 100);
                return got.find(packets) != std::string::npos;
            },
            20000);
        EXPECT_NE(got.find(packets), std::string::npos) << "the data reaches every viewer";
    }
    EXPECT_TRUE(WaitFor([&] { return dropped > droppedBefore; }, 20000))
        << "the attack went on meanwhile";
    attacking = false;
    attacker.join();
    EXPECT_EQ(sink->Close(), S_OK);
}

}  // namespace
