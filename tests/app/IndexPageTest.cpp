#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "app/IndexPage.h"
#include "diag/ProgramPath.h"
#include "settings/AccessConfig.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "settings/RelayConfig.h"
#include "settings/ServerList.h"
#include "tests/support/Commands.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "web/HttpServer.h"

namespace {

namespace fs = std::filesystem;

// The eight pieces of the player page, byte for byte, with the browsers'
// player between the PARAMs and the EMBED.
TEST(IndexPageTest, PageIsByteExactAndNamesTheStreamTwice) {
    const std::string pieces1to5 =
        "<HTML><HEAD><TITLE>Lumacast</TITLE></HEAD><BODY><center><h1>My Webcam Page</h1><hr>"
        "<OBJECT ID=\"MediaPlayer\" CLASSID=\"CLSID:22D6f312-B0F6-11D0-94AB-0080C74C7E95\" "
        "STANDBY=\"Loading Windows Media Player components...\"TYPE=\"application/x-oleobject\" "
        "CODEBASE= \"http://activex.microsoft.com/activex/controls/mplayer/en/"
        "nsmp2inf.cab#Version=6,4,7,1112\"><PARAM name=\"autoStart\" value=\"True\">\r\n"
        "<PARAM name=\"filename\" value=\"http://10.0.0.5:8080/MyFile.wma\">";
    const std::string pieces6to8 =
        "<EMBED TYPE=\"application/x-mplayer2\"SRC=\"http://10.0.0.5:8080/MyFile.wma\" "
        "NAME=\"MediaPlayer\">\r\n</EMBED></OBJECT></center></BODY></HTML>";
    // Between them, the browsers' player: its state line and button, then
    // the video element's opening tag and its script.
    const std::string playerStart =
        "<div id=\"lumalive\" style=\"margin:6px;font:15px sans-serif\"><span id=\"lumastate\">"
        "</span> <button id=\"lumaunmute\" type=\"button\" style=\"display:none\">Unmute</button>"
        "</div>\r\n<video id=\"lumavideo\" src=\"http://10.0.0.5:8080/live.webm\" "
        "crossorigin=\"anonymous\" autoplay muted playsinline controls><script>\r\n";
    const std::string page = IndexPageText("http://10.0.0.5:8080");
    ASSERT_GT(page.size(), pieces1to5.size() + playerStart.size() + pieces6to8.size());
    EXPECT_EQ(page.substr(0, pieces1to5.size()), pieces1to5);
    EXPECT_EQ(page.substr(pieces1to5.size(), playerStart.size()), playerStart);
    EXPECT_EQ(page.substr(page.size() - pieces6to8.size() - 11, 11), "</script>\r\n");
    EXPECT_EQ(page.substr(page.size() - pieces6to8.size()), pieces6to8);
    std::size_t count = 0;
    for (std::size_t at = page.find("/MyFile.wma"); at != std::string::npos;
         at = page.find("/MyFile.wma", at + 1))
        ++count;
    EXPECT_EQ(count, 2u);
}

TEST(IndexPageTest, BrowsersGetAMutedLiveVideoThatFallsBackToTheEmbed) {
    const std::string player = BrowserPlayerText("http://10.0.0.5:8080");
    // The player ends with the video element's opening tag, left open, the
    // line that takes its source away before it is fetched, and the player's
    // script from beside the page: the EMBED after them is its fallback,
    // closed by the OBJECT's end tag.
    const std::string video =
        "<video id=\"lumavideo\" src=\"http://10.0.0.5:8080/live.webm\" "
        "crossorigin=\"anonymous\" autoplay muted playsinline controls><script>\r\n";
    const std::size_t at = player.find(video);
    ASSERT_NE(at, std::string::npos);
    const std::size_t aside = player.find("video.removeAttribute(\"src\")");
    const std::size_t script = player.find("<script src=\"player.js\"");
    EXPECT_LT(at, aside);
    EXPECT_LT(aside, script);
    EXPECT_EQ(player.find("</script>", script), player.size() - 11) << "the script comes last";
    EXPECT_EQ(player.find("</video>"), std::string::npos);
    // No address but the stream's: the script comes from the page's server.
    EXPECT_EQ(player.find("http://", 0), player.find("http://10.0.0.5:8080/live.webm"));
    EXPECT_EQ(player.find("http://", player.find("http://") + 1), std::string::npos);
    // A stream address that would break out of the attribute is escaped.
    const std::string odd = BrowserPlayerText("http://a\"b<c>&d");
    EXPECT_NE(odd.find("src=\"http://a&quot;b&lt;c&gt;&amp;d/live.webm\""), std::string::npos);
    // An invite goes with the source and with the player's script.
    const std::string invited = BrowserPlayerText("http://10.0.0.5:8080", "", "tok");
    EXPECT_NE(invited.find("/live.webm?invite=tok\""), std::string::npos);
    EXPECT_NE(invited.find("<script src=\"player.js?invite=tok\""), std::string::npos);
}

TEST(IndexPageTest, ARelaysHlsAddressIsNamedOnTheElement) {
    const std::string player = BrowserPlayerText("http://10.0.0.5:8080",
                                                 "http://edge.example:8936/hls/s.m3u8?a=1&b=\"2\"");
    const std::string video =
        "<video id=\"lumavideo\" src=\"http://10.0.0.5:8080/live.webm\" "
        "data-hls=\"http://edge.example:8936/hls/s.m3u8?a=1&amp;b=&quot;2&quot;\" "
        "crossorigin=\"anonymous\" autoplay muted playsinline controls>";
    const std::size_t at = player.find(video);
    ASSERT_NE(at, std::string::npos) << player.substr(0, 400);
    // The same scripts: the player plays the relay first.
    const std::string plain = BrowserPlayerText("http://10.0.0.5:8080");
    EXPECT_EQ(player.substr(at + video.size()), plain.substr(plain.find("><script>") + 1));
    // Without an HLS address the page is as it was.
    EXPECT_EQ(BrowserPlayerText("http://10.0.0.5:8080", ""), plain);
    EXPECT_EQ(plain.find("data-hls"), std::string::npos);
}

// Every script of the page, with a relay and without, is JavaScript that a
// browser's parser takes (node's, here).
TEST(IndexPageTest, ThePageAddressKeepsTheStreamsHostAndSchemeOnTheWebPort) {
    struct Case {
        const char* stream;
        const char* page;
    };
    const Case cases[] = {
        {"http://192.0.2.7:8080", "http://192.0.2.7:8000/"},
        {"https://192.0.2.7:8080", "https://192.0.2.7:8000/"},
        {"http://[2001:db8::5]:8080", "http://[2001:db8::5]:8000/"},
        {"https://[2001:db8::5]:8080", "https://[2001:db8::5]:8000/"},
        {"Cannot detect IP address", "http://127.0.0.1:8000/"},
    };
    for (const Case& c : cases) EXPECT_EQ(ViewerPageAddress(c.stream, 8000), c.page) << c.stream;
}

// The page's own script and the player beside it are JavaScript that a
// browser's parser takes (node's, here); the player says the page's texts.
TEST(IndexPageTest, ThePagesScriptsParse) {
    if (!testsupport::HaveProgram("node")) LUMACAST_SKIP() << "node is not installed";
    const testsupport::TempFolder temp("lumapagescripts");
    const std::string page = IndexPageText("http://10.0.0.5:8080");
    const std::size_t body = page.find("<script>") + 8;
    ASSERT_NE(body, std::string::npos + 8);
    const char* staged = std::getenv("LUMACAST_PROGRAM_DIR");
    if (!staged) LUMACAST_SKIP() << "no staged program folder (run through ctest)";
    std::vector<std::string> files = {temp / "page.js", std::string(staged) + "/player.js"};
    testsupport::WriteWholeFile(files[0], page.substr(body, page.find("</script>", body) - body));
    for (const std::string& file : files) {
        int status = -1;
        const std::string said =
            testsupport::RunCommand("node --check '" + file + "' 2>&1", &status);
        EXPECT_EQ(status, 0) << file << ": " << said;
    }
    const std::string player = testsupport::ReadWholeFile(files[1]);
    for (const char* text : {"The broadcast is not running.", "Live"})
        EXPECT_NE(player.find(std::string("\"") + text + "\""), std::string::npos) << text;
}

TEST(IndexPageTest, WritingReplacesThePageWholeAndLeavesNothingBehind) {
    const testsupport::TempFolder temp("lumapage");
    const fs::path& folder = temp.Path();
    const std::string path = temp / "index.htm";
    testsupport::WriteWholeFile(path, "an old and much longer page from an earlier broadcast");

    ASSERT_TRUE(WriteIndexPage(path, "Cannot detect IP address"));
    EXPECT_EQ(testsupport::ReadWholeFile(path), IndexPageText("Cannot detect IP address"));
    EXPECT_EQ(testsupport::FolderNames(folder), std::vector<std::string>{"index.htm"});

    fs::remove_all(folder);
    EXPECT_FALSE(WriteIndexPage(path, "http://1.2.3.4:1"));  // the folder is gone
}

// The user's files folder as a checkout's or an installed copy's holds it:
// of all its files the web server hands out only what viewers use.
TEST(IndexPageTest, ViewersGetThePageItsScriptsHelpAndStatusPagesOnly) {
    const testsupport::TempFolder temp("lumaserved");
    fs::create_directories(temp.Path() / "help");
    fs::create_directories(temp.Path() / "icons");
    const struct {
        const char* name;
        bool served;
    } files[] = {
        {"index.htm", true},           {"fnf.html", true},     {"mna.html", true},
        {"hls.min.js", true},          {"player.js", true},    {"help/using.htm", true},
        {"help/style.css", true},      {"lumasrv.cfg", false}, {"lumasrv.log", false},
        {"relay.cfg", false},          {"srvlist.cfg", false}, {"caplib.txt", false},
        {"index.htm.new", false},      {"lumasrv.bin", false}, {"liblumacheck.so", false},
        {"icons/lumacast.png", false},
    };
    for (const auto& f : files) testsupport::WriteWholeFile(temp / f.name, f.name);
    HttpServer server(ViewerFiles(), {});
    ASSERT_TRUE(server.Start(temp.Path().string(), "index.htm", 0, 30000));
    for (const auto& f : files) {
        ServerResponse response;
        int keepAlive = 0;
        ASSERT_TRUE(server.ParseRequest(std::string("GET /") + f.name + " HTTP/1.0\r\n\r\n",
                                        response, keepAlive));
        const bool found = response.head.rfind("HTTP/1.0 200 ", 0) == 0;
        EXPECT_EQ(found, f.served) << f.name << ": " << response.head.substr(0, 40);
    }
    server.Shutdown();
}

// Every settings file saved again and again in the served folder while a
// viewer asks for every name that has been seen there, fresh files of the
// saves among them: none of them is ever served, and none is ever readable
// by anyone but the user at any instant the folder could be looked at.
TEST(IndexPageTest, SavesInTheServedFolderAreNeverServedNorReadableByOthers) {
    testsupport::ProgramFolder folder("lumasaves");
    const std::string root = FolderOf(folder.ProgramFile());
    testsupport::WriteWholeFile(root + "index.htm", "page");
    HttpServer server(ViewerFiles(), HttpServer::PrivateFilesOf(folder.ProgramFile()));
    ASSERT_TRUE(server.Start(root, "index.htm", 0, 30000));

    std::atomic<bool> saving{true};
    std::thread saver([&] {
        RelayConfig relay;
        relay.SetSettings({"rtmp://relay/live/s3cret-key", true, ""});
        AccessConfig access;
        AccessSettings invite;
        invite.viewers = ViewerRule::kInvite;
        invite.token = std::string(32, 'a');
        access.SetSettings(invite);
        ServerList list;
        for (int i = 0; i < 300; ++i) {
            EXPECT_TRUE(SaveConfig());
            EXPECT_TRUE(SaveRelayConfig(RelayConfigPath(), relay));
            EXPECT_TRUE(SaveAccessConfig(AccessConfigPath(), access));
            EXPECT_TRUE(SaveServerListFile(root + kServerListFileName, list));
        }
        saving = false;
    });
    std::set<std::string> seen;
    int looks = 0;
    while (saving) {
        ++looks;
        for (const auto& entry : fs::directory_iterator(root)) {
            const std::string name = entry.path().filename().string();
            if (name == "index.htm" || entry.is_directory()) continue;
            seen.insert(name);
            struct stat info {};
            if (::stat(entry.path().c_str(), &info) == 0) {
                EXPECT_EQ(info.st_mode & 077, 0u) << name << " is readable by others";
            }
        }
        for (const std::string& name : seen) {
            ServerResponse response;
            int keepAlive = 0;
            ASSERT_TRUE(
                server.ParseRequest("GET /" + name + " HTTP/1.0\r\n\r\n", response, keepAlive));
            EXPECT_NE(response.head.rfind("HTTP/1.0 200 ", 0), 0u) << name << " was served";
        }
    }
    saver.join();
    server.Shutdown();
    // The fresh files were seen, so the asking covered them too.
    EXPECT_GT(seen.size(), 4u) << looks << " looks";
    const bool fresh = std::any_of(seen.begin(), seen.end(),
                                   [](const std::string& name) { return name.front() == '.'; });
    EXPECT_TRUE(fresh) << "no save's fresh file was seen in " << looks << " looks";
}

}  // namespace
