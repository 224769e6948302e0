// lumahttpd DIR PORT [TIMEOUT_MS [CERT KEY]]: the embedded web server on its
// own, over TLS with the PEM files CERT and KEY when they are given. Serves
// DIR (default page "index.htm") until SIGINT or SIGTERM.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/StopSignals.h"
#include "web/HttpServer.h"
#include "web/OpenFileLimit.h"
#include "web/TlsContext.h"

namespace {

bool ParseNumber(const char* text, long long low, long long high, long long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && value >= low && value <= high;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3 || argc > 6 || argc == 5) {
        std::fprintf(stderr, "usage: %s DIR PORT [TIMEOUT_MS [CERT KEY]]\n", argv[0]);
        return 1;
    }
    long long port = 0;
    long long timeoutMs = 30000;
    if (!ParseNumber(argv[2], 0, 65535, port)) {
        std::fprintf(stderr, "lumahttpd: PORT must be a number from 0 to 65535, not '%s'\n",
                     argv[2]);
        return 1;
    }
    if (argc >= 4 && !ParseNumber(argv[3], 0, 0xFFFFFFFFLL, timeoutMs)) {
        std::fprintf(stderr, "lumahttpd: TIMEOUT_MS must be a number of milliseconds, not '%s'\n",
                     argv[3]);
        return 1;
    }

    // The signals are taken by sigwait below; every server thread inherits the mask.
    sigset_t stopSignals = BlockStopSignals();
    RaiseOpenFileLimit();

    // The folder served is a copy of the program's folder, so its private
    // files are the program's.
    HttpServer server(ServedFiles{{}, {""}}, HttpServer::PrivateFilesOf("lumasrv.bin"));
    std::unique_ptr<TlsContext> tls;
    if (argc == 6) {
        std::string error;
        tls = TlsContext::Open(argv[4], argv[5], std::string(), {}, &error);
        if (!tls) {
            std::fprintf(stderr, "lumahttpd: %s\n", error.c_str());
            return 1;
        }
        server.SetTls(tls.get());
    }
    if (!server.Start(argv[1], "index.htm", static_cast<int>(port),
                      static_cast<std::uint32_t>(timeoutMs))) {
        std::fprintf(stderr, "lumahttpd: cannot serve on port %lld (the reason is in %s%s)\n", port,
                     ServerLog::StateFolder().c_str(), kServerLogFile);
        return 1;
    }
    std::printf("lumahttpd: serving %s on port %d\n", argv[1], server.Port());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.Shutdown();
    return 0;
}
