// The network sink end to end over loopback: a live stream of the test
// picture and a tone, played by ffprobe and ffmpeg (plain HTTP and mmsh) and
// by raw sockets for the server's rules.

#include <gtest/gtest.h>

#include "tests/support/Skip.h"
#include "tests/wmvcore/LiveStreamFixture.h"

using namespace wmv;
using namespace wmvtest;

namespace {

class LiveStream : public LiveStreamFixture {
  protected:
    std::string Url(const char* scheme = "http") const { return UrlOf(scheme, "/MyFile.wma"); }

    // Decodes the first video frame a fresh viewer gets, as RGB rows top-down.
    std::string FirstFrame(const std::string& url, std::string* errors) {
        TempDir dir;
        const std::string log = dir.Path() + "/errors.txt";
        std::string frame =
            RunCommand("timeout 60 ffmpeg -nostdin -v error -i '" + url +
                       "' -map 0:v -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>'" + log + "'");
        if (errors) *errors = RunCommand("cat '" + log + "'");
        return frame;
    }
};

// Checks the four quadrants of a decoded frame: red, green / blue, white.
void ExpectUprightColours(const std::string& frame) {
    constexpr int kWidth = LiveStream::kWidth, kHeight = LiveStream::kHeight;
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(kWidth * kHeight * 3));
    struct Probe {
        int x, y, r, g, b;
        const char* where;
    } probes[] = {
        {kWidth / 4, kHeight / 4, 255, 0, 0, "top left"},
        {kWidth * 3 / 4, kHeight / 4, 0, 255, 0, "top right"},
        {kWidth / 4, kHeight * 3 / 4, 0, 0, 255, "bottom left"},
        {kWidth * 3 / 4, kHeight * 3 / 4, 255, 255, 255, "bottom right"},
    };
    for (const Probe& p : probes) {
        const auto* px =
            reinterpret_cast<const std::uint8_t*>(frame.data()) + (p.y * kWidth + p.x) * 3;
        EXPECT_NEAR(px[0], p.r, 60) << p.where;
        EXPECT_NEAR(px[1], p.g, 60) << p.where;
        EXPECT_NEAR(px[2], p.b, 60) << p.where;
    }
}

std::string PlainRequest() {
    return "GET /MyFile.wma HTTP/1.0\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
}

std::string FramedRequest(bool play) {
    std::string request =
        "GET /MyFile.wma HTTP/1.0\r\nAccept: */*\r\nUser-Agent: NSPlayer/4.1.0.3856\r\n"
        "Pragma: xClientGUID={c77e7400-738a-11d2-9add-0020af0a3278}\r\n";
    if (play)
        request +=
            "Pragma: xPlayStrm=1\r\nPragma: no-cache,rate=1.000000,stream-time=0Connection: "
            "Close\r\n";
    return request + "\r\n";
}

TEST_F(LiveStream, PlainHttpClientsSeeTheStreamsAndAnUprightPicture) {
    if (!HaveTool("ffprobe") || !HaveTool("ffmpeg")) LUMACAST_SKIP() << "ffmpeg is not installed";
    StartStream(3);
    const std::string probe = RunCommand(
        "timeout 60 ffprobe -v error -show_entries "
        "stream=codec_name,width,height,sample_rate,channels -of csv=p=0 '" +
        Url() + "' 2>&1");
    EXPECT_NE(probe.find("wmv2,320,240"), std::string::npos) << probe;
    EXPECT_NE(probe.find("wmav2,44100,2"), std::string::npos) << probe;
    std::string errors;
    ExpectUprightColours(FirstFrame(Url(), &errors));
    EXPECT_EQ(Clients(), 0u) << "viewers that left are not counted";
}

TEST_F(LiveStream, LateViewerDecodesCleanlyFromItsFirstFrame) {
    if (!HaveTool("ffmpeg")) LUMACAST_SKIP() << "ffmpeg is not installed";
    StartStream(3);
    std::this_thread::sleep_for(std::chrono::seconds(4));
    std::string errors;
    ExpectUprightColours(FirstFrame(Url(), &errors));
    EXPECT_EQ(errors, "") << "a viewer must start at a key frame";
}

TEST_F(LiveStream, MmshClientPlays) {
    if (!HaveTool("ffmpeg")) LUMACAST_SKIP() << "ffmpeg is not installed";
    StartStream(3);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    std::string errors;
    ExpectUprightColours(FirstFrame(Url("mmsh"), &errors));
    EXPECT_EQ(errors, "");
}

