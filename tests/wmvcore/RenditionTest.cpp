// The browser rendition: the WebM framing on hand-made frames, and the
// stream server's /live.webm end to end over loopback, read by ffprobe,
// ffmpeg and raw sockets, next to ASF viewers.

#include <gtest/gtest.h>
#include <sys/socket.h>

#include "tests/support/Skip.h"
#include "tests/wmvcore/LiveStreamFixture.h"
#include "wmvcore/BrowserRendition.h"
#include "wmvcore/WebmChannel.h"
#include "wmvcore/WebmMuxer.h"

using namespace wmv;
using namespace wmvtest;

namespace {

// A small EBML reader: elements one after another, sizes of unknown length
// read as "to the end".
struct Element {
    std::uint32_t id = 0;
    std::size_t at = 0;    // start of the body
    std::size_t size = 0;  // of the body
    bool unknownSize = false;
};

bool ReadElement(const std::string& bytes, std::size_t pos, Element* element) {
    if (pos >= bytes.size()) return false;
    auto byte = [&](std::size_t i) { return static_cast<std::uint8_t>(bytes[i]); };
    int idLength = 1;
    while (idLength <= 4 && !(byte(pos) & (0x80 >> (idLength - 1)))) ++idLength;
    if (idLength > 4 || pos + idLength > bytes.size()) return false;
    element->id = 0;
    for (int i = 0; i < idLength; ++i) element->id = element->id << 8 | byte(pos + i);
    pos += idLength;
    if (pos >= bytes.size()) return false;
    int sizeLength = 1;
    while (sizeLength <= 8 && !(byte(pos) & (0x80 >> (sizeLength - 1)))) ++sizeLength;
    if (sizeLength > 8 || pos + sizeLength > bytes.size()) return false;
    std::uint64_t size = byte(pos) & (0xFF >> sizeLength);
    bool allOnes = size == (0xFFu >> sizeLength);
    for (int i = 1; i < sizeLength; ++i) {
        size = size << 8 | byte(pos + i);
        allOnes = allOnes && byte(pos + i) == 0xFF;
    }
    element->at = pos + sizeLength;
    element->unknownSize = allOnes;
    element->size = allOnes ? bytes.size() - element->at : static_cast<std::size_t>(size);
    return element->at + element->size <= bytes.size();
}

// The children of a body, in order.
std::vector<Element> Children(const std::string& bytes, std::size_t at, std::size_t size) {
    std::vector<Element> children;
    Element element;
    for (std::size_t pos = at; pos < at + size && ReadElement(bytes, pos, &element);
         pos = element.at + element.size) {
        children.push_back(element);
        if (element.unknownSize) break;
    }
    return children;
}

constexpr std::uint32_t kEbml = 0x1A45DFA3, kSegment = 0x18538067, kTracks = 0x1654AE6B,
                        kCluster = 0x1F43B675, kSimpleBlock = 0xA3, kTimestamp = 0xE7;

// One SimpleBlock as read back.
struct BlockView {
    int track = 0;
    bool key = false;
    std::int64_t timeMs = 0;  // cluster time + relative time
    std::string data;
};

// The clusters of a WebM byte stream that starts with its header, each as
// its blocks. Stops at the first incomplete element.
std::vector<std::vector<BlockView>> Clusters(const std::string& bytes) {
    std::vector<std::vector<BlockView>> clusters;
    Element ebml, segment;
    if (!ReadElement(bytes, 0, &ebml) || ebml.id != kEbml) return clusters;
    if (!ReadElement(bytes, ebml.at + ebml.size, &segment) || segment.id != kSegment)
        return clusters;
    for (const Element& child : Children(bytes, segment.at, segment.size)) {
        if (child.id != kCluster) continue;
        std::vector<BlockView> blocks;
        std::int64_t clusterMs = 0;
        for (const Element& part : Children(bytes, child.at, child.size)) {
            if (part.id == kTimestamp) {
                clusterMs = 0;
                for (std::size_t i = 0; i < part.size; ++i)
                    clusterMs = clusterMs << 8 | static_cast<std::uint8_t>(bytes[part.at + i]);
            } else if (part.id == kSimpleBlock && part.size >= 4) {
                BlockView block;
                block.track = static_cast<std::uint8_t>(bytes[part.at]) & 0x7F;
                const auto relative =
                    static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[part.at + 1]) << 8 |
                                              static_cast<std::uint8_t>(bytes[part.at + 2]));
                block.timeMs = clusterMs + relative;
                block.key = static_cast<std::uint8_t>(bytes[part.at + 3]) & 0x80;
                block.data = bytes.substr(part.at + 4, part.size - 4);
                blocks.push_back(block);
            }
        }
        clusters.push_back(blocks);
    }
    return clusters;
}

