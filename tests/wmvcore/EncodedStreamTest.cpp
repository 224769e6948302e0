// The stream server's outputs of the shared encode (the fragmented MP4 and
// low-latency HLS) over loopback, fed by an encode of the test's own
// pictures and sound: what a viewer gets, when the encode runs, and the
// viewers' share of the maximum.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "codec/SharedEncode.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "tests/wmvcore/HlsPlaylistCheck.h"
#include "tests/wmvcore/StreamTestSupport.h"
#include "wmvcore/HlsChannel.h"
#include "wmvcore/wmvcore.h"

using namespace wmv;
using namespace wmvtest;

namespace {

constexpr int kWidth = 160, kHeight = 120, kFps = 10;

class EncodedStream : public ::testing::Test {
  protected:
    void SetUp() override {
        codec::MediaShape shape;
        shape.width = kWidth;
        shape.height = kHeight;
        shape.framesPerSecond = kFps;
        shape.sampleRate = 44100;
        shape.channels = 2;
        encode = std::make_unique<codec::SharedEncode>(shape);
        IWMWriterNetworkSink* raw = nullptr;
        ASSERT_EQ(WMCreateWriterNetworkSink(&raw), S_OK);
        sink = RefPtr<IWMWriterNetworkSink>::Adopt(raw);
        ASSERT_EQ(sink->SetNetworkProtocol(WMT_PROTOCOL_HTTP), S_OK);
        ASSERT_EQ(sink->Open(&port), S_OK);
        ASSERT_EQ(sink->SetMaximumClients(2), S_OK);
        IWMFragmentedMp4Sink* mp4 = nullptr;
        ASSERT_EQ(sink->QueryInterface(&mp4), S_OK);
        ASSERT_EQ(mp4->SetEncodedSource(encode.get()), S_OK);
        EXPECT_EQ(mp4->SetEncodedSource(encode.get()), NS_E_INVALID_REQUEST) << "once only";
        mp4->Release();
        // The broadcast, in real time: a picture and a tenth of a second of
        // sound ten times a second.
        feeding = std::thread([this] {
            std::vector<std::uint8_t> picture(static_cast<std::size_t>(kWidth) * 3 * kHeight);
            const std::vector<std::uint8_t> sound(4410 * 4, 0);
            for (std::int64_t frame = 0; !stop; ++frame) {
                DrawPicture(picture.data(), kWidth, kHeight, static_cast<int>(frame));
                encode->PushVideo(picture.data(), picture.size(), frame * 1000000);
                encode->PushAudio(sound.data(), sound.size(), frame * 1000000);
                std::this_thread::sleep_for(std::chrono::milliseconds(1000 / kFps));
            }
        });
    }
    void TearDown() override {
        stop = true;
        if (feeding.joinable()) feeding.join();
        if (sink) sink->Close();
        sink = {};
        encode.reset();
    }

