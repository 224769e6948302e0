#pragma once
// Helpers shared by the web server tests: a private folder per test (the
// state folder included) and response reading; client sockets come from
// tests/support/Sockets.h.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/UniqueHandle.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Wait.h"
#include "web/EventServer.h"
#include "web/ServerLog.h"

namespace webtest {

namespace fs = std::filesystem;

using testsupport::ConnectLoopback;
using testsupport::SendAll;
using testsupport::WaitUntil;

// A fresh temporary folder with a document root inside, and XDG_STATE_HOME
// pointed at it so the server log never touches the real state folder.
class SiteFolder {
  public:
    SiteFolder() {
        fs::create_directories(Docs());
        fs::create_directories(folder_.Path() / "state");
        setenv("XDG_STATE_HOME", (folder_.Path() / "state").c_str(), 1);
    }
    fs::path Docs() const { return folder_.Path() / "docs"; }
    fs::path LogPath() const { return folder_.Path() / "state" / "lumacast" / kServerLogFile; }

    void Write(const std::string& name, const std::string& bytes) const {
        fs::create_directories((Docs() / name).parent_path());
        testsupport::WriteWholeFile(Docs() / name, bytes);
    }
    std::string Log() const { return testsupport::ReadWholeFile(LogPath()); }

  private:
    testsupport::TempFolder folder_{"lumaweb"};
};

// Receives up to count bytes, waiting at most timeoutMs for each piece.
// Returns what came before the peer closed or went quiet.
inline std::string Receive(int fd, std::size_t count, int timeoutMs = 5000) {
    std::string bytes;
    char buffer[65536];
    while (bytes.size() < count) {
        pollfd event{fd, POLLIN, 0};
        if (poll(&event, 1, timeoutMs) <= 0) break;
        const ssize_t got = recv(fd, buffer, std::min(sizeof buffer, count - bytes.size()), 0);
        if (got <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(got));
    }
    return bytes;
}

// True when the peer closes the connection within timeoutMs without sending.
inline bool ClosedWithoutData(int fd, int timeoutMs = 5000) {
    pollfd event{fd, POLLIN, 0};
    if (poll(&event, 1, timeoutMs) <= 0) return false;
    char byte;
    return recv(fd, &byte, 1, 0) == 0;
}

struct HttpReply {
    std::string head;  // status line and headers, without the blank line
    std::string body;
    std::optional<std::string> Header(const std::string& name) const {
        const std::string key = "\r\n" + name + ": ";
        const std::size_t at = head.find(key);
        if (at == std::string::npos) return std::nullopt;
        const std::size_t start = at + key.size();
        return head.substr(start, head.find("\r\n", start) - start);
    }
    std::string StatusLine() const { return head.substr(0, head.find("\r\n")); }
};

// Reads one response: the head, then exactly Content-Length bytes of body.
inline std::optional<HttpReply> ReadReply(int fd, int timeoutMs = 5000) {
    std::string bytes;
    std::size_t end;
    while ((end = bytes.find("\r\n\r\n")) == std::string::npos) {
        const std::string more = Receive(fd, 1, timeoutMs);
        if (more.empty()) return std::nullopt;
        bytes += more;
    }
    HttpReply reply{bytes.substr(0, end), bytes.substr(end + 4)};
    const auto length = reply.Header("Content-Length");
    if (!length) return std::nullopt;
    const std::size_t want = std::stoull(*length);
    if (reply.body.size() < want) reply.body += Receive(fd, want - reply.body.size(), timeoutMs);
    if (reply.body.size() != want) return std::nullopt;
    return reply;
}

}  // namespace webtest
