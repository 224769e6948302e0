// The connection engine over real sockets: time limits, shutdown, start-up
// failures, the log, and request framing.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "WebTestSupport.h"
#include "platform/Clock.h"
#include "web/HttpServer.h"

namespace {

using namespace webtest;

std::atomic<int> g_liveClientThreads{0};

// Counts the connection threads that are still alive: it is built on a
// connection thread and dies with it.
struct ThreadWitness {
    ThreadWitness() { ++g_liveClientThreads; }
    ~ThreadWitness() { --g_liveClientThreads; }
};

// Answers every request with "ok:" plus the request; "close" in a request
// ends the connection after the answer. A request with "slow" takes 300 ms.
class ProbeServer : public EventServer {
  public:
    ~ProbeServer() override { Shutdown(); }

    std::atomic<int> connected{0};
    std::atomic<int> sent{0};
    std::atomic<int> slowBegun{0};
    std::string lastPeer;

  protected:
    int OnClientConnected(const char* ipText, std::uint16_t) override {
        lastPeer = ipText;
        ++connected;
        return 0;
    }
    void OnDataSent(std::uint64_t) override { ++sent; }
    std::size_t IsRequestComplete(const std::string& request) override {
        const std::size_t end = request.find('\n');
        return end == std::string::npos ? 0 : end + 1;
    }
    bool ProcessRequest(const std::string&, const std::string& request, ServerResponse& response,
                        int& keepAlive) override {
        thread_local ThreadWitness witness;
        if (request.find("slow") != std::string::npos) {
            ++slowBegun;
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        keepAlive = request.find("close") == std::string::npos;
        response.head = "ok:" + request;
        return true;
    }
};

TEST(EventServerTest, IdleConnectionIsClosedWithoutResponseOrLogLine) {
    SiteFolder folder;
    ProbeServer server;
    ASSERT_TRUE(server.Run(0, 200));
    auto client = ConnectLoopback(server.Port());
    ASSERT_TRUE(client);
    EXPECT_TRUE(webtest::ClosedWithoutData(client.Get(), 5000));
    EXPECT_EQ(server.sent, 0);
    EXPECT_TRUE(server.Shutdown());
    EXPECT_FALSE(webtest::fs::exists(folder.LogPath())) << folder.Log();
}

TEST(EventServerTest, ServesSeveralRequestsOnOneConnectionUntilClose) {
    SiteFolder folder;
    ProbeServer server;
    ASSERT_TRUE(server.Run(0, 0));
    auto client = ConnectLoopback(server.Port());
    ASSERT_TRUE(client);
    for (const std::string request : {"one\n", "two\n"}) {
        ASSERT_TRUE(SendAll(client.Get(), request));
        EXPECT_EQ(webtest::Receive(client.Get(), 3 + request.size()), "ok:" + request);
    }
    ASSERT_TRUE(SendAll(client.Get(), "close\n"));
    EXPECT_EQ(webtest::Receive(client.Get(), 100), "ok:close\n");
    EXPECT_EQ(server.connected, 1);
    EXPECT_EQ(server.lastPeer, "127.0.0.1");
}

TEST(EventServerTest, ShutdownReturnsOnlyAfterEveryClientThreadIsGone) {
    SiteFolder folder;
    ProbeServer server;
    ASSERT_TRUE(server.Run(0, 0));
    std::vector<UniqueFd> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(ConnectLoopback(server.Port()));
        ASSERT_TRUE(SendAll(clients.back().Get(), "hello\n"));
        EXPECT_EQ(webtest::Receive(clients.back().Get(), 9), "ok:hello\n");
    }
    // One connection is busy with a request while the server stops.
    ASSERT_TRUE(SendAll(clients.back().Get(), "slow\n"));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return server.slowBegun > 0; }));
    EXPECT_EQ(server.ClientCount(), 6u);
    EXPECT_GT(g_liveClientThreads.load(), 0);

    EXPECT_TRUE(server.Shutdown());
    EXPECT_EQ(server.ClientCount(), 0u);
    EXPECT_EQ(g_liveClientThreads.load(), 0);
    for (auto& client : clients) {
        // Whatever was still on its way, the connection ends.
        webtest::Receive(client.Get(), 1 << 20, 2000);
        char byte;
        EXPECT_EQ(recv(client.Get(), &byte, 1, MSG_DONTWAIT), 0);
    }
    EXPECT_FALSE(server.Shutdown());
}

TEST(EventServerTest, ShutdownOfAServerThatNeverRanDoesNothing) {
    SiteFolder folder;
    ProbeServer server;
    EXPECT_FALSE(server.Shutdown());
    EXPECT_FALSE(webtest::fs::exists(folder.LogPath()));
}

