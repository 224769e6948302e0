// Publishing to a relay, end to end: the example cluster of doc/relay (an
// nginx origin with its RTMP module, an edge it pushes to and an edge that
// pulls from it, both serving HLS), run on loopback with only its ports and
// paths rewritten, and lumasrv --headless publishing to it. What reaches
// the edges is read by ffprobe, an independent client.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "diag/ProgramPath.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"
#include "tests/support/Commands.h"
#include "tests/support/Processes.h"
#include "tests/support/ProgramFolder.h"
#include "tests/support/Skip.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestDevices.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::FreeTcpPort;
using testsupport::ReadWholeFile;
using testsupport::RunCommand;
using testsupport::StopGroup;
using testsupport::WaitForPort;
using testsupport::WriteWholeFile;

constexpr char kKey[] = "CHANGE-THIS-KEY";  // as the example origin has it
const char* const kServers[] = {"origin", "edge-push", "edge-pull"};

// Starts arguments with their output in logPath (or outPath), in a process
// group of their own, so that nginx and its workers stop and go together.
pid_t Spawn(const std::vector<std::string>& arguments, const fs::path& logPath,
            const fs::path& outPath = {}) {
    testsupport::SpawnOptions options;
    options.out = (outPath.empty() ? logPath : outPath).string();
    options.errors = logPath.string();
    options.ownGroup = true;
    return testsupport::SpawnWith(arguments, options);
}

template <typename Check>
bool WaitUntil(std::chrono::milliseconds limit, Check check) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    do {
        if (check()) return true;
        std::this_thread::sleep_for(200ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return check();
}

class RelayClusterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!testsupport::HaveProgram("nginx") && !fs::exists("/usr/sbin/nginx"))
            LUMACAST_SKIP() << "nginx is not installed";
        ASSERT_TRUE(fs::exists("/usr/lib/nginx/modules/ngx_rtmp_module.so"))
            << "libnginx-mod-rtmp is not installed";
        program_ = testsupport::CopyStagedProgram(folder_);
        ASSERT_FALSE(program_.empty()) << "the staged program folder is missing";
        setenv("LUMACAST_FAKE_DEVICES", "only", 1);

        SetProgramPath((program_ / "lumasrv.bin").string());
        g_settings = AppSettings{};
        ASSERT_TRUE(testsupport::ChooseTestDevices(g_settings));
        g_settings.httpPort = FreeTcpPort();
        g_settings.asfPort = FreeTcpPort();
        g_settings.videoFramesPerSecond = 10;
        g_settings.videoBitrateKbps = 300;
        ASSERT_TRUE(SaveConfig());
        SetProgramPath("");

        // The example's ports, each given a free one.
        for (const int port : {1935, 1936, 1937, 8935, 8936, 8937}) ports_[port] = FreeTcpPort();
        // nginx's workers run as another user where the test runs as root.
        fs::permissions(folder_, fs::perms::all);
        for (const char* server : kServers) WriteServerConfig(server);
        for (const char* server : kServers) StartServer(server);
        for (const auto& [example, port] : ports_) ASSERT_TRUE(WaitForPort(port, 10s)) << example;
    }

    void TearDown() override {
        StopGroup(program_pid_);
        for (auto& [server, pid] : servers_) StopGroup(pid);
    }

    // The example's configuration with its ports and folders replaced, and
    // nothing else.
    void WriteServerConfig(const std::string& server) {
        std::string text =
            ReadWholeFile(fs::path(LUMACAST_SOURCE_DIR) / "doc/relay" / (server + ".conf"));
        ASSERT_FALSE(text.empty()) << server;
        text = std::regex_replace(text, std::regex("/var/lib/lumacast-relay"), folder_.string());
        for (const auto& [example, port] : ports_)
            text = std::regex_replace(text, std::regex("\\b" + std::to_string(example) + "\\b"),
                                      std::to_string(port));
        fs::create_directories(folder_ / server / "hls");
        for (const auto& entry : fs::recursive_directory_iterator(folder_ / server))
            fs::permissions(entry.path(), fs::perms::all);
        fs::permissions(folder_ / server, fs::perms::all);
        WriteWholeFile(folder_ / (server + ".conf"), text);
    }

    void StartServer(const std::string& server) {
        servers_[server] = Spawn(
            {"/usr/sbin/nginx", "-c", (folder_ / (server + ".conf")).string(), "-g", "daemon off;"},
            folder_ / (server + ".stderr"));
    }

    void WriteRelayFile(const std::string& text) { WriteWholeFile(program_ / "relay.cfg", text); }
    std::string OriginUrl() const {
        return "rtmp://127.0.0.1:" + std::to_string(ports_.at(1935)) + "/live/stream?key=" + kKey;
    }

    void Launch() {
        program_pid_ = Spawn({(program_ / "lumasrv").string(), "--headless"},
                             folder_ / "stderr.txt", folder_ / "stdout.txt");
        ASSERT_TRUE(WaitForPort(g_settings.asfPort, 30s)) << Errors();
    }
    std::string Errors() const { return ReadWholeFile(folder_ / "stderr.txt"); }
    std::size_t CountInErrors(const std::string& what) const {
        const std::string errors = Errors();
        std::size_t count = 0;
        for (std::size_t at = errors.find(what); at != std::string::npos;
             at = errors.find(what, at + 1))
            ++count;
        return count;
    }

    // The streams an RTMP client of an edge sees: "codec" or "codec WxH" lines.
    std::string Probe(int edgePort) const {
        return RunCommand(
            "timeout 8 ffprobe -v error -show_entries stream=codec_name,width,height "
            "-of csv=p=0 rtmp://127.0.0.1:" +
            std::to_string(edgePort) + "/live/stream 2>/dev/null");
    }
    bool EdgeCarriesTheBroadcast(int edgePort) const {
        const std::string streams = Probe(edgePort);
        return streams.find("h264," + std::to_string(frameWidth_) + "," +
                            std::to_string(frameHeight_)) != std::string::npos &&
               streams.find("aac") != std::string::npos;
    }

    // Pictures a local ASF viewer has decoded so far (ffmpeg's progress).
    int ViewerFrames() const {
        const std::string progress = ReadWholeFile(folder_ / "viewer.progress");
        const std::size_t at = progress.rfind("frame=");
        return at == std::string::npos ? 0 : std::atoi(progress.c_str() + at + 6);
    }
    void StartViewer() {
        viewer_ = Spawn(
            {"/usr/bin/ffmpeg", "-v", "error", "-progress", (folder_ / "viewer.progress").string(),
             "-i", "http://127.0.0.1:" + std::to_string(g_settings.asfPort) + "/", "-f", "null",
             "-"},
            folder_ / "viewer.stderr");
        ASSERT_TRUE(WaitUntil(20s, [&] { return ViewerFrames() > 0; })) << "no local viewer";
    }

    testsupport::TempFolder temp_{"lumarelay-e2e"};
    fs::path folder_ = temp_.Path();
    fs::path program_;
    std::map<int, int> ports_;
    std::map<std::string, pid_t> servers_;
    pid_t program_pid_ = -1;
    pid_t viewer_ = -1;
    // The test camera's first size, which the broadcast takes.
    int frameWidth_ = 320;
    int frameHeight_ = 240;
};

