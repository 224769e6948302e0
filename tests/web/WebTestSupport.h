#pragma once
// Helpers shared by the web server tests: a private folder per test (the
// state folder included), raw client sockets and response reading.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/UniqueHandle.h"
#include "web/EventServer.h"
#include "web/ServerLog.h"

namespace webtest {

namespace fs = std::filesystem;

// A fresh temporary folder with a document root inside, and XDG_STATE_HOME
// pointed at it so the server log never touches the real state folder.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "lumaweb-XXXXXX").string();
        root_ = mkdtemp(pattern.data());
        fs::create_directories(root_ / "docs");
        fs::create_directories(root_ / "state");
        setenv("XDG_STATE_HOME", (root_ / "state").c_str(), 1);
    }
    ~TempFolder() {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
    }
    fs::path Docs() const { return root_ / "docs"; }
    fs::path LogPath() const { return root_ / "state" / "lumacast" / kServerLogFile; }

    void Write(const std::string& name, const std::string& bytes) const {
        fs::create_directories((Docs() / name).parent_path());
        std::ofstream(Docs() / name, std::ios::binary) << bytes;
    }
    std::string Log() const {
        std::ifstream in(LogPath(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    fs::path root_;
};

// Connects to port on loopback from the loopback address from (every
// 127.x.y.z address is the machine itself, so tests play several clients).
inline UniqueFd Connect(int port, const char* from = "127.0.0.1") {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from, &local.sin_addr);
    if (bind(fd.Get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return {};
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return {};
    return fd;
}

// Waits up to timeoutMs for condition to hold.
template <typename Condition>
bool WaitFor(Condition condition, int timeoutMs = 10000) {
    for (int waited = 0; !condition(); waited += 10) {
        if (waited >= timeoutMs) return false;
        usleep(10000);
    }
    return true;
}

inline bool SendAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        done += static_cast<std::size_t>(sent);
    }
    return true;
}

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
