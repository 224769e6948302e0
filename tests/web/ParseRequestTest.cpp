// Request handling through ParseRequest: how each request maps to a file, a
// status, a content type and the connection's keep-alive flag.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <regex>
#include <thread>

#include "WebTestSupport.h"
#include "diag/ProgramPath.h"
#include "web/FileCache.h"
#include "web/HttpServer.h"
#include "web/MimeTypes.h"
#include "web/TimeText.h"

namespace {

using namespace webtest;

// The tests' servers hand out every file of their folder.
const ServedFiles kWholeRoot{{}, {""}};

const std::string kIndex = "<html><body>index</body></html>";

class ParseRequestTest : public ::testing::Test {
  protected:
    void SetUp() override {
        folder_.Write("index.htm", kIndex);
        folder_.Write("fnf.html", "<p>missing</p>");
        folder_.Write("mna.html", "<p>not here</p>");
        folder_.Write("PHOTO.JPG", "jpeg bytes");
        folder_.Write("a.arj", "arj");
        folder_.Write("a.rtf", "rtf");
        folder_.Write("a.wma", "wma");
        folder_.Write("noext", "plain");
        folder_.Write("x.jpg", "x");
        folder_.Write("a%20b.htm", "percent");
        folder_.Write("style.css", "body{}");
        folder_.Write("dir.d/file", "in a dotted folder");
        folder_.Write("lumasrv.cfg", "settings");
        folder_.Write("lumasrv.log", "dump");
        folder_.Write("srvlist.cfg", "servers");
        folder_.Write("caplib.txt", "devices");
        folder_.Write("relay.cfg", "url=rtmp://relay/live/key");
        folder_.Write("lumasrv.cfg.txt", "not private");
        folder_.Write(".relay.cfg.tmp4242-0", "url=rtmp://relay/live/key");
        folder_.Write("dir.d/.hidden", "hidden");
        ASSERT_TRUE(server_.Start(folder_.Docs().string(), "index.htm", 0, 30000));
    }

    // The response as it goes on the wire: head, then the file body.
    static std::string Wire(const ServerResponse& response) {
        std::string bytes = response.head;
        if (response.body) {
            std::string body(response.bodyLength, '\0');
            EXPECT_EQ(pread(response.body.Get(), body.data(), body.size(), 0),
                      static_cast<ssize_t>(body.size()));
            bytes += body;
        }
        return bytes;
    }

    static webtest::HttpReply Split(const std::string& wire) {
        const std::size_t end = wire.find("\r\n\r\n");
        EXPECT_NE(end, std::string::npos) << wire;
        return {wire.substr(0, end), wire.substr(end + 4)};
    }