TEST(EventServerTest, PortInUseLogsBothLinesAndFailsAfterTheStartupWait) {
    SiteFolder folder;
    ProbeServer holder;
    ASSERT_TRUE(holder.Run(0, 0));

    ProbeServer server;
    const std::uint32_t before = timeGetTime();
    EXPECT_FALSE(server.Run(holder.Port(), 0));
    // It gives the accept thread its whole wait, however long the machine
    // takes beyond it.
    EXPECT_GE(timeGetTime() - before, 2000u);

    const std::regex lines(
        "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} - bind\\(\\.\\.\\.\\) "
        "failure\\.\t\\[AcceptThread\\]\t\\[" +
        std::to_string(EADDRINUSE) +
        "\\]\n"
        "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} - Unable to get response "
        "from Accept Thread withing specified Timeout ->\\.\t\\[Run\\]\t\\[2000\\]\n");
    EXPECT_TRUE(std::regex_match(folder.Log(), lines)) << folder.Log();
    EXPECT_FALSE(server.Shutdown());
}

TEST(EventServerTest, RunWhileRunningIsRefusedAndLogged) {
    SiteFolder folder;
    ProbeServer server;
    ASSERT_TRUE(server.Run(0, 0));
    EXPECT_FALSE(server.Run(0, 0));
    EXPECT_NE(folder.Log().find("_beginthreadex(...) failure, for Launch Thread.\t[Run]\t["),
              std::string::npos);
}

TEST(EventServerTest, EndlessRequestIsClosedWithoutResponse) {
    SiteFolder folder;
    HttpServer server(ServedFiles{{"index.htm"}, {}});
    folder.Write("index.htm", "page");
    ASSERT_TRUE(server.Start(folder.Docs().string(), "index.htm", 0, 0));
    auto client = ConnectLoopback(server.Port());
    ASSERT_TRUE(client);
    const std::string line = "X-Filler: " + std::string(1000, 'a') + "\r\n";
    std::string request = "GET / HTTP/1.0\r\n";
    while (request.size() <= EventServer::kMaxRequestBytes) request += line;
    // The sending may fail part way once the server has hung up.
    SendAll(client.Get(), request);
    EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
    EXPECT_TRUE(server.Shutdown());
}

TEST(EventServerTest, RequestInSegmentsIsAnsweredOnceWhenComplete) {
    SiteFolder folder;
    HttpServer server(ServedFiles{{"index.htm"}, {}});
    folder.Write("index.htm", "page");
    ASSERT_TRUE(server.Start(folder.Docs().string(), "index.htm", 0, 0));
    auto client = ConnectLoopback(server.Port());
    ASSERT_TRUE(client);
    for (const char* segment : {"GET / HT", "TP/1.0\r\n", "Host: x\r\n", "\r\n"}) {
        EXPECT_EQ(webtest::Receive(client.Get(), 1, 100), "") << "answered early";
        ASSERT_TRUE(SendAll(client.Get(), segment));
    }
    const auto reply = webtest::ReadReply(client.Get());
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->body, "page");
    EXPECT_TRUE(webtest::ClosedWithoutData(client.Get()));
}

TEST(ServerLogTest, LinesHaveTheirFormatWithAndWithoutWhere) {
    SiteFolder folder;
    ServerLog log;
    EXPECT_TRUE(log.WriteLog(kServerLogFile, "bind(...) failure", "AcceptThread", 98));
    EXPECT_TRUE(log.WriteLog(kServerLogFile, "Something", nullptr, -5));
    EXPECT_FALSE(log.WriteLog(kServerLogFile, "", "Run", 1));
    EXPECT_FALSE(log.WriteLog("", "message", "Run", 1));
    const std::string stamp = "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2}";
    const std::regex lines(stamp +
                           " - bind\\(\\.\\.\\.\\) failure\\.\t\\[AcceptThread\\]\t\\[98\\]\n" +
                           stamp + " - Something\\.\t\\[-5\\]\n");
    EXPECT_TRUE(std::regex_match(folder.Log(), lines)) << folder.Log();
}

TEST(ServerLogTest, UnwritableStateFolderIsSkippedQuietly) {
    SiteFolder folder;
    setenv("XDG_STATE_HOME", "/proc/no-such-place", 1);
    ServerLog log;
    EXPECT_FALSE(log.WriteLog(kServerLogFile, "message", "Run", 1));
}

TEST(ServerLogTest, LinesFromManyThreadsStayWhole) {
    SiteFolder folder;
    ServerLog log;
    constexpr int kThreads = 8;
    constexpr int kLines = 150;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([&log, t] {
            const std::string message = "message from thread " + std::to_string(t) + " " +
                                        std::string(200, static_cast<char>('a' + t));
            for (int i = 0; i < kLines; ++i)
                log.WriteLog(kServerLogFile, message.c_str(), "Test", i);
        });
    }
    for (auto& writer : writers) writer.join();

    std::istringstream text(folder.Log());
    const std::regex line(
        "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} - message from thread "
        "(\\d) ([a-h])+\\.\t\\[Test\\]\t\\[\\d+\\]");
    int count = 0;
    for (std::string entry; std::getline(text, entry); ++count) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(entry, match, line)) << entry;
        EXPECT_EQ(match[2].str()[0], 'a' + std::stoi(match[1].str()));
    }
    EXPECT_EQ(count, kThreads * kLines);
}

