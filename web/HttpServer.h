#pragma once
// The embedded web server: serves whole files from one folder over HTTP/1.0
// to the viewers of a broadcast, above all the generated page index.htm. GET
// only; other methods get the "mna.html" page, missing files "fnf.html".
// Those two status pages are open to all; every other file only to the
// viewers that the access rule lets in. A query after the path is no part
// of the file's name.

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <vector>

#include "diag/ProgramPath.h"
#include "web/EventServer.h"
#include "web/FileCache.h"
#include "web/MimeTypes.h"
#include "web/ServedFiles.h"
#include "web/ViewerAccess.h"

class HttpServer : public EventServer {
  public:
    // served: what may be fetched at all. privateFiles: files that are
    // never served, whatever served name reaches them (a link): the user's
    // configuration, dumps and lists live beside the pages; by default those
    // named after the user's files path, see diag/ProgramPath.h. A name
    // without a leading '/' lies in the document root.
    // Small files are answered from memory once they have stood unchanged
    // for settle (see web/FileCache.h).
    explicit HttpServer(ServedFiles served,
                        std::vector<std::string> privateFiles = PrivateFilesOf(UserFilesPath()),
                        std::chrono::milliseconds settle = std::chrono::seconds(2));
    ~HttpServer() override;

    // Who may fetch the served files but the status pages (nullptr, as by
    // default: everyone). access outlives the server. Before Start.
    void SetViewerAccess(ViewerAccess* access) { access_ = access; }

    // Serves documentRoot (a trailing '/' is added when missing), with
    // defaultPage for "/", on port. Returns the result of Run.
    bool Start(const std::string& documentRoot, const std::string& defaultPage, int port,
               std::uint32_t clientTimeoutMs);

    // The length of the request at the front of request: up to and including
    // the empty line that ends its head ("\r\n\r\n", or bare line feeds as
    // some clients send them); 0 while that line has not arrived.
    std::size_t IsRequestComplete(const std::string& request) override;

    // Turns one complete request from the address peer into a response.
    // False when the request has no space at all: the connection is then
    // closed without a response.
    bool ParseRequest(const std::string& request, ServerResponse& response, int& keepAlive,
                      const std::string& peer = "127.0.0.1");

    // The private files of the program file programPath (a full path, or a
    // bare file name): its configuration and error dump (the last three
    // characters replaced by "cfg" and "log"), "srvlist.cfg", "caplib.txt"
    // and "relay.cfg" (it holds the relay's stream key), by name in the
    // document root; for a full path also the configuration and dump where
    // the program keeps them.
    static std::vector<std::string> PrivateFilesOf(const std::string& programPath);

    // Files up to this size go out in the response itself; larger ones are
    // sent from the file in slices as they are read.
    static constexpr std::uint64_t kInlineFileBytes = 64 * 1024;

  protected:
    int OnClientConnected(const char* ipText, std::uint16_t port) override;
    void OnDataSent(std::uint64_t byteCount) override;
    bool ProcessRequest(const std::string& peer, const std::string& request,
                        ServerResponse& response, int& keepAlive) override;

  private:
    // Whether the file that served describes is one of the private files,
    // by whatever name it was reached.
    bool IsPrivate(const struct stat& served) const;

    std::string documentRoot_;
    std::string defaultPage_;
    MimeTypeTable mimeTypes_;
    ServedFiles served_;
    std::vector<std::string> privateFiles_;
    SmallFileCache files_;
    ViewerAccess* access_ = nullptr;
};