    SiteFolder folder_;
    HttpServer server_{kWholeRoot, HttpServer::PrivateFilesOf("lumasrv.bin")};
};

struct RequestCase {
    const char* name;
    std::string request;
    std::string status;
    std::string contentType;
    std::string body;
};

TEST_F(ParseRequestTest, MapsRequestsToFilesStatusesAndTypes) {
    const std::string notFound = "<p>missing</p>";
    const std::vector<RequestCase> cases = {
        {"root serves the default page", "GET / HTTP/1.0\r\n\r\n", "200 OK", "text/html", kIndex},
        {"named page", "GET /index.htm HTTP/1.0\r\n\r\n", "200 OK", "text/html", kIndex},
        {"extension lowered before lookup", "GET /PHOTO.JPG HTTP/1.0\r\n\r\n", "200 OK",
         "image/jpeg", "jpeg bytes"},
        {"file names are case-sensitive", "GET /INDEX.HTM HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"arj keeps its later type", "GET /a.arj HTTP/1.0\r\n\r\n", "200 OK",
         "application/x-compressed", "arj"},
        {"rtf keeps its later type", "GET /a.rtf HTTP/1.0\r\n\r\n", "200 OK", "text/richtext",
         "rtf"},
        {"unknown extension is html", "GET /a.wma HTTP/1.0\r\n\r\n", "200 OK", "text/html", "wma"},
        {"no extension is html", "GET /noext HTTP/1.0\r\n\r\n", "200 OK", "text/html", "plain"},
        {"dot in a folder name only", "GET /dir.d/file HTTP/1.0\r\n\r\n", "200 OK", "text/html",
         "in a dotted folder"},
        {"css", "GET /style.css HTTP/1.0\r\n\r\n", "200 OK", "text/css", "body{}"},
        {"a query is no part of the name", "GET /x.jpg?size=2 HTTP/1.0\r\n\r\n", "200 OK",
         "image/jpeg", "x"},
        {"no percent-decoding", "GET /a%20b.htm HTTP/1.0\r\n\r\n", "200 OK", "text/html",
         "percent"},
        {"HEAD is not implemented", "HEAD / HTTP/1.0\r\n\r\n", "501 Not Implemented", "text/html",
         "<p>not here</p>"},
        {"methods are case-sensitive", "get / HTTP/1.0\r\n\r\n", "501 Not Implemented", "text/html",
         "<p>not here</p>"},
        {"two spaces name the root folder itself", "GET  HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"path runs to the end without a second space", "GET /index.htm\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"ranges are ignored", "GET /index.htm HTTP/1.0\r\nRange: bytes=0-3\r\n\r\n", "200 OK",
         "text/html", kIndex},
        {"configuration file is private", "GET /lumasrv.cfg HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"error dump is private", "GET /lumasrv.log HTTP/1.0\r\n\r\n", "404 Resource not found",
         "text/html", notFound},
        {"servers list is private", "GET /srvlist.cfg HTTP/1.0\r\n\r\n", "404 Resource not found",
         "text/html", notFound},
        {"capture log is private", "GET /caplib.txt HTTP/1.0\r\n\r\n", "404 Resource not found",
         "text/html", notFound},
        {"relay settings with the stream key are private", "GET /relay.cfg HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"private file under another spelling", "GET ///./lumasrv.cfg HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"a save's hidden fresh file is never served", "GET /.relay.cfg.tmp4242-0 HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"nor a hidden file in a folder", "GET /dir.d/.hidden HTTP/1.0\r\n\r\n",
         "404 Resource not found", "text/html", notFound},
        {"a similar name is not private", "GET /lumasrv.cfg.txt HTTP/1.0\r\n\r\n", "200 OK",
         "text/plain", "not private"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server_.ParseRequest(c.request, response, keepAlive));
        const auto reply = Split(Wire(response));
        EXPECT_EQ(reply.StatusLine(), "HTTP/1.0 " + c.status);
        EXPECT_EQ(reply.Header("Content-Type"), c.contentType);
        EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body.size()));
        EXPECT_EQ(reply.Header("Server"), "BrontelWebServer/0.1b");
        EXPECT_EQ(reply.body, c.body);
    }
}

TEST_F(ParseRequestTest, FoundFileHeaderIsByteExact) {
    ServerResponse response;
    int keepAlive = 0;
    ASSERT_TRUE(server_.ParseRequest("GET / HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n", response,
                                     keepAlive));
    const std::string wire = Wire(response);
    const std::regex expected(
        "HTTP/1\\.0 200 OK\r\nDate: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} "
        "\\d{2}:\\d{2}:\\d{2} GMT\r\nServer: BrontelWebServer/0\\.1b\r\nAccept-Ranges: "
        "bytes\r\nContent-Length: " +
        std::to_string(kIndex.size()) +
        "\r\nConnection: Keep-Alive\r\nContent-Type: text/html\r\nReferrer-Policy: "
        "no-referrer\r\n\r\n");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(wire, match, expected, std::regex_constants::match_continuous))
        << wire;
    EXPECT_EQ(wire.substr(match.length()), kIndex);
    EXPECT_EQ(keepAlive, 1);
}

TEST_F(ParseRequestTest, NotFoundHeaderIsByteExact) {
    ServerResponse response;
    int keepAlive = 1;
    ASSERT_TRUE(server_.ParseRequest("GET /nothing HTTP/1.0\r\n\r\n", response, keepAlive));
    const std::regex expected(
        "HTTP/1\\.0 404 Resource not found\r\nContent-Length: 14\r\nContent-Type: "
        "text/html\r\nDate: [A-Z][a-z]{2}, \\d{2} [A-Z][a-z]{2} \\d{4} \\d{2}:\\d{2}:\\d{2} "
        "GMT\r\nServer: BrontelWebServer/0\\.1b\r\nReferrer-Policy: "
        "no-referrer\r\n\r\n<p>missing</p>");
    EXPECT_TRUE(std::regex_match(Wire(response), expected)) << Wire(response);
    EXPECT_FALSE(response.body);
    EXPECT_EQ(keepAlive, 0);
}