TEST_F(LiveStream, DescribeGetsTheFramedHeaderWithALowPreroll) {
    StartStream(1);
    UniqueFd viewer = Connect(port);
    ASSERT_TRUE(viewer);
    ASSERT_TRUE(SendAll(viewer.Get(), FramedRequest(false)));
    bool closed = false;
    const std::string reply = ReadSome(viewer.Get(), 1 << 20, 5000, &closed);
    EXPECT_TRUE(closed) << "a describe request ends after the header";
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u);
    EXPECT_NE(reply.find("Content-Type: application/vnd.ms.wms-hdr.asfv1"), std::string::npos);
    const std::size_t body = reply.find("\r\n\r\n") + 4;
    ASSERT_GT(reply.size(), body + 12);
    EXPECT_EQ(reply.substr(body, 2), "$H");
    const auto length = static_cast<std::uint8_t>(reply[body + 2]) |
                        static_cast<std::uint8_t>(reply[body + 3]) << 8;
    EXPECT_EQ(static_cast<std::size_t>(length) + 4, reply.size() - body)
        << "one header chunk and nothing else";
    // The file properties object announces no preroll wait.
    const std::string guid("\xA1\xDC\xAB\x8C\x47\xA9\xCF\x11\x8E\xE4\x00\xC0\x0C\x20\x53\x65", 16);
    const std::size_t at = reply.find(guid);
    ASSERT_NE(at, std::string::npos);
    std::uint64_t preroll = 1;
    std::memcpy(&preroll, reply.data() + at + 80, 8);
    EXPECT_EQ(preroll, 0u);
    EXPECT_EQ(Clients(), 0u) << "a describe request is no viewer";
}

TEST_F(LiveStream, ViewersBeyondTheMaximumAreRefused) {
    StartStream(2);
    UniqueFd first = Connect(port), second = Connect(port);
    ASSERT_TRUE(SendAll(first.Get(), PlainRequest()));
    ASSERT_TRUE(SendAll(second.Get(), FramedRequest(true)));
    EXPECT_EQ(ReadSome(first.Get(), 15, 5000), "HTTP/1.0 200 OK");
    EXPECT_EQ(ReadSome(second.Get(), 15, 5000), "HTTP/1.0 200 OK");
    EXPECT_TRUE(WaitFor([&] { return Clients() == 2; }, 5000));
    UniqueFd third = Connect(port);
    ASSERT_TRUE(SendAll(third.Get(), PlainRequest()));
    bool closed = false;
    const std::string refusal = ReadSome(third.Get(), 4096, 5000, &closed);
    EXPECT_EQ(refusal.rfind("HTTP/1.0 503", 0), 0u) << refusal;
    EXPECT_TRUE(closed);
    EXPECT_EQ(Clients(), 2u);
    // A place that becomes free is given to the next viewer.
    first.Reset();
    EXPECT_TRUE(WaitFor([&] { return Clients() == 1; }, 5000));
    UniqueFd fourth = Connect(port);
    ASSERT_TRUE(SendAll(fourth.Get(), PlainRequest()));
    EXPECT_EQ(ReadSome(fourth.Get(), 15, 5000), "HTTP/1.0 200 OK");
}

TEST_F(LiveStream, StalledViewerIsDroppedWhileAnotherKeepsReceiving) {
    StartStream(3, 1200000);
    UniqueFd stalled = Connect(port, 4096);
    ASSERT_TRUE(SendAll(stalled.Get(), PlainRequest()));
    UniqueFd reader = Connect(port);
    ASSERT_TRUE(SendAll(reader.Get(), PlainRequest()));
    std::atomic<bool> reading{true};
    std::atomic<std::size_t> received{0};
    std::thread drain([&] {
        while (reading) {
            const std::string data = ReadSome(reader.Get(), 1 << 16, 200);
            received += data.size();
        }
    });
    EXPECT_TRUE(WaitFor([&] { return Clients() == 2; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return Clients() == 1; }, 60000))
        << "the stalled viewer must be dropped";
    const std::size_t before = received;
    EXPECT_TRUE(WaitFor([&] { return received > before; }, 10000))
        << "the other viewer keeps receiving";
    EXPECT_EQ(feeder->Failures(), 0) << "the writer never stalled";
    reading = false;
    drain.join();
}

TEST_F(LiveStream, EndOfWritingEndsEveryViewersStream) {
    StartStream(3);
    UniqueFd plain = Connect(port), framed = Connect(port);
    ASSERT_TRUE(SendAll(plain.Get(), PlainRequest()));
    ASSERT_TRUE(SendAll(framed.Get(), FramedRequest(true)));
    EXPECT_TRUE(WaitFor([&] { return Clients() == 2; }, 5000));
    // Each viewer reads until its stream ends, or for 20 s at most, so that a
    // stream that never ends fails the test rather than hanging it.
    struct Seen {
        std::atomic<std::size_t> bytes{0};
        bool closed = false;
        std::string tail;  // the last 8 bytes
    };
    const auto readUntilEnd = [deadline = std::chrono::steady_clock::now() +
                                          std::chrono::seconds(20)](int fd, Seen* seen) {
        while (!seen->closed && std::chrono::steady_clock::now() < deadline) {
            const std::string data = ReadSome(fd, 1 << 20, 200, &seen->closed);
            seen->bytes += data.size();
            seen->tail += data;
            if (seen->tail.size() > 8) seen->tail.erase(0, seen->tail.size() - 8);
        }
    };
    Seen plainSeen, framedSeen;
    std::thread plainReader(readUntilEnd, plain.Get(), &plainSeen);
    std::thread framedReader(readUntilEnd, framed.Get(), &framedSeen);
    EXPECT_TRUE(WaitFor([&] { return plainSeen.bytes > 0 && framedSeen.bytes > 0; }, 10000))
        << "both viewers receive the stream";
    StopWriting();
    plainReader.join();
    framedReader.join();
    EXPECT_TRUE(plainSeen.closed) << "the plain stream did not end within 20 s";
    EXPECT_TRUE(framedSeen.closed) << "the framed stream did not end within 20 s";
    EXPECT_EQ(framedSeen.tail.substr(0, 2), "$E") << "the framed stream ends with its end chunk";
    EXPECT_TRUE(WaitFor([&] { return Clients() == 0; }, 5000));
}

