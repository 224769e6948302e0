// The stream server's fragmented MP4 over loopback, fed by a shared encode
// of the test's own pictures and sound: what a viewer gets, when the encode
// runs, and the viewers' share of the maximum.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "codec/SharedEncode.h"
#include "tests/support/Skip.h"
#include "tests/support/TempFolder.h"
#include "tests/wmvcore/StreamTestSupport.h"
#include "wmvcore/wmvcore.h"

using namespace wmv;
using namespace wmvtest;

namespace {

constexpr int kWidth = 160, kHeight = 120, kFps = 10;

class Mp4Stream : public ::testing::Test {
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

    std::unique_ptr<codec::SharedEncode> encode;
    RefPtr<IWMWriterNetworkSink> sink;
    std::uint32_t port = 0;
    std::atomic<bool> stop{false};
    std::thread feeding;
};

// A viewer gets the init segment and fragments that ffprobe reads as H.264
// and AAC; one that joins later begins on a key frame of the running
// encode; nothing is encoded before the first viewer or after the last.
TEST_F(Mp4Stream, ViewersGetTheInitAndBeginOnAKeyFrameAndTheEncodeRunsOnlyForThem) {
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
TEST_F(Mp4Stream, Mp4ViewersShareTheMaximum) {
    UniqueFd a = Watch(), b = Watch();
    for (int fd : {a.Get(), b.Get()}) EXPECT_EQ(ReadSome(fd, 15, 10000), "HTTP/1.0 200 OK");
    UniqueFd refused = Watch();
    EXPECT_EQ(Read(refused.Get(), 3000).first.rfind("HTTP/1.0 503", 0), 0u);
    a.Reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    UniqueFd next = Watch();
    EXPECT_EQ(ReadSome(next.Get(), 15, 10000), "HTTP/1.0 200 OK");
}

}  // namespace