// The Date header of fixed instants, in UTC whatever the local time zone
// (here nine hours ahead of it).
TEST(HttpDateTest, AnInstantIsWrittenInUtc) {
    const char* zone = std::getenv("TZ");
    const std::string previous = zone ? zone : "";
    setenv("TZ", "XST-9", 1);
    tzset();
    const struct {
        std::time_t time;
        const char* text;
    } cases[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},   // 11016 days
        {1735689599, "Tue, 31 Dec 2024 23:59:59 GMT"},  // a second before 20089 days
    };
    for (const auto& c : cases) EXPECT_EQ(web::HttpDate(c.time), c.text) << c.time;
    if (zone)
        setenv("TZ", previous.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(ParseRequestTest, KeepAliveRisesWithTheMarkerOnlyAndFallsOnNotFound) {
    struct Step {
        std::string request;
        int keepAliveAfter;
        std::string connection;
    };
    // One connection's requests in order; the flag carries from one to the next.
    const std::vector<Step> steps = {
        {"GET / HTTP/1.0\r\n\r\n", 0, "close"},
        {"GET / HTTP/1.0\r\nconnection: keep-alive\r\n\r\n", 0, "close"},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 1, "Keep-Alive"},
        {"GET / HTTP/1.0\r\n\r\n", 1, "Keep-Alive"},
        {"HEAD / HTTP/1.0\r\n\r\n", 1, "Keep-Alive"},
        {"GET /gone HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", 0, ""},
    };
    int keepAlive = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(step.request);
        ServerResponse response;
        ASSERT_TRUE(server_.ParseRequest(step.request, response, keepAlive));
        EXPECT_EQ(keepAlive, step.keepAliveAfter);
        const auto reply = Split(Wire(response));
        EXPECT_EQ(reply.Header("Connection").value_or(""), step.connection);
    }
}

TEST_F(ParseRequestTest, RequestWithoutSpaceIsRefusedAndLogged) {
    ServerResponse response;
    int keepAlive = 1;
    EXPECT_FALSE(server_.ParseRequest("GET/index.htm\r\n\r\n", response, keepAlive));
    EXPECT_NE(
        folder_.Log().find(" - No 'space' found in Request String #2.\t[ParseRequest]\t[0]\n"),
        std::string::npos)
        << folder_.Log();
}

TEST_F(ParseRequestTest, DotDotCannotLeaveTheDocumentRoot) {
    webtest::fs::path outside = folder_.Docs().parent_path() / "secret.txt";
    std::ofstream(outside) << "outside";
    ServerResponse response;
    int keepAlive = 0;
    ASSERT_TRUE(server_.ParseRequest("GET /../secret.txt HTTP/1.0\r\n\r\n", response, keepAlive));
    EXPECT_EQ(Split(Wire(response)).StatusLine(), "HTTP/1.0 404 Resource not found");

    // The same request names ////secret.txt below the root.
    folder_.Write("secret.txt", "inside");
    ASSERT_TRUE(server_.ParseRequest("GET /../secret.txt HTTP/1.0\r\n\r\n", response, keepAlive));
    EXPECT_EQ(Split(Wire(response)).body, "inside");
}

TEST_F(ParseRequestTest, PrivateFilesStayPrivateThroughLinks) {
    webtest::fs::create_symlink(folder_.Docs() / "lumasrv.cfg", folder_.Docs() / "alias.txt");
    webtest::fs::create_hard_link(folder_.Docs() / "caplib.txt", folder_.Docs() / "copy.txt");
    for (const char* request :
         {"GET /alias.txt HTTP/1.0\r\n\r\n", "GET /copy.txt HTTP/1.0\r\n\r\n"}) {
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server_.ParseRequest(request, response, keepAlive));
        EXPECT_EQ(Split(Wire(response)).StatusLine(), "HTTP/1.0 404 Resource not found") << request;
    }
}

