// The web server end to end over loopback sockets, as a browser or player
// meets it.

#include <gtest/gtest.h>

#include <fstream>

#include "WebTestSupport.h"
#include "web/HttpServer.h"

namespace {

using namespace webtest;

class HttpServerSocketTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("index.htm", "<html>index</html>");
        folder_.Write("fnf.html", "<p>missing</p>");
        folder_.Write("lumasrv.cfg", "settings");
        ASSERT_TRUE(server_.Start(folder_.Docs().string(), "index.htm", 0, 30000));
    }

    UniqueFd Open() {
        auto client = ConnectLoopback(server_.Port());
        EXPECT_TRUE(client);
        return client;
    }

    // Writes a file of size bytes with a pattern that shows misplaced bytes.
    void WritePattern(const std::string& name, std::size_t size) {
        std::ofstream out(folder_.Docs() / name, std::ios::binary);
        std::string block(1 << 20, '\0');
        for (std::size_t done = 0; done < size; done += block.size()) {
            for (std::size_t i = 0; i < block.size(); ++i) block[i] = Pattern(done + i);
            out.write(block.data(),
                      static_cast<std::streamsize>(std::min(block.size(), size - done)));
        }
    }
    static char Pattern(std::size_t offset) { return static_cast<char>((offset * 131) >> 7); }

    static long PeakMemoryKb() {
        std::ifstream status("/proc/self/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
        }
        return -1;
    }

    SiteFolder folder_;
    HttpServer server_{ServedFiles{{}, {""}}, HttpServer::PrivateFilesOf("lumasrv.bin")};
};

TEST_F(HttpServerSocketTest, KeepAliveServesSeveralRequestsThenA404Closes) {
    auto client = Open();
    for (int i = 0; i < 3; ++i) {
        // Only the first request carries the marker; the flag stays raised.
        const std::string request = i == 0 ? "GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"
                                           : "GET /index.htm HTTP/1.1\r\n\r\n";
        ASSERT_TRUE(SendAll(client.Get(), request));
        const auto reply = ReadReply(client.Get());
        ASSERT_TRUE(reply) << "request " << i;
        EXPECT_EQ(reply->Header("Connection"), "Keep-Alive");
        EXPECT_EQ(reply->body, "<html>index</html>");
    }
    ASSERT_TRUE(SendAll(client.Get(), "GET /missing HTTP/1.1\r\n\r\n"));
    const auto reply = ReadReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->StatusLine(), "HTTP/1.0 404 Resource not found");
    EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
}

TEST_F(HttpServerSocketTest, WithoutKeepAliveTheConnectionClosesAfterTheResponse) {
    auto client = Open();
    ASSERT_TRUE(SendAll(client.Get(), "GET / HTTP/1.0\r\n\r\n"));
    const auto reply = ReadReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->Header("Connection"), "close");
    EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
}

TEST_F(HttpServerSocketTest, MalformedRequestsGetTheirAnswers) {
    struct Case {
        const char* name;
        std::string request;
        std::string statusLine;  // empty: closed without any response
    };
    const std::vector<Case> cases = {
        {"no space at all", "GARBAGE\r\n\r\n", ""},
        {"dot-dot path", "GET /../x HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Resource not found"},
        {"private configuration", "GET /lumasrv.cfg HTTP/1.0\r\n\r\n",
         "HTTP/1.0 404 Resource not found"},
        {"unknown method", "DELETE / HTTP/1.0\r\n\r\n", "HTTP/1.0 404 Resource not found"},
        {"binary junk with a space", std::string("\x01\x02 \xff\xfe\r\n\r\n", 9),
         "HTTP/1.0 404 Resource not found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = Open();
        ASSERT_TRUE(SendAll(client.Get(), c.request));
        if (c.statusLine.empty()) {
            EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
        } else {
            const auto reply = ReadReply(client.Get());
            ASSERT_TRUE(reply);
            EXPECT_EQ(reply->StatusLine(), c.statusLine);
            EXPECT_EQ(reply->body, "<p>missing</p>");
        }
    }
}

TEST_F(HttpServerSocketTest, LargeFilesArriveWholeWithBoundedMemory) {
    for (const std::size_t size : {std::size_t{1} << 20, std::size_t{64} << 20}) {
        SCOPED_TRACE(size);
        WritePattern("big.bin", size);
        const long peakBefore = PeakMemoryKb();

        auto client = Open();
        ASSERT_TRUE(SendAll(client.Get(), "GET /big.bin HTTP/1.0\r\n\r\n"));
        std::string head;
        while (head.find("\r\n\r\n") == std::string::npos) {
            const std::string more = webtest::Receive(client.Get(), 1);
            ASSERT_FALSE(more.empty());
            head += more;
        }
        const std::size_t bodyStart = head.find("\r\n\r\n") + 4;
        EXPECT_NE(head.find("\r\nContent-Length: " + std::to_string(size) + "\r\n"),
                  std::string::npos);
        EXPECT_NE(head.find("\r\nContent-Type: application/octet-stream\r\n"), std::string::npos);

        // Read and check the body piece by piece, so the test holds no copy,
        // until the server closes or has sent nothing for 10 s.
        std::size_t received = head.size() - bodyStart;
        std::size_t mismatches = 0;
        char buffer[1 << 16];
        bool closed = false;
        for (;;) {
            pollfd event{client.Get(), POLLIN, 0};
            if (poll(&event, 1, 10000) <= 0) break;
            const ssize_t got = recv(client.Get(), buffer, sizeof buffer, 0);
            if (got <= 0) {
                closed = true;
                break;
            }
            for (ssize_t i = 0; i < got; ++i) mismatches += buffer[i] != Pattern(received + i);
            received += static_cast<std::size_t>(got);
        }
        EXPECT_TRUE(closed) << "the server went quiet after " << received << " bytes";
        EXPECT_EQ(received, size);
        EXPECT_EQ(mismatches, 0u);
        // The server process and this client share one address space: a copy of
        // the file anywhere would show here.
        EXPECT_LT(PeakMemoryKb() - peakBefore, 16 * 1024);
    }
}

}  // namespace
