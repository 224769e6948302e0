#include "web/HttpServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "web/LogTexts.h"
#include "web/TimeText.h"

namespace {

constexpr const char* kServerBanner = "BrontelWebServer/0.1b";
constexpr const char* kFoundTemplate =
    "HTTP/1.0 %s\r\nDate: %s\r\nServer: %s\r\nAccept-Ranges: bytes\r\nContent-Length: %llu\r\n"
    "Connection: %s\r\nContent-Type: %s\r\nReferrer-Policy: no-referrer\r\n\r\n";
constexpr const char* kNotFoundTemplate =
    "HTTP/1.0 %s\r\nContent-Length: %llu\r\nContent-Type: text/html\r\nDate: %s\r\nServer: "
    "%s\r\nReferrer-Policy: no-referrer\r\n\r\n";
// A refusal of the access rule: its status, the length, the date, the
// server, its own header lines, then its text.
constexpr const char* kRefusedTemplate =
    "HTTP/1.0 %d %s\r\nContent-Length: %llu\r\nContent-Type: text/plain\r\nDate: %s\r\n"
    "Server: %s\r\nReferrer-Policy: no-referrer\r\nCache-Control: no-store\r\n%s\r\n";
constexpr const char* kStatusOk = "200 OK";
constexpr const char* kStatusNotFound = "404 Resource not found";
constexpr const char* kStatusNotImplemented = "501 Not Implemented";
constexpr const char* kNotFoundPage = "/fnf.html";
constexpr const char* kNotImplementedPage = "/mna.html";
constexpr const char* kKeepAliveMarker = "\nConnection: Keep-Alive";

// Opens a served file as the server always has: for reading and writing, so
// a file that may not be written counts as missing. Only regular files count.
UniqueFd OpenServedFile(const std::string& name, struct stat& info) {
    if (name.find('\0') != std::string::npos) return {};
    UniqueFd fd(open(name.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd || fstat(fd.Get(), &info) != 0 || !S_ISREG(info.st_mode)) return {};
    return fd;
}

// Reads up to length bytes from the start of fd; returns what could be read.
std::string ReadWhole(int fd, std::uint64_t length) {
    std::string bytes(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = pread(fd, bytes.data() + done, length - done, static_cast<off_t>(done));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        done += static_cast<std::size_t>(got);
    }
    bytes.resize(done);
    return bytes;
}

std::string Format(const char* format, auto... values) {
    const int length = std::snprintf(nullptr, 0, format, values...);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, format, values...);
    return text;
}

}  // namespace

HttpServer::HttpServer(ServedFiles served, std::vector<std::string> privateFiles,
                       std::chrono::milliseconds settle)
    : served_(std::move(served)),
      privateFiles_(std::move(privateFiles)),
      files_(settle, kInlineFileBytes) {
    FillMimeTypes(mimeTypes_);
}

// Connection threads call back into this object, so they must be gone
// before it is.
HttpServer::~HttpServer() {
    Shutdown();
}

std::vector<std::string> HttpServer::PrivateFilesOf(const std::string& programPath) {
    std::vector<std::string> names{"srvlist.cfg", "caplib.txt", "relay.cfg"};
    const std::string programName = programPath.substr(programPath.rfind('/') + 1);
    for (const char* suffix : {"cfg", "log"}) {
        if (const std::string name = ReplaceLastThree(programName, suffix); !name.empty()) {
            names.push_back(name);
        }
    }
    if (programName.size() >= 3 && programName.size() != programPath.size()) {
        for (const char* suffix : {"cfg", "log"})
            names.push_back(ReplaceLastThree(programPath, suffix));
    }
    return names;
}

bool HttpServer::Start(const std::string& documentRoot, const std::string& defaultPage, int port,
                       std::uint32_t clientTimeoutMs) {
    documentRoot_ = documentRoot;
    defaultPage_ = defaultPage;
    if (documentRoot_.empty() || documentRoot_.back() != '/') documentRoot_ += '/';
    return Run(port, clientTimeoutMs);
}

int HttpServer::OnClientConnected(const char*, std::uint16_t) {
    return 0;
}

void HttpServer::OnDataSent(std::uint64_t) {}

std::size_t HttpServer::IsRequestComplete(const std::string& request) {
    // The head ends at the first empty line: a line feed, perhaps a carriage
    // return, and a line feed. "\r\n\r\n" is the usual form.
    for (std::size_t feed = request.find('\n'); feed != std::string::npos;
         feed = request.find('\n', feed + 1)) {
        std::size_t next = feed + 1;
        if (next < request.size() && request[next] == '\r') ++next;
        if (next < request.size() && request[next] == '\n') return next + 1;
    }
    return 0;
}

bool HttpServer::ProcessRequest(const std::string& peer, const std::string& request,
                                ServerResponse& response, int& keepAlive) {
    return ParseRequest(request, response, keepAlive, peer);
}