    UniqueFd Watch(const char* path = "/live.mp4") {
        UniqueFd fd = Connect(port);
        EXPECT_TRUE(SendAll(fd.Get(), std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n"));
        return fd;
    }
    // What came on fd for ms: the head and the body.
    static std::pair<std::string, std::string> Read(int fd, int ms) {
        std::string all;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        bool closed = false;
        while (!closed && std::chrono::steady_clock::now() < until)
            all += ReadSome(fd, 1 << 20, 100, &closed);
        const std::size_t end = all.find("\r\n\r\n");
        if (end == std::string::npos) return {all, ""};
        return {all.substr(0, end + 4), all.substr(end + 4)};
    }

    // A whole answer (the server closes each): the head and the body.
    std::pair<std::string, std::string> Get(const std::string& path) {
        UniqueFd fd = Watch(path.c_str());
        return Read(fd.Get(), 5000);
    }

    std::unique_ptr<codec::SharedEncode> encode;
    RefPtr<IWMWriterNetworkSink> sink;
    std::uint32_t port = 0;
    std::atomic<bool> stop{false};
    std::thread feeding;
};

// A viewer gets the init segment and fragments that ffprobe reads as H.264
// and AAC; one that joins later begins on a key frame of the running
// encode; nothing is encoded before the first viewer or after the last.
TEST_F(EncodedStream, ViewersGetTheInitAndBeginOnAKeyFrameAndTheEncodeRunsOnlyForThem) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffmpeg is not installed";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(encode->PicturesEncoded(), 0) << "nothing is encoded for nobody";

    UniqueFd first = Watch();
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    UniqueFd late = Watch();
    const auto [lateHead, lateBody] = Read(late.Get(), 1500);
    late.Reset();
    const auto [head, body] = Read(first.Get(), 300);
    first.Reset();
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: video/mp4\r\n"), std::string::npos) << head;
    EXPECT_NE(head.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << head;
    ASSERT_GT(lateBody.size(), 8u);
    EXPECT_EQ(lateBody.substr(4, 4), "ftyp") << "the init segment comes first";

    testsupport::TempFolder folder;
    const std::filesystem::path file = folder.Path() / "late.mp4";
    std::ofstream(file, std::ios::binary) << lateBody;
    const std::string probe = "ffprobe -v error -of compact=p=0 ";
    EXPECT_EQ(
        RunCommand(probe + "-show_entries stream=codec_name,width,height '" + file.string() + "'"),
        "codec_name=h264|width=160|height=120\ncodec_name=aac\n");
    const std::string begins = RunCommand(
        probe + "-select_streams v -read_intervals %+#1 -show_entries packet=pts_time,flags '" +
        file.string() + "'");
    EXPECT_NE(begins.find("|flags=K"), std::string::npos) << begins;
    EXPECT_GT(std::atof(begins.c_str() + begins.find('=') + 1), 1.0)
        << "the late viewer joined the running encode: " << begins;

    // Both have gone: the encode stops.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::int64_t after = encode->PicturesEncoded();
    EXPECT_GT(after, 15);
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(encode->PicturesEncoded(), after) << "nothing is encoded once the last has gone";
}

// MP4 viewers count in the maximum like any other, and one that leaves
// frees its place.
TEST_F(EncodedStream, Mp4ViewersShareTheMaximum) {
    UniqueFd a = Watch(), b = Watch();
    for (int fd : {a.Get(), b.Get()}) EXPECT_EQ(ReadSome(fd, 15, 10000), "HTTP/1.0 200 OK");
    UniqueFd refused = Watch();
    EXPECT_EQ(Read(refused.Get(), 3000).first.rfind("HTTP/1.0 503", 0), 0u);
    a.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    UniqueFd next = Watch();
    EXPECT_EQ(ReadSome(next.Get(), 15, 10000), "HTTP/1.0 200 OK");
}

// What HLS viewers get: a variant naming the codecs, playlists that keep
// the rules reading after reading, a blocking reload and the preload hint's
// part answered once the part exists, a request too far ahead refused, and
// streams that FFmpeg's and GStreamer's HLS readers take.
TEST_F(EncodedStream, HlsPlaylistsKeepTheRulesAndBlockingRequestsAreAnsweredWhenThePartComes) {
    // The test, FFmpeg and GStreamer are a viewer each.
    ASSERT_EQ(sink->SetMaximumClients(3), S_OK);
    const auto [head, variants] = Get("/live.m3u8?invite=abc&x=%22");
    ASSERT_EQ(head.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << head;
    EXPECT_NE(head.find("Content-Type: application/vnd.apple.mpegurl\r\n"), std::string::npos);
    EXPECT_NE(head.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos);
    EXPECT_NE(variants.find(",CODECS=\"avc1."), std::string::npos) << variants;
    EXPECT_NE(variants.find(",mp4a.40.2\",RESOLUTION=160x120\n"), std::string::npos) << variants;
    const std::size_t at = variants.find("\nhls/");
    ASSERT_NE(at, std::string::npos) << variants;
    const std::string media = "/" + variants.substr(at + 1, variants.find('\n', at + 1) - at - 1);
    EXPECT_TRUE(media.ends_with("/media.m3u8?invite=abc&x=%22")) << media;
    const std::string base = media.substr(0, media.rfind('/') + 1);

    HlsPlaylistFacts facts, previous;
    bool havePrevious = false;
    int heldParts = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(6);
    while (std::chrono::steady_clock::now() < until) {
        auto [playlistHead, playlist] = Get(media);
        ASSERT_EQ(playlistHead.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << playlistHead;
        const auto faults = CheckHlsPlaylist(playlist, &facts, havePrevious ? &previous : nullptr);
        ASSERT_TRUE(faults.empty()) << faults.front() << "\n" << playlist;
        EXPECT_NE(playlist.find("?invite=abc&x=%22\""), std::string::npos) << "the invite goes on";
        previous = facts;
        havePrevious = true;
        ASSERT_FALSE(facts.preloadHint.empty());
        // The hinted part, asked for before it is there.
        const auto asked = std::chrono::steady_clock::now();
        const auto [partHead, part] = Get(base + facts.preloadHint);
        const auto waited = std::chrono::steady_clock::now() - asked;
        ASSERT_EQ(partHead.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << partHead;
        EXPECT_EQ(part.substr(4, 4), "moof");
        EXPECT_LT(waited, std::chrono::milliseconds(600)) << "within about a part's time";
        ++heldParts;
    }
    EXPECT_GT(heldParts, 10);
    EXPECT_GE(facts.segments, 3u);

    // A blocking reload for the part after the newest is answered with a
    // playlist that lists it; one three segments ahead is refused at once.
    const std::size_t lastSegment = facts.mediaSequence + facts.segments;
    const auto [blockedHead, blocked] =
        Get(media + "&_HLS_msn=" + std::to_string(lastSegment + 1) + "&_HLS_part=0");
    EXPECT_EQ(blockedHead.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << blockedHead;
    HlsPlaylistFacts after;
    EXPECT_TRUE(CheckHlsPlaylist(blocked, &after, &facts).empty()) << blocked;
    const std::size_t inProgress = after.mediaSequence + after.segments;
    EXPECT_GT(inProgress, lastSegment) << blocked;
    EXPECT_EQ(
        Get(media + "&_HLS_msn=" + std::to_string(inProgress + 3)).first.rfind("HTTP/1.0 400", 0),
        0u);
    EXPECT_EQ(Get(media + "&_HLS_part=1").first.rfind("HTTP/1.0 400", 0), 0u);
    EXPECT_EQ(Get(base + "part99999.m4s").first.rfind("HTTP/1.0 404", 0), 0u);
    EXPECT_EQ(Get("/hls/0123456789abcdef/../media.m3u8").first.rfind("HTTP/1.0 404", 0), 0u);

    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffmpeg is not installed";
    testsupport::TempFolder folder;
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/live.m3u8";
    const std::string copied = (folder.Path() / "hls.mp4").string();
    RunCommand("timeout 20 ffmpeg -v error -i '" + url + "' -t 3 -c copy -y '" + copied + "'");
    EXPECT_EQ(RunCommand("ffprobe -v error -of compact=p=0 -show_entries "
                         "stream=codec_name,width,height '" +
                         copied + "'"),
              "codec_name=h264|width=160|height=120\ncodec_name=aac\n");
    if (!HaveTool("gst-launch-1.0")) LUMACAST_SKIP() << "GStreamer is not installed";
    // Through hlsdemux2, which wants a streams-aware bin around it.
    const std::string played = RunCommand(
        "timeout 20 gst-launch-1.0 -v uridecodebin3 uri='" + url +
        "' name=d d. ! queue ! video/x-raw ! identity eos-after=20 silent=false ! fakesink 2>&1");
    EXPECT_NE(played.find("GstHLSDemux2"), std::string::npos) << played.substr(0, 2000);
    std::size_t pictures = 0;
    for (std::size_t at = played.find("last-message = chain"); at != std::string::npos;
         at = played.find("last-message = chain", at + 1))
        ++pictures;
    EXPECT_GE(pictures, 15u) << "pictures decoded";
}

// HLS viewers are sessions that count in the maximum with every other
// viewer; a session that stops asking lapses, and with the last the encode
// stops.
TEST_F(EncodedStream, HlsSessionsShareTheMaximumAndLapse) {
    EXPECT_EQ(Get("/live.m3u8").first.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    UniqueFd mp4 = Watch();
    EXPECT_EQ(ReadSome(mp4.Get(), 15, 10000), "HTTP/1.0 200 OK");
    std::uint32_t count = 0;
    IWMClientConnections* rawConnections = nullptr;
    ASSERT_EQ(sink->QueryInterface(&rawConnections), S_OK);
    auto connections = RefPtr<IWMClientConnections>::Adopt(rawConnections);
    ASSERT_EQ(connections->GetClientCount(&count), S_OK);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(Get("/live.m3u8").first.rfind("HTTP/1.0 503", 0), 0u);
    EXPECT_EQ(Get("/hls/0123456789abcdef/media.m3u8").first.rfind("HTTP/1.0 503", 0), 0u)
        << "an unknown session is a new viewer";
    mp4.Reset();

    const auto lapsed =
        std::chrono::steady_clock::now() + HlsChannel::kIdle + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < lapsed &&
           (connections->GetClientCount(&count), count) > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(count, 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::int64_t stopped = encode->PicturesEncoded();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(encode->PicturesEncoded(), stopped) << "nothing is encoded once the last has gone";
    EXPECT_EQ(Get("/live.m3u8").first.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
}

}  // namespace
