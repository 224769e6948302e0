// The web server against clients that misbehave, on purpose or not: requests
// that drip in, too many connections from one address or in all, several
// requests in one packet, bare line feeds and floods of bad requests.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <thread>
#include <vector>

#include "WebTestSupport.h"
#include "web/HttpServer.h"
#include "web/OpenFileLimit.h"

namespace {

using namespace webtest;

class HostileClientTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("index.htm", "<html>index</html>");
        folder_.Write("other.htm", "<html>other</html>");
        folder_.Write("fnf.html", "<p>missing</p>");
    }

    void Start(std::uint32_t timeoutMs) {
        ASSERT_TRUE(server_.Start(folder_.Docs().string(), "index.htm", 0, timeoutMs));
    }

    // True when a page request from address is answered with the index page.
    bool ServesPage(const char* from) {
        auto client = ConnectLoopback(server_.Port(), from);
        if (!client || !SendAll(client.Get(), "GET / HTTP/1.0\r\n\r\n")) return false;
        const auto reply = ReadReply(client.Get());
        return reply && reply->body == "<html>index</html>";
    }

    // How many of clients the server has closed, waiting until expected have
    // been or timeoutMs has passed.
    static std::size_t CountClosed(std::vector<UniqueFd>& clients, std::size_t expected,
                                   int timeoutMs = 5000) {
        std::vector<bool> closed(clients.size());
        std::size_t count = 0;
        WaitUntil(
            [&] {
                for (std::size_t i = 0; i < clients.size(); ++i) {
                    char byte;
                    if (!closed[i] && recv(clients[i].Get(), &byte, 1, MSG_DONTWAIT) == 0) {
                        closed[i] = true;
                        ++count;
                    }
                }
                return count >= expected;
            },
            std::chrono::milliseconds(timeoutMs));
        return count;
    }

    SiteFolder folder_;
    HttpServer server_{ServedFiles{{}, {""}}, HttpServer::PrivateFilesOf("lumasrv.bin")};
};

TEST_F(HostileClientTest, ARequestMustBeWholeWithinTheLimitOfItsFirstByte) {
    Start(2000);
    // One byte every 300 ms never leaves the connection idle for the limit,
    // yet the request is still incomplete when the limit has passed.
    auto dripping = ConnectLoopback(server_.Port());
    ASSERT_TRUE(dripping);
    const std::string request = "GET / HTTP/1.0\r\nX-Filler: " + std::string(200, 'a');
    bool closed = false;
    const auto started = std::chrono::steady_clock::now();
    for (char byte : request) {
        if (!SendAll(dripping.Get(), std::string(1, byte))) break;
        char got;
        const ssize_t answer = recv(dripping.Get(), &got, 1, MSG_DONTWAIT);
        ASSERT_NE(answer, 1) << "answered an incomplete request";
        if (answer == 0) {
            closed = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    closed = closed || webtest::ClosedWithoutData(dripping.Get());
    EXPECT_TRUE(closed) << "still open after "
                        << std::chrono::duration_cast<std::chrono::seconds>(
                               std::chrono::steady_clock::now() - started)
                               .count()
                        << " s";

    // A request that drips in but is whole in time is answered.
    auto slow = ConnectLoopback(server_.Port());
    ASSERT_TRUE(slow);
    for (const char* piece : {"GET / ", "HTTP/1.0\r\n", "\r\n"}) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(SendAll(slow.Get(), piece));
    }
    const auto reply = ReadReply(slow.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "<html>index</html>");
}

TEST_F(HostileClientTest, OneAddressHoldsABoundedNumberOfConnectionsAndOthersAreStillServed) {
    server_.SetConnectionLimits(4, 10);
    Start(30000);

    // Six idle connections from one address: four are kept, two are closed
    // at once.
    std::vector<UniqueFd> greedy;
    for (int i = 0; i < 6; ++i) {
        greedy.push_back(ConnectLoopback(server_.Port(), "127.0.0.2"));
        ASSERT_TRUE(greedy.back());
    }
    EXPECT_EQ(CountClosed(greedy, 2), 2u);
    EXPECT_TRUE(WaitUntil([&] { return server_.ClientCount() == 4; }));
    EXPECT_TRUE(ServesPage("127.0.0.1"));
    // The page's client has gone once the server has seen it close; until
    // then it would take one of the ten places.
    EXPECT_TRUE(WaitUntil([&] { return server_.ClientCount() == 4; }));

    // Two more addresses fill the total of ten; an eleventh connection, from
    // an address of its own, is refused.
    std::vector<UniqueFd> others;
    for (const char* from : {"127.0.0.3", "127.0.0.4"}) {
        for (int i = 0; i < 3; ++i) {
            others.push_back(ConnectLoopback(server_.Port(), from));
            ASSERT_TRUE(others.back());
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return server_.ClientCount() == 10; }));
    EXPECT_FALSE(ServesPage("127.0.0.5"));

    // Once the address lets go, it and everyone else are served again.
    greedy.clear();
    ASSERT_TRUE(WaitUntil([&] { return server_.ClientCount() == 6; }));
    EXPECT_TRUE(ServesPage("127.0.0.2"));
    EXPECT_TRUE(ServesPage("127.0.0.5"));

    server_.Shutdown();
    const std::string log = folder_.Log();
    EXPECT_NE(log.find(" - Too many connections from one address.\t[AddClient]\t[4]\n"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find(" - Too many connections.\t[AddClient]\t[10]\n"), std::string::npos) << log;
}

TEST_F(HostileClientTest, TheTotalBoundFollowsTheOpenFileLimit) {
    // A quarter of the open-file limit, between 16 and 512; 32 per address
    // whatever the limit.
    struct Case {
        rlim_t files;
        std::size_t total;
    };
    const Case cases[] = {{8192, 512}, {1024, 256}, {40, 16}};
    // In a child, so the test's own limit is left as it is. Its exit status
    // has a bit set for each case that failed.
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int failed = 0;
        for (std::size_t i = 0; i < std::size(cases); ++i) {
            const rlimit limit{cases[i].files, cases[i].files};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0) _exit(100);
            HttpServer server(ServedFiles{}, {});
            if (!server.Start(".", "index.htm", 0, 1000)) _exit(101);
            if (server.MaxClients() != cases[i].total || server.MaxClientsPerAddress() != 32)
                failed |= 1 << i;
            server.Shutdown();
        }
        _exit(failed);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: 8192 files, 2: 1024, 4: 40; 100, 101: no start";
}