TEST_F(ParseRequestTest, NotFoundPageOfAnySizeIsSentWhole) {
    const std::string large(10000, 'x');
    struct PageCase {
        const char* name;
        std::optional<std::string> page;
        std::string body;
    };
    const std::vector<PageCase> cases = {
        {"larger than the old 2048-byte buffer", large, large},
        {"missing page gives an empty body", std::nullopt, ""},
        {"text ends at the first zero byte", std::string("abc\0def", 7), "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        webtest::fs::remove(folder_.Docs() / "fnf.html");
        if (c.page) folder_.Write("fnf.html", *c.page);
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server_.ParseRequest("GET /nothing HTTP/1.0\r\n\r\n", response, keepAlive));
        const auto reply = Split(Wire(response));
        EXPECT_EQ(reply.Header("Content-Length"), std::to_string(c.body.size()));
        EXPECT_EQ(reply.body, c.body);
    }
}

TEST_F(ParseRequestTest, MissingMethodPageFallsBackToNotFound) {
    webtest::fs::remove(folder_.Docs() / "mna.html");
    ServerResponse response;
    int keepAlive = 0;
    ASSERT_TRUE(server_.ParseRequest("POST / HTTP/1.0\r\n\r\n", response, keepAlive));
    EXPECT_EQ(Split(Wire(response)).StatusLine(), "HTTP/1.0 404 Resource not found");
}