TEST(Ebml, SizesTakeTheShortestFormAndAvoidTheUnknownMarker) {
    const struct {
        std::uint64_t size;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {0, {0x80}},
        {126, {0xFE}},
        {127, {0x40, 0x7F}},  // 0xFF alone would mean "unknown"
        {16382, {0x7F, 0xFE}},
        {16383, {0x20, 0x3F, 0xFF}},
        {1u << 21, {0x10, 0x20, 0x00, 0x00}},
    };
    for (const auto& c : cases) {
        std::vector<std::uint8_t> out;
        ebml::PutSize(out, c.size);
        EXPECT_EQ(out, c.bytes) << c.size;
    }
    std::vector<std::uint8_t> out;
    ebml::PutUint(out, 0x2AD7B1, 1000000);
    EXPECT_EQ(out, (std::vector<std::uint8_t>{0x2A, 0xD7, 0xB1, 0x83, 0x0F, 0x42, 0x40}));
}

struct Delivered {
    std::string bytes;
    bool start;
};

WebmMuxer TwoTrackMuxer(std::vector<Delivered>* out) {
    WebmTrack video;
    video.video = true;
    video.codecId = "V_VP8";
    video.width = 320;
    video.height = 240;
    video.defaultDurationNs = 33333333;
    WebmTrack audio;
    audio.codecId = "A_OPUS";
    audio.sampleRate = 48000;
    audio.channels = 2;
    audio.codecPrivate = {'O', 'p', 'u', 's', 'H', 'e', 'a', 'd'};
    audio.codecDelayNs = 6500000;
    audio.seekPreRollNs = 80000000;
    return WebmMuxer({video, audio}, [out](const std::uint8_t* data, std::size_t size, bool start) {
        out->push_back({std::string(reinterpret_cast<const char*>(data), size), start});
    });
}

TEST(WebmMuxer, HeaderNamesBothTracksInALiveSegment) {
    std::vector<Delivered> out;
    WebmMuxer muxer = TwoTrackMuxer(&out);
    const std::string header(muxer.Header().begin(), muxer.Header().end());
    Element ebml, segment;
    ASSERT_TRUE(ReadElement(header, 0, &ebml));
    EXPECT_EQ(ebml.id, kEbml);
    EXPECT_NE(header.substr(ebml.at, ebml.size).find("webm"), std::string::npos);
    ASSERT_TRUE(ReadElement(header, ebml.at + ebml.size, &segment));
    EXPECT_EQ(segment.id, kSegment);
    EXPECT_TRUE(segment.unknownSize) << "a live segment has no size";
    const auto children = Children(header, segment.at, segment.size);
    ASSERT_EQ(children.size(), 2u);  // info and tracks, nothing a viewer would seek with
    EXPECT_EQ(children[1].id, kTracks);
    const std::string tracks = header.substr(children[1].at, children[1].size);
    EXPECT_NE(tracks.find("V_VP8"), std::string::npos);
    EXPECT_NE(tracks.find("A_OPUS"), std::string::npos);
    EXPECT_NE(tracks.find("OpusHead"), std::string::npos);
    EXPECT_EQ(children[1].at + children[1].size, header.size()) << "the header ends with tracks";
    EXPECT_TRUE(out.empty());
}