bool HttpServer::IsPrivate(const struct stat& served) const {
    for (const std::string& name : privateFiles_) {
        struct stat hidden {};
        const std::string path = name.front() == '/' ? name : documentRoot_ + name;
        if (stat(path.c_str(), &hidden) == 0 && hidden.st_dev == served.st_dev &&
            hidden.st_ino == served.st_ino) {
            return true;
        }
    }
    return false;
}

bool HttpServer::ParseRequest(const std::string& request, ServerResponse& response, int& keepAlive,
                              const std::string& peer) {
    const char* status = kStatusOk;
    std::string contentType = kDefaultContentType;
    std::string path;
    std::string target;  // the path as asked, with its query

    const std::size_t firstSpace = request.find(' ');
    if (firstSpace == std::string::npos) {
        WriteLog(kServerLogFile, logtext::kNoSpace, "ParseRequest", 0);
        return false;
    }
    if (request.compare(0, firstSpace, "GET") != 0) {
        status = kStatusNotImplemented;
        path = kNotImplementedPage;
    } else {
        const std::size_t pathEnd = request.find(' ', firstSpace + 1);
        target =
            request.substr(firstSpace + 1, pathEnd == std::string::npos ? std::string::npos
                                                                        : pathEnd - firstSpace - 1);
        path = PathOf(target);
        if (path == "/") path = defaultPage_;
    }

    if (request.find(kKeepAliveMarker) != std::string::npos) keepAlive = 1;

    if (const std::size_t dot = path.rfind('.'); dot != std::string::npos) {
        std::string extension = path.substr(dot + 1);
        std::transform(extension.begin(), extension.end(), extension.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (const auto type = mimeTypes_.find(extension); type != mimeTypes_.end()) {
            contentType = type->second;
        }
    }

    const std::string date = web::HttpDateNow();

    for (std::size_t up = path.find(".."); up != std::string::npos; up = path.find("..")) {
        path.replace(up, 2, "//");
    }

    response.head.clear();
    response.body.Reset();
    response.bodyLength = 0;

    // The status pages are for everyone; the rest only for viewers let in.
    const bool statusPage = path == kNotFoundPage || path == kNotImplementedPage;
    if (access_ && !statusPage) {
        const AccessAnswer answer = access_->Admit(peer, target, request);
        if (!answer.Admitted()) {
            response.head = Format(kRefusedTemplate, answer.status, answer.reason.c_str(),
                                   static_cast<unsigned long long>(answer.text.size()),
                                   date.c_str(), kServerBanner, answer.headers.c_str());
            response.head += answer.text;
            keepAlive = 0;
            return true;
        }
    }

    const char* connection = keepAlive ? "Keep-Alive" : "close";
    const auto inlineResponse = [&](const std::string& bytes) {
        response.head =
            Format(kFoundTemplate, status, date.c_str(), kServerBanner,
                   static_cast<unsigned long long>(bytes.size()), connection, contentType.c_str());
        response.head += bytes;
    };
    const std::string served = documentRoot_ + path;
    // Only what the set names goes out, and never a hidden name in it: a
    // save's fresh file is one (the settings and the relay's key while they
    // are written).
    const bool refused =
        path.rfind('.', 0) == 0 || path.find("/.") != std::string::npos || !served_.Serves(path);
    // A page served before and unchanged since: one stat, no open, no read.
    if (const SmallFileCache::Bytes kept = refused ? nullptr : files_.Find(served)) {
        inlineResponse(*kept);
        return true;
    }
    struct stat info {};
    UniqueFd file = refused ? UniqueFd() : OpenServedFile(served, info);
    if (file && !IsPrivate(info)) {
        const auto size = static_cast<std::uint64_t>(info.st_size);
        if (size <= kInlineFileBytes) {
            const std::string bytes = ReadWhole(file.Get(), size);
            files_.Keep(served, info, bytes);
            inlineResponse(bytes);
        } else {
            response.head =
                Format(kFoundTemplate, status, date.c_str(), kServerBanner,
                       static_cast<unsigned long long>(size), connection, contentType.c_str());
            response.body = std::move(file);
            response.bodyLength = size;
        }
        return true;
    }

    // Missing: the not-found page, built whole whatever its size.
    std::string body;
    struct stat pageInfo {};
    if (UniqueFd page = OpenServedFile(documentRoot_ + kNotFoundPage, pageInfo)) {
        body = ReadWhole(page.Get(), static_cast<std::uint64_t>(pageInfo.st_size));
        body.resize(std::strlen(body.c_str()));  // the page is text up to its first zero byte
    }
    response.head =
        Format(kNotFoundTemplate, kStatusNotFound, static_cast<unsigned long long>(body.size()),
               date.c_str(), kServerBanner);
    response.head += body;
    keepAlive = 0;
    return true;
}