TEST(OpenFileLimitTest, TheSoftLimitIsRaisedToTheHardLimit) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const rlimit low{64, 200};
        if (setrlimit(RLIMIT_NOFILE, &low) != 0) _exit(100);
        const std::uint64_t now = RaiseOpenFileLimit();
        rlimit after{};
        getrlimit(RLIMIT_NOFILE, &after);
        _exit(now == 200 && after.rlim_cur == 200 && after.rlim_max == 200 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(HostileClientTest, RequestsInOnePacketAreAnsweredInTurn) {
    Start(30000);
    const std::string keepAlive = "GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n";
    struct Case {
        const char* name;
        std::string packet;
        std::vector<std::string> bodies;  // the replies, in order
        bool closes;                      // the connection ends after them
    };
    const std::vector<Case> cases = {
        {"two behind a kept-alive one",
         keepAlive + "GET /other.htm HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n",
         {"<html>index</html>", "<html>other</html>", "<html>index</html>"},
         false},
        {"bare line feeds behind one",
         keepAlive + "GET /other.htm HTTP/1.0\n\n",
         {"<html>index</html>", "<html>other</html>"},
         false},
        {"a 404 ends the connection",
         keepAlive + "GET /gone HTTP/1.0\r\n\r\nGET / HTTP/1.0\r\n\r\n",
         {"<html>index</html>", "<p>missing</p>"},
         true},
        {"without keep-alive only the first",
         "GET / HTTP/1.0\r\n\r\nGET /other.htm HTTP/1.0\r\n\r\n",
         {"<html>index</html>"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = ConnectLoopback(server_.Port());
        ASSERT_TRUE(SendAll(client.Get(), c.packet));
        for (const std::string& body : c.bodies) {
            const auto reply = ReadReply(client.Get());
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->body, body);
        }
        if (c.closes) {
            EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
        } else {
            EXPECT_EQ(webtest::Receive(client.Get(), 1, 200), "") << "more than was asked for";
        }
    }

    // The rest of a request that came behind an answered one completes later.
    auto client = ConnectLoopback(server_.Port());
    ASSERT_TRUE(SendAll(client.Get(), keepAlive + "GET /other.htm HT"));
    auto reply = ReadReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "<html>index</html>");
    ASSERT_TRUE(SendAll(client.Get(), "TP/1.0\r\n\r\n"));
    reply = ReadReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "<html>other</html>");
}

TEST_F(HostileClientTest, BareLineFeedsEndARequestLikeCarriageReturnLineFeeds) {
    Start(30000);
    for (const std::string request :
         {"GET / HTTP/1.0\n\n", "GET / HTTP/1.0\nHost: x\n\n", "GET / HTTP/1.0\r\nHost: x\n\r\n"}) {
        SCOPED_TRACE(request);
        auto client = ConnectLoopback(server_.Port());
        ASSERT_TRUE(SendAll(client.Get(), request));
        const auto reply = ReadReply(client.Get(), 5000);
        ASSERT_TRUE(reply);
        EXPECT_EQ(reply->StatusLine(), "HTTP/1.0 200 OK");
        EXPECT_EQ(reply->body, "<html>index</html>");
    }
}

TEST_F(HostileClientTest, AFloodOfBadRequestsLeavesOneLineAndACount) {
    Start(30000);
    constexpr int kRequests = 300;
    for (int i = 0; i < kRequests; ++i) {
        auto client = ConnectLoopback(server_.Port());
        ASSERT_TRUE(client);
        ASSERT_TRUE(SendAll(client.Get(), "GARBAGE\r\n\r\n"));
        ASSERT_TRUE(webtest::ClosedWithoutData(client.Get()));
    }
    ASSERT_TRUE(server_.Shutdown());
    const std::string stamp = "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2}";
    const std::regex lines(
        stamp + " - No 'space' found in Request String #2\\.\t\\[ParseRequest\\]\t\\[0\\]\n" +
        stamp + " - No 'space' found in Request String #2 \\(" + std::to_string(kRequests - 1) +
        " more times\\)\\.\t\\[ParseRequest\\]\t\\[0\\]\n");
    EXPECT_TRUE(std::regex_match(folder_.Log(), lines)) << folder_.Log();
}

}  // namespace