TEST(WebmMuxer, KeyPicturesStartClustersAndSoundRidesWithTheNextPicture) {
    std::vector<Delivered> out;
    WebmMuxer muxer = TwoTrackMuxer(&out);
    const std::string header(muxer.Header().begin(), muxer.Header().end());
    auto add = [&](std::size_t track, bool key, std::int64_t ms, const std::string& data) {
        muxer.Add(track, key, ms, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
    };
    add(1, true, 990, "a1");   // sound waits ...
    add(0, true, 1000, "K1");  // ... and goes out before the key picture's own cluster
    add(1, true, 1010, "a2");
    add(1, true, 1030, "a3");
    add(1, true, 1040, "a7");   // captured after the picture, encoded before it
    add(0, false, 1033, "p2");  // a picture ends its cluster, with the sound before it
    add(1, true, 1020, "a4");   // sound a little older than the last cluster
    add(0, true, 1066, "K3");
    add(1, true, 1100, "a5");
    add(1, true, 1310, "a6");  // over 200 ms of sound without a picture goes out alone
    ASSERT_EQ(out.size(), 6u);
    const bool starts[] = {false, true, false, false, true, false};
    std::string all = header;
    for (std::size_t i = 0; i < out.size(); ++i) {
        EXPECT_EQ(out[i].start, starts[i]) << i;
        all += out[i].bytes;
    }
    const auto clusters = Clusters(all);
    ASSERT_EQ(clusters.size(), 6u);
    auto describe = [](const std::vector<BlockView>& blocks) {
        std::string text;
        for (const auto& b : blocks)
            text += std::to_string(b.track) + (b.key ? "k" : "") + ":" + b.data + "@" +
                    std::to_string(b.timeMs) + " ";
        return text;
    };
    EXPECT_EQ(describe(clusters[0]), "2k:a1@990 ");
    EXPECT_EQ(describe(clusters[1]), "1k:K1@1000 ");
    EXPECT_EQ(describe(clusters[2]), "2k:a2@1010 2k:a3@1030 1:p2@1033 2k:a7@1040 ")
        << "blocks in time order, whatever their track";
    EXPECT_EQ(describe(clusters[3]), "2k:a4@1020 ") << "blocks keep their own times";
    EXPECT_EQ(describe(clusters[4]), "1k:K3@1066 ");
    EXPECT_EQ(describe(clusters[5]), "2k:a5@1100 2k:a6@1310 ");
    muxer.Flush();
    EXPECT_EQ(out.size(), 6u) << "nothing left to flush";
}

TEST(WebmMuxer, WithoutPicturesEverySoundFrameIsAStart) {
    std::vector<Delivered> out;
    WebmTrack audio;
    audio.codecId = "A_OPUS";
    audio.sampleRate = 48000;
    audio.channels = 1;
    WebmMuxer muxer({audio}, [&](const std::uint8_t* data, std::size_t size, bool start) {
        out.push_back({std::string(reinterpret_cast<const char*>(data), size), start});
    });
    const std::uint8_t frame[3] = {1, 2, 3};
    muxer.Add(0, true, 0, frame, sizeof frame);
    muxer.Add(0, true, 20, frame, sizeof frame);
    muxer.Add(5, true, 40, frame, sizeof frame);  // no such track: ignored
    ASSERT_EQ(out.size(), 2u);
    EXPECT_TRUE(out[0].start && out[1].start);
}

TEST(WebmChannel, AViewerGetsTheKeyFrameItAskedForBeforeItWasFirstServed) {
    WebmChannel channel;
    const std::uint8_t header[] = {'H'};
    ASSERT_EQ(channel.OnHeader(header, sizeof header), S_OK);
    const std::uint8_t older[] = {'k', '0'};
    ASSERT_EQ(channel.OnCluster(older, sizeof older, true), S_OK);

    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    UniqueFd browser(pair[1]);
    Connection connection;
    connection.fd.Reset(pair[0]);
    connection.state = Connection::State::Streaming;
    connection.viewer = channel.NewViewer();
    ASSERT_TRUE(channel.TakeKeyFrameRequest()) << "the viewer asks for a key frame";
    // The writer answers before the server's next round serves the viewer.
    const std::uint8_t asked[] = {'k', '1'};
    const std::uint8_t next[] = {'p', '2'};
    ASSERT_EQ(channel.OnCluster(asked, sizeof asked, true), S_OK);
    ASSERT_EQ(channel.OnCluster(next, sizeof next, false), S_OK);

    EXPECT_TRUE(connection.viewer->HasData());
    connection.viewer->Pump(connection);
    char got[16] = {};
    const ssize_t received = ::recv(browser.Get(), got, sizeof got, MSG_DONTWAIT);
    ASSERT_GT(received, 0);
    EXPECT_EQ(std::string(got, static_cast<std::size_t>(received)), "Hk1p2")
        << "the header, then the key frame the viewer asked for";
}

TEST(BrowserRendition, APictureAfterAGapIsAKeyFrame) {
    // Media Source players drop the pictures after a gap up to the next key
    // frame; the rendition's encoder makes that the picture after the gap.
    RenditionInput input;
    input.video = true;
    input.width = 64;
    input.height = 48;
    input.fps = 10;
    input.bitRate = 100000;
    input.gopSize = 100;
    FailureReport report;
    VideoEncoder encoder(&report);
    ASSERT_EQ(encoder.Open(RenditionVideoSettings(input)), S_OK);
    std::vector<std::uint8_t> picture(encoder.MaxLength());
    std::string keys;
    const int slots[] = {0, 1, 2, 4, 5, 6, 9, 10};
    for (int i = 0; i < 8; ++i) {
        for (std::size_t j = 0; j < picture.size(); ++j)
            picture[j] = static_cast<std::uint8_t>(j * 7 + i * 13);
        encoder.Encode(
            picture.data(), static_cast<std::uint32_t>(picture.size()),
            static_cast<std::uint64_t>(slots[i]) * 1000000u, false,
            [&](AVPacket* packet) { keys += packet->flags & AV_PKT_FLAG_KEY ? 'K' : '-'; });
    }
    EXPECT_EQ(keys, "K--K--K-");
}

class BrowserStream : public LiveStreamFixture {
  protected:
    void StartStream(std::uint32_t maxClients, std::uint32_t bitrate = 400000,
                     std::int64_t keySpacing = 10000000) {
        LiveStreamFixture::StartStream(maxClients, bitrate, keySpacing);
        if (HasFatalFailure()) return;
        IWMWriterRenditionInfo* rawInfo = nullptr;
        ASSERT_EQ(writer->QueryInterface(&rawInfo), S_OK);
        info = RefPtr<IWMWriterRenditionInfo>::Adopt(rawInfo);
    }

    struct Statistics {
        std::uint64_t pictures = 0, sounds = 0;
        bool running = false;
    };
    Statistics Rendition() {
        Statistics s;
        std::int32_t running = 0;
        EXPECT_EQ(info->GetRenditionStatistics(&s.pictures, &s.sounds, &running), S_OK);
        s.running = running != 0;
        return s;
    }

    std::string Url(const char* path) const { return UrlOf("http", path); }

    // Connects and asks for a path; returns the connection.
    UniqueFd Request(const std::string& path, const char* method = "GET") {
        UniqueFd fd = Connect(port);
        EXPECT_TRUE(fd);
        EXPECT_TRUE(SendAll(fd.Get(), std::string(method) + " " + path +
                                          " HTTP/1.1\r\nHost: x\r\nOrigin: http://x:80\r\n\r\n"));
        return fd;
    }

    // Reads a browser viewer's reply for a while: the head, and the body
    // (header and clusters) as far as it came.
    static void ReadReply(int fd, int ms, std::string* head, std::string* body) {
        std::string all;
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (std::chrono::steady_clock::now() < until) {
            bool closed = false;
            all += ReadSome(fd, 1 << 20, 100, &closed);
            if (closed) break;
        }
        const std::size_t end = all.find("\r\n\r\n");
        *head = all.substr(0, end == std::string::npos ? all.size() : end + 4);
        *body = end == std::string::npos ? "" : all.substr(end + 4);
    }

    RefPtr<IWMWriterRenditionInfo> info;
};

TEST_F(BrowserStream, EachPathGetsItsOwnStream) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffmpeg is not installed";
    StartStream(3);
    const struct {
        const char* path;
        const char* expected;
    } cases[] = {
        {"/live.webm", "vp8,320,240\nopus,48000,2\n"},
        {"/MyFile.wma", "wmv2,320,240\nwmav2,44100,2\n"},
        {"/", "wmv2,320,240\nwmav2,44100,2\n"},
        {"/live.webm.old", "wmv2,320,240\nwmav2,44100,2\n"},
    };
    for (const auto& c : cases) {
        const std::string probe = RunCommand(
            "timeout 60 ffprobe -v error -show_entries "
            "stream=codec_name,width,height,sample_rate,channels -of csv=p=0 '" +
            Url(c.path) + "' 2>&1");
        EXPECT_EQ(probe, c.expected) << c.path;
    }
    // A browser's page on another port may read the pictures.
    UniqueFd head = Request("/live.webm", "HEAD");
    std::string reply, body;
    ReadReply(head.Get(), 3000, &reply, &body);
    EXPECT_EQ(reply.rfind("HTTP/1.0 200 OK\r\n", 0), 0u) << reply;
    EXPECT_NE(reply.find("Content-Type: video/webm\r\n"), std::string::npos) << reply;
    EXPECT_NE(reply.find("Access-Control-Allow-Origin: *\r\n"), std::string::npos) << reply;
    EXPECT_EQ(body, "") << "HEAD gets no stream";
}