TEST_F(ParseRequestTest, LargeFilesAreStreamedFromTheFile) {
    std::string large(HttpServer::kInlineFileBytes * 3 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
    folder_.Write("large.bin", large);
    ServerResponse response;
    int keepAlive = 0;
    ASSERT_TRUE(server_.ParseRequest("GET /large.bin HTTP/1.0\r\n\r\n", response, keepAlive));
    EXPECT_TRUE(response.body);
    EXPECT_LT(response.head.size(), 1024u);
    const auto reply = Split(Wire(response));
    EXPECT_EQ(reply.Header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(reply.Header("Content-Length"), std::to_string(large.size()));
    EXPECT_EQ(reply.body, large);
}

TEST(MimeTypesTest, TableHoldsEveryExtensionOnce) {
    MimeTypeTable table;
    FillMimeTypes(table);
    EXPECT_EQ(table.size(), 69u);
    const std::vector<std::pair<std::string, std::string>> samples = {
        {"doc", "application/msword"},
        {"exe", "application/octet-stream"},
        {"arj", "application/x-compressed"},
        {"rtf", "text/richtext"},
        {"jpg", "image/jpeg"},
        {"jpeg", "image/jpeg"},
        {"htm", "text/html"},
        {"h", "text/plain"},
        {"js", "application/x-javascript"},
        {"mpe", "video/mpeg"},
        {"shtml", "wwwserver/html-ssi"},
        {"wcgi", "wwwserver/isapi"},
        {"cert", "application/x-x509-ca-cert"},
        {"qt", "video/quicktime"},
    };
    for (const auto& [extension, type] : samples) EXPECT_EQ(table.at(extension), type) << extension;
    for (const char* absent : {"asf", "wma", "wmv", "png", "JPG"})
        EXPECT_EQ(table.count(absent), 0u);
}

TEST(PrivateFilesTest, ReplaceTheLastThreeCharactersOfTheProgramName) {
    using Names = std::vector<std::string>;
    EXPECT_EQ(HttpServer::PrivateFilesOf("lumasrv.bin"),
              (Names{"srvlist.cfg", "caplib.txt", "relay.cfg", "lumasrv.cfg", "lumasrv.log"}));
    EXPECT_EQ(HttpServer::PrivateFilesOf("server.exe"),
              (Names{"srvlist.cfg", "caplib.txt", "relay.cfg", "server.cfg", "server.log"}));
    EXPECT_EQ(HttpServer::PrivateFilesOf("ab"), (Names{"srvlist.cfg", "caplib.txt", "relay.cfg"}));
    EXPECT_EQ(HttpServer::PrivateFilesOf("/opt/luma/lumasrv.bin"),
              (Names{"srvlist.cfg", "caplib.txt", "relay.cfg", "lumasrv.cfg", "lumasrv.log",
                     "/opt/luma/lumasrv.cfg", "/opt/luma/lumasrv.log"}));
}

TEST(PrivateFilesTest, ComeFromTheProgramPathTheSettingsUse) {
    SiteFolder folder;
    folder.Write("index.htm", "page");
    folder.Write("lumasrv.cfg", "settings");
    folder.Write("lumasrv.log", "dump");
    folder.Write("srvlist.cfg", "servers");
    // The program file of this run lies in the served folder, as it does
    // for the program.
    SetProgramPath((folder.Docs() / "lumasrv.bin").string());
    HttpServer server(kWholeRoot);
    SetProgramPath("");
    ASSERT_TRUE(server.Start(folder.Docs().string(), "index.htm", 0, 30000));
    for (const char* name : {"lumasrv.cfg", "lumasrv.log", "srvlist.cfg"}) {
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server.ParseRequest(std::string("GET /") + name + " HTTP/1.0\r\n\r\n", response,
                                        keepAlive));
        EXPECT_EQ(response.head.rfind("HTTP/1.0 404 Resource not found\r\n", 0), 0u) << name;
    }
}

TEST(PrivateFilesTest, TheProgramsOwnFilesStayPrivateUnderAnotherRoot) {
    // The configuration beside the program, reached through a link from a
    // document root elsewhere.
    SiteFolder folder;
    const webtest::fs::path program = folder.Docs().parent_path() / "program";
    webtest::fs::create_directories(program);
    std::ofstream(program / "lumasrv.cfg") << "settings";
    webtest::fs::create_symlink(program / "lumasrv.cfg", folder.Docs() / "settings.txt");
    HttpServer server(kWholeRoot, HttpServer::PrivateFilesOf((program / "lumasrv.bin").string()));
    ASSERT_TRUE(server.Start(folder.Docs().string(), "index.htm", 0, 30000));
    ServerResponse response;
    int keepAlive = 0;
    ASSERT_TRUE(server.ParseRequest("GET /settings.txt HTTP/1.0\r\n\r\n", response, keepAlive));
    EXPECT_EQ(response.head.rfind("HTTP/1.0 404 Resource not found\r\n", 0), 0u);
}

TEST(ServedFilesTest, OnlyTheNamesAndFoldersOfTheSetAreServed) {
    const ServedFiles set{{"index.htm", "hls.min.js"}, {"help"}};
    const struct {
        const char* path;
        bool served;
    } cases[] = {
        {"/index.htm", true},
        {"index.htm", true},
        {"//index.htm", true},
        {"/help/using.htm", true},
        {"/help//using.htm", true},
        {"/help/deeper/page.htm", true},
        {"/help", false},
        {"/help/", false},
        {"/helpers/page.htm", false},
        {"/index.htm/", false},
        {"/index.htm.new", false},
        {"/lumasrv.cfg", false},
        {"/./index.htm", false},
        {"/", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(set.Serves(c.path), c.served) << c.path;
    EXPECT_TRUE(kWholeRoot.Serves("/anything/at/all"));
    EXPECT_FALSE(ServedFiles{}.Serves("/index.htm"));
}

TEST(RequestFramingTest, ARequestEndsAtItsFirstEmptyLine) {
    struct Case {
        const char* name;
        std::string bytes;
        std::size_t length;
    };
    const std::vector<Case> cases = {
        {"carriage return line feeds", "GET / HTTP/1.0\r\n\r\n", 18},
        {"bare line feeds", "GET / HTTP/1.0\n\n", 16},
        {"bare line feed, then a full one", "GET / HTTP/1.0\n\r\n", 17},
        {"full line feed, then a bare one", "GET / HTTP/1.0\r\n\n", 17},
        {"headers with bare line feeds", "GET / HTTP/1.0\nHost: x\n\n", 24},
        {"a second request behind", "GET / HTTP/1.0\r\n\r\nGET /a HTTP/1.0\r\n\r\n", 18},
        {"the start of a second one behind", "GET / HTTP/1.0\r\n\r\nGET /a", 18},
        {"one line only", "GET / HTTP/1.0\r\n", 0},
        {"header end still to come", "GET / HTTP/1.0\r\nHost: x\r\n\r", 0},
        {"carriage returns alone end nothing", "GET / HTTP/1.0\r\r", 0},
        {"fewer than four bytes", "\r\n\r", 0},
        {"nothing", "", 0},
        {"an empty line alone", "\r\n\r\n", 4},
    };
    HttpServer server(ServedFiles{}, {});
    for (const auto& c : cases) EXPECT_EQ(server.IsRequestComplete(c.bytes), c.length) << c.name;
}

}  // namespace

// Pages answered from memory follow their files: each change between two
// requests shows in the second answer.
TEST(ServedFromMemoryTest, EveryChangeOfAServedFileShowsInTheNextAnswer) {
    struct ChangeCase {
        const char* name;
        std::function<void(const SiteFolder&)> change;
        std::string status;
        std::string body;
    };
    const std::string notFound = "<p>missing</p>";
    const std::vector<ChangeCase> cases = {
        {"unchanged", [](const SiteFolder&) {}, "200 OK", "page-one"},
        {"rewritten in place at the same size",
         [](const SiteFolder& site) {
             std::ofstream(site.Docs() / "page.htm", std::ios::in | std::ios::out) << "PAGE-TWO";
         },
         "200 OK", "PAGE-TWO"},
        {"replaced by a new file",
         [](const SiteFolder& site) {
             site.Write("page.new", "page-new");
             webtest::fs::rename(site.Docs() / "page.new", site.Docs() / "page.htm");
         },
         "200 OK", "page-new"},
        {"removed", [](const SiteFolder& site) { webtest::fs::remove(site.Docs() / "page.htm"); },
         "404 Resource not found", notFound},
        {"a private file linked in its place",
         [](const SiteFolder& site) {
             webtest::fs::remove(site.Docs() / "page.htm");
             webtest::fs::create_hard_link(site.Docs() / "lumasrv.cfg", site.Docs() / "page.htm");
         },
         "404 Resource not found", notFound},
        {"its name made a link to a private file",
         [](const SiteFolder& site) {
             webtest::fs::remove(site.Docs() / "page.htm");
             webtest::fs::create_symlink(site.Docs() / "lumasrv.cfg", site.Docs() / "page.htm");
         },
         "404 Resource not found", notFound},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SiteFolder site;
        site.Write("fnf.html", notFound);
        site.Write("lumasrv.cfg", "settings");
        site.Write("page.htm", "page-one");
        // Kept at once, however new the file.
        HttpServer server(kWholeRoot, HttpServer::PrivateFilesOf("lumasrv.bin"),
                          std::chrono::milliseconds(0));
        ASSERT_TRUE(server.Start(site.Docs().string(), "index.htm", 0, 30000));
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server.ParseRequest("GET /page.htm HTTP/1.0\r\n\r\n", response, keepAlive));
        ASSERT_NE(response.head.find("page-one"), std::string::npos);
        // File times advance by clock ticks: the change lands in a later one.
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        c.change(site);
        ASSERT_TRUE(server.ParseRequest("GET /page.htm HTTP/1.0\r\n\r\n", response, keepAlive));
        const std::size_t end = response.head.find("\r\n\r\n");
        ASSERT_NE(end, std::string::npos);
        EXPECT_EQ(response.head.substr(9, c.status.size()), c.status);
        EXPECT_EQ(response.head.substr(end + 4), c.body);
        server.Shutdown();
    }
}

TEST(ServedFromMemoryTest, AFileThatChangedTooRecentlyIsNotKept) {
    SiteFolder site;
    site.Write("page.htm", "page-one");
    const std::string path = (site.Docs() / "page.htm").string();
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    SmallFileCache settling(std::chrono::hours(1));
    settling.Keep(path, info, "page-one");
    EXPECT_EQ(settling.Find(path), nullptr) << "its next change could keep its times";
    SmallFileCache settled(std::chrono::milliseconds(0));
    settled.Keep(path, info, "page-one");
    ASSERT_NE(settled.Find(path), nullptr);
    EXPECT_EQ(*settled.Find(path), "page-one");
}
