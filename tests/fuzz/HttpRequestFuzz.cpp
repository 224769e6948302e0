// The web server's request handling on bytes as a client may send them: the
// bytes arrive in pieces, every complete request at the front is answered in
// turn as the connection thread does, on a real document root. Whatever the
// bytes, a request ends at its first empty line, every answer is one of the
// server's own with a true Content-Length, and neither a private file nor a
// file outside the root is ever in it.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "web/HttpServer.h"

namespace {

const std::string kPrivateMark = "PRIVATE-9f1c";
const std::string kOutsideMark = "OUTSIDE-4b7e";

std::unique_ptr<HttpServer> g_server;

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// The response as it would go out: head, then the file body.
std::string Wire(const ServerResponse& response) {
    std::string bytes = response.head;
    if (response.body) {
        std::string body(response.bodyLength, '\0');
        const ssize_t got = pread(response.body.Get(), body.data(), body.size(), 0);
        FUZZ_CHECK(got == static_cast<ssize_t>(body.size()));
        bytes += body;
    }
    return bytes;
}

void CheckResponse(const std::string& request, const ServerResponse& response, int keepAlive) {
    const std::string wire = Wire(response);
    FUZZ_CHECK(StartsWith(wire, "HTTP/1.0 200 OK\r\n") ||
               StartsWith(wire, "HTTP/1.0 404 Resource not found\r\n") ||
               StartsWith(wire, "HTTP/1.0 501 Not Implemented\r\n"));
    const std::size_t headEnd = wire.find("\r\n\r\n");
    FUZZ_CHECK(headEnd != std::string::npos);
    const std::string head = wire.substr(0, headEnd + 2);
    const std::size_t lengthAt = head.find("\r\nContent-Length: ");
    FUZZ_CHECK(lengthAt != std::string::npos);
    const unsigned long long length = std::stoull(head.substr(lengthAt + 18));
    FUZZ_CHECK(length == wire.size() - headEnd - 4);
    FUZZ_CHECK(wire.find(kPrivateMark) == std::string::npos);
    FUZZ_CHECK(wire.find(kOutsideMark) == std::string::npos);
    FUZZ_CHECK(keepAlive == 0 || keepAlive == 1);
    if (StartsWith(wire, "HTTP/1.0 404")) FUZZ_CHECK(keepAlive == 0);
    // Keep-alive is raised by its exact marker only.
    if (request.find("\nConnection: Keep-Alive") != std::string::npos &&
        !StartsWith(wire, "HTTP/1.0 404"))
        FUZZ_CHECK(keepAlive == 1);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const auto folder = fuzzsupport::ScratchFolder("lumacast-fuzz-http");
    const auto docs = folder / "docs";
    setenv("XDG_STATE_HOME", (folder / "state").c_str(), 1);
    fuzzsupport::WriteFile(docs / "index.htm", "<html>index</html>");
    fuzzsupport::WriteFile(docs / "fnf.html", "<p>missing</p>");
    fuzzsupport::WriteFile(docs / "mna.html", "<p>not here</p>");
    fuzzsupport::WriteFile(docs / "a.txt", "text");
    fuzzsupport::WriteFile(docs / "dir.d" / "page.htm", "in a folder");
    fuzzsupport::WriteFile(docs / "big.bin", std::string(HttpServer::kInlineFileBytes + 100, 'b'));
    for (const char* name : {"lumasrv.cfg", "lumasrv.log", "srvlist.cfg", "caplib.txt"}) {
        fuzzsupport::WriteFile(docs / name, kPrivateMark);
    }
    std::filesystem::create_symlink(docs / "lumasrv.cfg", docs / "alias.txt");
    fuzzsupport::WriteFile(folder / "secret.txt", kOutsideMark);
    fuzzsupport::WriteFile(folder / "a.txt", kOutsideMark);

    g_server = std::make_unique<HttpServer>(ServedFiles{{}, {""}},
                                            HttpServer::PrivateFilesOf("lumasrv.bin"));
    // Port 0: the server listens somewhere nobody connects; only the root counts.
    if (!g_server->Start(docs.string(), "index.htm", 0, 30000)) std::abort();
    std::atexit([] { g_server.reset(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The first byte cuts the rest into pieces of 1 to 64 bytes, as they
    // might arrive from the network.
    if (size == 0) return 0;
    const std::size_t piece = data[0] % 64 + 1;
    const std::string bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

    std::string buffer;
    int keepAlive = 0;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        buffer.append(bytes, at, piece);
        for (;;) {
            const std::size_t length = g_server->IsRequestComplete(buffer);
            FUZZ_CHECK(length <= buffer.size());
            if (length == 0) break;
            // The request ends at its first empty line, not before.
            FUZZ_CHECK(buffer[length - 1] == '\n');
            FUZZ_CHECK(g_server->IsRequestComplete(buffer.substr(0, length - 1)) == 0);
            const std::string request = buffer.substr(0, length);
            buffer.erase(0, length);

            ServerResponse response;
            const bool answered = g_server->ParseRequest(request, response, keepAlive);
            FUZZ_CHECK(answered == (request.find(' ') != std::string::npos));
            if (!answered) return 0;  // the connection closes
            CheckResponse(request, response, keepAlive);
            if (keepAlive == 0) return 0;
        }
        if (buffer.size() > EventServer::kMaxRequestBytes) return 0;
    }
    return 0;
}