TEST_F(BrowserStream, BrowserAndAsfViewersShareTheMaximum) {
    StartStream(3);
    UniqueFd asf1 = Request("/MyFile.wma"), asf2 = Request("/");
    UniqueFd browser1 = Request("/live.webm");
    for (int fd : {asf1.Get(), asf2.Get(), browser1.Get()})
        EXPECT_EQ(ReadSome(fd, 15, 10000), "HTTP/1.0 200 OK");
    EXPECT_TRUE(WaitFor([&] { return Clients() == 3; }, 5000));
    UniqueFd browser2 = Request("/live.webm?second");
    bool closed = false;
    const std::string refusal = ReadSome(browser2.Get(), 4096, 10000, &closed);
    EXPECT_EQ(refusal.rfind("HTTP/1.0 503", 0), 0u) << refusal;
    EXPECT_TRUE(closed);
    EXPECT_EQ(Clients(), 3u);
    // A browser that leaves frees its place for the next one.
    browser1.Reset();
    EXPECT_TRUE(WaitFor([&] { return Clients() == 2; }, 5000));
    UniqueFd browser3 = Request("/live.webm");
    EXPECT_EQ(ReadSome(browser3.Get(), 15, 10000), "HTTP/1.0 200 OK");
    EXPECT_TRUE(WaitFor([&] { return Clients() == 3; }, 5000));
}