TEST(ServerLogTest, TheLogNeverPassesItsLimitAndKeepsOneOldFile) {
    SiteFolder folder;
    ServerLog log;
    const std::string oldPath = folder.LogPath().string() + ServerLog::kOldLogSuffix;
    const std::string message = "WSASend(...) failure " + std::string(150, 'x');
    // Distinct codes, so that no line counts as a repeat: about 2.6 MiB.
    std::uintmax_t largest = 0;
    int line = 0;
    for (; line < 14000; ++line) {
        ASSERT_TRUE(log.WriteLog(kServerLogFile, message.c_str(), "ClientThread", line));
        if (line % 500 == 0) largest = std::max(largest, webtest::fs::file_size(folder.LogPath()));
    }
    largest = std::max(largest, webtest::fs::file_size(folder.LogPath()));
    EXPECT_LE(largest, ServerLog::kMaxLogBytes);
    ASSERT_TRUE(webtest::fs::exists(oldPath));
    EXPECT_LE(webtest::fs::file_size(oldPath), ServerLog::kMaxLogBytes);
    EXPECT_GT(webtest::fs::file_size(oldPath), ServerLog::kMaxLogBytes - 1024);
    EXPECT_FALSE(webtest::fs::exists(folder.LogPath().string() + ".2"));

    // Both files hold whole lines; the old one ends where the new one begins.
    std::ifstream oldFile(oldPath);
    std::string last;
    for (std::string entry; std::getline(oldFile, entry);) last = entry;
    std::istringstream current(folder.Log());
    std::string first;
    std::getline(current, first);
    const std::regex code(".*\t\\[ClientThread\\]\t\\[(\\d+)\\]");
    std::smatch lastCode, firstCode;
    ASSERT_TRUE(std::regex_match(last, lastCode, code)) << last;
    ASSERT_TRUE(std::regex_match(first, firstCode, code)) << first;
    EXPECT_EQ(std::stoi(firstCode[1]), std::stoi(lastCode[1]) + 1);
    EXPECT_NE(folder.Log().find("\t[" + std::to_string(line - 1) + "]\n"), std::string::npos);
}

TEST(ServerLogTest, RepeatsAreCountedAndWrittenOnceTheirWindowHasPassed) {
    SiteFolder folder;
    const std::string stamp = "[A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} - ";
    {
        // Within a window longer than any test: every repeat is counted.
        ServerLog log(std::chrono::hours(1));
        for (int i = 0; i < 500; ++i) {
            EXPECT_TRUE(log.WriteLog(kServerLogFile, "WSARecv(...) failure", "ClientThread", 104));
            EXPECT_TRUE(log.WriteLog(kServerLogFile, "Thread not found in the list", nullptr, 0));
        }
        // A different code is a different failure.
        log.WriteLog(kServerLogFile, "WSARecv(...) failure", "ClientThread", 110);
        log.FlushRepeats();
        const std::string soFar = folder.Log();
        EXPECT_EQ(std::count(soFar.begin(), soFar.end(), '\n'), 3) << soFar;
    }  // the counts are written when the log goes
    const std::regex counted(
        stamp + "WSARecv\\(\\.\\.\\.\\) failure\\.\t\\[ClientThread\\]\t\\[104\\]\n" + stamp +
        "Thread not found in the list\\.\t\\[0\\]\n" + stamp +
        "WSARecv\\(\\.\\.\\.\\) failure\\.\t\\[ClientThread\\]\t\\[110\\]\n" + stamp +
        "WSARecv\\(\\.\\.\\.\\) failure \\(499 more times\\)\\.\t\\[ClientThread\\]\t\\[104\\]\n" +
        stamp + "Thread not found in the list \\(499 more times\\)\\.\t\\[0\\]\n");
    EXPECT_TRUE(std::regex_match(folder.Log(), counted)) << folder.Log();

    // Once its window has passed, a count is written when the log is next
    // flushed, and a new burst starts with a line of its own.
    webtest::fs::remove(folder.LogPath());
    {
        ServerLog log(std::chrono::milliseconds(300));
        log.WriteLog(kServerLogFile, "WSARecv(...) failure", "ClientThread", 104);
        log.WriteLog(kServerLogFile, "WSARecv(...) failure", "ClientThread", 104);
        EXPECT_TRUE(testsupport::WaitUntil([&] {
            log.FlushRepeats();
            return folder.Log().find("(1 more times)") != std::string::npos;
        })) << folder.Log();
        log.WriteLog(kServerLogFile, "WSARecv(...) failure", "ClientThread", 104);
    }
    const std::regex windowed(
        stamp + "WSARecv\\(\\.\\.\\.\\) failure\\.\t\\[ClientThread\\]\t\\[104\\]\n" + stamp +
        "WSARecv\\(\\.\\.\\.\\) failure \\(1 more times\\)\\.\t\\[ClientThread\\]\t\\[104\\]\n" +
        stamp + "WSARecv\\(\\.\\.\\.\\) failure\\.\t\\[ClientThread\\]\t\\[104\\]\n");
    EXPECT_TRUE(std::regex_match(folder.Log(), windowed)) << folder.Log();
}

}  // namespace