TEST_F(RelayClusterTest, BothEdgesCarryTheBroadcastThroughAnOriginRestart) {
    const std::string hls = "http://127.0.0.1:" + std::to_string(ports_[8936]) + "/hls/stream.m3u8";
    WriteRelayFile("# the example cluster\nurl=" + OriginUrl() + "\npublish=1\nhls=" + hls + "\n");
    Launch();
    ASSERT_TRUE(WaitUntil(20s, [&] { return CountInErrors(": publishing") >= 1; })) << Errors();
    // The viewers' page sends browsers to the edge, with hls.js from our
    // own web server; the settings file with the key stays private.
    const std::string page = testsupport::Fetch(g_settings.httpPort, "GET / HTTP/1.0\r\n\r\n");
    EXPECT_NE(page.find("data-hls=\"" + hls + "\""), std::string::npos) << page;
    EXPECT_EQ(page.find(kKey), std::string::npos);
    const std::string library =
        testsupport::Fetch(g_settings.httpPort, "GET /hls.min.js HTTP/1.0\r\n\r\n");
    EXPECT_EQ(library.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << library.substr(0, 200);
    EXPECT_NE(library.find("isSupported"), std::string::npos);
    EXPECT_EQ(testsupport::Fetch(g_settings.httpPort, "GET /relay.cfg HTTP/1.0\r\n\r\n")
                  .rfind("HTTP/1.0 404", 0),
              0u);
    for (const int edge : {ports_[1936], ports_[1937]}) {
        EXPECT_TRUE(WaitUntil(15s, [&] { return EdgeCarriesTheBroadcast(edge); }))
            << edge << ": " << Probe(edge);
    }
    // The caption is in the edge's pictures: its white letters on their
    // black shadow in the top-left corner, over the test picture's light
    // left bar, which below them has no dark pixel.
    const fs::path picture = folder_ / "edge.rgb";
    ASSERT_EQ(RunCommand("timeout 20 ffmpeg -v error -y -i rtmp://127.0.0.1:" +
                         std::to_string(ports_[1937]) +
                         "/live/stream -frames:v 1 -f rawvideo -pix_fmt rgb24 " + picture.string() +
                         " && echo decoded"),
              "decoded\n");
    const std::string pixels = ReadWholeFile(picture);
    ASSERT_EQ(pixels.size(), static_cast<std::size_t>(frameWidth_ * frameHeight_ * 3));
    const auto luma = [&](int x, int y) {
        const auto* p =
            reinterpret_cast<const unsigned char*>(pixels.data()) + (y * frameWidth_ + x) * 3;
        return (p[0] * 299 + p[1] * 587 + p[2] * 114) / 1000;
    };
    int white = 0, dark = 0, darkBelow = 0;
    for (int y = 2; y < 14; ++y) {
        for (int x = 2; x < 40; ++x) {
            white += luma(x, y) > 220;
            dark += luma(x, y) < 70;
        }
    }
    for (int y = 40; y < 80; ++y) {
        for (int x = 2; x < 40; ++x) darkBelow += luma(x, y) < 70;
    }
    EXPECT_GT(white, 10);
    EXPECT_GT(dark, 10);
    EXPECT_EQ(darkBelow, 0);

    for (const char* edge : {"edge-push", "edge-pull"}) {
        const fs::path playlist = folder_ / edge / "hls/stream.m3u8";
        EXPECT_TRUE(WaitUntil(15s, [&] {
            return ReadWholeFile(playlist).find(".ts") != std::string::npos;
        })) << edge;
        // The playlist plays: the first segment it lists, fetched from the
        // edge's web server, decodes as H.264 pictures and AAC.
        const std::string list = ReadWholeFile(playlist);
        const std::size_t end = list.find(".ts");
        ASSERT_NE(end, std::string::npos) << list;
        const std::size_t start = list.rfind('\n', end) + 1;
        const std::string segment = list.substr(start, end + 3 - start);
        const int httpPort = ports_[std::string(edge) == "edge-push" ? 8936 : 8937];
        const std::string decoded = RunCommand(
            "timeout 10 ffprobe -v error -count_frames -show_entries "
            "stream=codec_name,nb_read_frames "
            "-of csv=p=0 http://127.0.0.1:" +
            std::to_string(httpPort) + "/hls/" + segment + " 2>/dev/null");
        EXPECT_NE(decoded.find("h264,"), std::string::npos) << edge << ": " << decoded;
        EXPECT_NE(decoded.find("aac,"), std::string::npos) << edge << ": " << decoded;
        // The page's player fetches the playlist from another origin.
        EXPECT_NE(
            RunCommand("curl -sI http://127.0.0.1:" + std::to_string(httpPort) + "/hls/stream.m3u8")
                .find("Access-Control-Allow-Origin: *"),
            std::string::npos);
    }
    // The key is a secret: nothing the program printed holds it.
    EXPECT_EQ(Errors().find(kKey), std::string::npos) << Errors();
    EXPECT_EQ(ReadWholeFile(folder_ / "stdout.txt").find(kKey), std::string::npos);

    // The origin goes away and comes back; a local viewer watches throughout.
    StartViewer();
    StopGroup(servers_["origin"]);
    ASSERT_TRUE(WaitUntil(10s, [&] { return CountInErrors(": reconnecting in") >= 1; }))
        << Errors();
    const int framesBefore = ViewerFrames();
    std::this_thread::sleep_for(2s);
    StartServer("origin");
    ASSERT_TRUE(WaitForPort(ports_[1935], 10s));
    const auto back = std::chrono::steady_clock::now();
    for (const int edge : {ports_[1936], ports_[1937]}) {
        EXPECT_TRUE(WaitUntil(10s - (std::chrono::steady_clock::now() - back) > 0s
                                  ? std::chrono::duration_cast<std::chrono::milliseconds>(
                                        10s - (std::chrono::steady_clock::now() - back))
                                  : 0ms,
                              [&] { return EdgeCarriesTheBroadcast(edge); }))
            << "edge " << edge << " has no pictures 10 s after the origin's return\n"
            << Errors();
    }
    EXPECT_GE(CountInErrors(": publishing"), 2u) << Errors();
    EXPECT_GT(ViewerFrames(), framesBefore) << "the local viewer stalled while the relay was away";
    EXPECT_EQ(ReadWholeFile(folder_ / "viewer.stderr"), "");
    StopGroup(viewer_);
}

TEST_F(RelayClusterTest, AFrozenOriginNeverStallsTheLocalViewers) {
    WriteRelayFile("url=" + OriginUrl() + "\npublish=1\n");
    Launch();
    ASSERT_TRUE(WaitUntil(20s, [&] { return CountInErrors(": publishing") >= 1; })) << Errors();
    StartViewer();
    const int framesBefore = ViewerFrames();
    kill(-servers_["origin"], SIGSTOP);
    std::this_thread::sleep_for(15s);
    const int framesFrozen = ViewerFrames() - framesBefore;
    kill(-servers_["origin"], SIGCONT);
    // 15 s at 10 pictures a second: the local viewer kept watching (a
    // capture held up by the relay would give it next to none; half the
    // rate leaves room for a busy machine).
    EXPECT_GT(framesFrozen, 75) << "the local viewer got " << framesFrozen << " pictures in 15 s";
    // The frozen relay was noticed and left; publishing comes back.
    EXPECT_GE(CountInErrors(": reconnecting in"), 1u) << Errors();
    EXPECT_TRUE(WaitUntil(40s, [&] { return CountInErrors(": publishing") >= 2; })) << Errors();
    EXPECT_TRUE(WaitUntil(15s, [&] { return EdgeCarriesTheBroadcast(ports_[1936]); }));
    StopGroup(viewer_);
}

TEST_F(RelayClusterTest, BadRelaySettingsAreSaidPlainlyAndTheBroadcastGoesOn) {
    struct Case {
        const char* name;
        std::string file;
        std::string message;
    };
    const std::string origin = "rtmp://127.0.0.1:" + std::to_string(ports_[1935]) + "/live/";
    const std::vector<Case> cases = {
        {"wrong key", "url=" + origin + "stream?key=WRONG-KEY-123\npublish=1\n",
         "reconnecting in 1 s: the relay did not take the stream (Input/output error); are the "
         "application and the stream key right?"},
        {"unknown host",
         "url=rtmp://no-such-relay.invalid/live/stream?key=WRONG-KEY-123\npublish=1\n",
         "unknown relay host \"no-such-relay.invalid\""},
        {"malformed address", "url=http://127.0.0.1/live/WRONG-KEY-123\npublish=1\n",
         "relay ****: off: the relay address must begin with rtmp:// or rtmps://"},
        {"damaged file", "url=" + origin + "stream?key=WRONG-KEY-123\npublish=maybe\n",
         "is damaged (line 2: publish= must be 0 or 1); broadcasting without the relay"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        WriteRelayFile(c.file);
        fs::remove(folder_ / "stderr.txt");
        Launch();
        EXPECT_TRUE(WaitUntil(15s, [&] { return Errors().find(c.message) != std::string::npos; }))
            << Errors();
        // The local broadcast is untouched: a viewer gets pictures.
        const std::string local = RunCommand(
            "timeout 20 ffprobe -v error -select_streams v -show_entries stream=codec_name -of "
            "csv=p=0 "
            "http://127.0.0.1:" +
            std::to_string(g_settings.asfPort) + "/ 2>/dev/null");
        EXPECT_FALSE(local.empty()) << "no local stream";
        EXPECT_EQ(Errors().find("WRONG-KEY-123"), std::string::npos) << Errors();
        StopGroup(program_pid_);
    }
    // The refused publishes left the cluster as it was: the right key is
    // taken, and an edge carries the broadcast.
    WriteRelayFile("url=" + OriginUrl() + "\npublish=1\n");
    fs::remove(folder_ / "stderr.txt");
    Launch();
    EXPECT_TRUE(WaitUntil(20s, [&] { return CountInErrors(": publishing") >= 1; })) << Errors();
    EXPECT_TRUE(WaitUntil(15s, [&] { return EdgeCarriesTheBroadcast(ports_[1936]); }));
}

}  // namespace