TEST_F(BrowserStream, TheRenditionRunsOnlyWhileABrowserWatches) {
    StartStream(5);
    UniqueFd asf = Request("/MyFile.wma");
    EXPECT_EQ(ReadSome(asf.Get(), 15, 10000), "HTTP/1.0 200 OK");
    std::this_thread::sleep_for(std::chrono::seconds(2));
    Statistics idle = Rendition();
    EXPECT_FALSE(idle.running);
    EXPECT_EQ(idle.pictures, 0u) << "no picture is encoded for browsers nobody runs";
    EXPECT_EQ(idle.sounds, 0u);

    UniqueFd browser = Request("/live.webm");
    EXPECT_TRUE(
        WaitFor([&] { return Rendition().pictures > 10 && Rendition().sounds > 10; }, 20000));
    EXPECT_TRUE(Rendition().running);
    browser.Reset();
    EXPECT_TRUE(WaitFor([&] { return !Rendition().running; }, 10000))
        << "the encoders close once the last browser has gone";
    const Statistics after = Rendition();
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    EXPECT_EQ(Rendition().pictures, after.pictures);
    EXPECT_EQ(feeder->Failures(), 0) << "the broadcast lost no sample meanwhile";
}

TEST_F(BrowserStream, ALateBrowserStartsWithAKeyFrame) {
    if (!HaveTool("ffmpeg")) LUMACAST_SKIP() << "ffmpeg is not installed";
    // Scheduled key frames only every 10 s: the late viewer's key frame is
    // the one it asked for.
    StartStream(3, 400000, 100000000);
    UniqueFd early = Request("/live.webm");
    std::this_thread::sleep_for(std::chrono::seconds(5));
    TempDir dir;
    const std::string log = dir.Path() + "/errors.txt";
    const std::string frame =
        RunCommand("timeout 60 ffmpeg -nostdin -v error -i '" + Url("/live.webm") +
                   "' -map 0:v -frames:v 1 -f rawvideo -pix_fmt rgb24 - 2>'" + log + "'");
    EXPECT_EQ(RunCommand("cat '" + log + "'"), "") << "the first frame decodes without errors";
    ASSERT_EQ(frame.size(), static_cast<std::size_t>(kWidth * kHeight * 3));
    // The top-left quadrant of the test picture is red.
    const auto* px = reinterpret_cast<const std::uint8_t*>(frame.data()) +
                     (kHeight / 4 * kWidth + kWidth / 4) * 3;
    EXPECT_GT(px[0], 180);
    EXPECT_LT(px[1], 80);

    // Read again by hand: the header, then a cluster that opens with a key
    // picture, soon and long before the next scheduled key frame.
    UniqueFd late = Request("/live.webm");
    std::string head, body;
    ReadReply(late.Get(), 1500, &head, &body);
    const auto clusters = Clusters(body);
    ASSERT_FALSE(clusters.empty()) << head;
    ASSERT_FALSE(clusters.front().empty());
    EXPECT_EQ(clusters.front().front().track, 1);
    EXPECT_TRUE(clusters.front().front().key);
    int pictures = 0;
    for (const auto& cluster : clusters) {
        for (const auto& block : cluster) pictures += block.track == 1;
    }
    EXPECT_GE(pictures, 5) << "pictures keep coming after the key frame";
}