TEST_F(LiveStream, OpenOnAPortInUseFailsAndCloseDisconnects) {
    StartStream(3);
    IWMWriterNetworkSink* raw = nullptr;
    ASSERT_EQ(WMCreateWriterNetworkSink(&raw), S_OK);
    auto other = RefPtr<IWMWriterNetworkSink>::Adopt(raw);
    std::uint32_t busy = port;
    EXPECT_TRUE(FAILED(other->Open(&busy)));
    UniqueFd viewer = Connect(port);
    ASSERT_TRUE(SendAll(viewer.Get(), PlainRequest()));
    EXPECT_EQ(ReadSome(viewer.Get(), 15, 5000), "HTTP/1.0 200 OK");
    ASSERT_EQ(sink->Close(), S_OK);
    bool closed = false;
    while (!closed) {
        const std::string data = ReadSome(viewer.Get(), 1 << 20, 5000, &closed);
        if (data.empty() && !closed) break;
    }
    EXPECT_TRUE(closed);
    EXPECT_EQ(Clients(), 0u);
    EXPECT_FALSE(Connect(port)) << "nothing listens after Close";
}

TEST_F(LiveStream, MalformedRequestsGetErrors) {
    StartStream(3);
    const struct {
        std::string request;
        const char* status;
    } cases[] = {
        {"GARBAGE\r\n\r\n", "HTTP/1.0 400"},
        {"POST /MyFile.wma HTTP/1.0\r\n\r\n", "HTTP/1.0 501"},
        {"GET MyFile.wma HTTP/1.0\r\n\r\n", "HTTP/1.0 400"},
        {"GET /" + std::string(9000, 'a') + " HTTP/1.0\r\n\r\n", "HTTP/1.0 400"},
    };
    for (const auto& c : cases) {
        UniqueFd fd = Connect(port);
        ASSERT_TRUE(fd);
        SendAll(fd.Get(), c.request);
        bool closed = false;
        const std::string reply = ReadSome(fd.Get(), 4096, 5000, &closed);
        EXPECT_EQ(reply.rfind(c.status, 0), 0u) << c.request.substr(0, 40) << ": " << reply;
    }
    EXPECT_EQ(Clients(), 0u);
}

}  // namespace

// The writer hands over the packets of a frame in one call: every packet of
// the burst reaches the viewer, in order; a part of a packet is refused.
TEST(NetworkSink, TakesBurstsOfWholePackets) {
    IWMWriterNetworkSink* raw = nullptr;
    ASSERT_EQ(WMCreateWriterNetworkSink(&raw), S_OK);
    auto sink = RefPtr<IWMWriterNetworkSink>::Adopt(raw);
    std::uint32_t port = 0;
    ASSERT_EQ(sink->Open(&port), S_OK);
    const std::string header(64, 'H');
    ASSERT_EQ(
        sink->OnHeader(reinterpret_cast<const std::uint8_t*>(header.data()), header.size(), 100, 0),
        S_OK);
    UniqueFd viewer = Connect(port);
    ASSERT_TRUE(SendAll(viewer.Get(), "GET /MyFile.wma HTTP/1.0\r\n\r\n"));
    std::string got = ReadSome(viewer.Get(), 1, 5000);
    got += ReadSome(viewer.Get(), 1 << 16, 300);  // the response head and the header
    const std::size_t headerAt = got.find(header);
    ASSERT_NE(headerAt, std::string::npos);
    // Packets whose flags and send time read as zeros, then their letter.
    std::string burst;
    for (char c : {'a', 'b', 'c'}) burst += std::string(8, '\0') + std::string(92, c);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(burst.data());
    EXPECT_EQ(sink->OnDataUnit(bytes, 150), E_INVALIDARG);
    EXPECT_EQ(sink->OnDataUnit(bytes, 0), E_INVALIDARG);
    ASSERT_EQ(sink->OnDataUnit(bytes, burst.size()), S_OK);
    std::string data = got.substr(headerAt + header.size());
    while (data.size() < burst.size()) {
        const std::string more = ReadSome(viewer.Get(), burst.size() - data.size(), 5000);
        if (more.empty()) break;
        data += more;
    }
    EXPECT_EQ(data, burst);
    EXPECT_EQ(sink->Close(), S_OK);
}