TEST_F(BrowserStream, StalledBrowserIsDroppedWhileOthersKeepReceiving) {
    StartStream(4, 1200000);
    UniqueFd stalled = Connect(port, 4096);
    ASSERT_TRUE(SendAll(stalled.Get(), "GET /live.webm HTTP/1.1\r\n\r\n"));
    UniqueFd reader = Request("/live.webm");
    UniqueFd asf = Request("/MyFile.wma");
    std::atomic<bool> reading{true};
    std::atomic<std::size_t> received{0}, asfReceived{0};
    std::thread drain([&] {
        while (reading) {
            received += ReadSome(reader.Get(), 1 << 16, 100).size();
            asfReceived += ReadSome(asf.Get(), 1 << 16, 100).size();
        }
    });
    EXPECT_TRUE(WaitFor([&] { return Clients() == 3; }, 5000));
    EXPECT_TRUE(WaitFor([&] { return Clients() == 2; }, 60000))
        << "the stalled browser must be dropped";
    const std::size_t before = received, asfBefore = asfReceived;
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_GT(received.load(), before) << "the other browser keeps receiving";
    EXPECT_GT(asfReceived.load(), asfBefore) << "the ASF viewer keeps receiving";
    EXPECT_EQ(feeder->Failures(), 0) << "the writer never stalled";
    reading = false;
    drain.join();
}

TEST_F(BrowserStream, EndOfWritingEndsTheBrowsersStream) {
    StartStream(3);
    UniqueFd browser = Request("/live.webm");
    EXPECT_TRUE(WaitFor([&] { return Rendition().pictures > 5; }, 20000));
    feeder->Stop();
    writer->EndWriting();
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) ReadSome(browser.Get(), 1 << 20, 100, &closed);
    EXPECT_TRUE(closed);
    EXPECT_TRUE(WaitFor([&] { return Clients() == 0; }, 5000));
}

}  // namespace
