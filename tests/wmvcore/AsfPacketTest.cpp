// The data packets the writer makes, read back by a reader of the format's
// length flags; key-frame starts and the live header settings, on packets
// laid out byte by byte.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <utility>
#include <vector>

#include "tests/wmvcore/StreamTestSupport.h"
#include "wmvcore/AsfPacket.h"

namespace {

struct Payload {
    std::uint8_t stream;  // with 0x80 for a key frame
    std::uint32_t offset;
    std::uint32_t length;
    std::uint32_t time = 0;   // presentation time in milliseconds
    std::uint8_t object = 1;  // media object number
};

// A multiple-payload packet as the writer lays it out: error correction
// (0x82 0 0), length flags 0x11 (multiple payloads, padding length as a
// word; 0x01 without padding field), property flags 0x5D (byte stream and
// object numbers, 32-bit offset, byte replicated length), padding length,
// send time, duration, payload flags (word lengths), then the payloads with
// 8 bytes of replicated data each.
std::vector<std::uint8_t> Packet(const std::vector<Payload>& payloads, std::size_t size = 400,
                                 bool paddingField = true) {
    std::vector<std::uint8_t> p = {0x82, 0x00, 0x00,
                                   static_cast<std::uint8_t>(paddingField ? 0x11 : 0x01), 0x5D};
    if (paddingField) p.insert(p.end(), {0, 0});
    p.insert(p.end(), {0, 0, 0, 0, 0, 0});
    p.push_back(static_cast<std::uint8_t>(0x80 | payloads.size()));
    for (const Payload& payload : payloads) {
        p.push_back(payload.stream);
        p.push_back(payload.object);
        for (int i = 0; i < 4; ++i)
            p.push_back(static_cast<std::uint8_t>(payload.offset >> (8 * i)));
        p.push_back(8);
        for (int i = 0; i < 4; ++i) p.push_back(0);  // media object size
        for (int i = 0; i < 4; ++i) p.push_back(static_cast<std::uint8_t>(payload.time >> (8 * i)));
        p.push_back(static_cast<std::uint8_t>(payload.length));
        p.push_back(static_cast<std::uint8_t>(payload.length >> 8));
        p.insert(p.end(), payload.length, static_cast<std::uint8_t>(payload.object));
    }
    const std::size_t used = p.size();
    p.resize(std::max(size, p.size()), 0);
    if (paddingField) {
        p[5] = static_cast<std::uint8_t>(p.size() - used);
        p[6] = static_cast<std::uint8_t>((p.size() - used) >> 8);
    }
    return p;
}

TEST(AsfPacket, FindsKeyFrameStartsOfTheStream) {
    const struct {
        std::vector<Payload> payloads;
        std::uint16_t stream;
        bool starts;
    } cases[] = {
        {{{0x81, 0, 100}}, 1, true},
        {{{0x81, 50, 100}}, 1, false},  // the rest of a key frame
        {{{0x01, 0, 100}}, 1, false},   // a delta frame
        {{{0x82, 0, 100}}, 1, false},   // another stream
        {{{0x02, 0, 30}, {0x01, 0, 20}, {0x81, 0, 100}}, 1, true},
        {{{0x81, 10, 30}, {0x01, 0, 20}}, 1, false},
        {{}, 1, false},
    };
    for (const auto& c : cases) {
        const auto packet = Packet(c.payloads);
        EXPECT_EQ(wmv::PacketStartsKeyFrame(packet.data(), packet.size(), c.stream), c.starts)
            << c.payloads.size() << " payloads";
    }
}

TEST(AsfPacket, NamesThePresentationTimeOfTheStreamsLastPayload) {
    const struct {
        std::vector<Payload> payloads;
        std::int64_t time;
    } cases[] = {
        {{{0x81, 0, 100, 3100}}, 3100},
        {{{0x02, 0, 30, 3090}, {0x01, 40, 20, 3100}}, 3100},   // the end of a frame after audio
        {{{0x01, 40, 20, 3100}, {0x81, 0, 100, 3133}}, 3133},  // a frame ends, the next begins
        {{{0x01, 0, 20, 0x01020304}}, 0x01020304},             // all four bytes, little-endian
        {{{0x02, 0, 30, 3090}}, -1},                           // another stream only
        {{}, -1},
    };
    for (const auto& c : cases) {
        const auto packet = Packet(c.payloads);
        EXPECT_EQ(wmv::LastPresentationTime(packet.data(), packet.size(), 1), c.time)
            << c.payloads.size() << " payloads";
    }
}

TEST(AsfPacket, ANewViewersFirstPacketKeepsOnlyWholeFramesItCanUse) {
    // Stream 1 is the pictures, 2 the sound; each case names the objects
    // (stream, object number) that must be left, in their order.
    const struct {
        const char* name;
        std::vector<Payload> payloads;
        bool found;
        std::vector<std::pair<std::uint8_t, std::uint8_t>> left;
    } cases[] = {
        {"the end of a sound frame begun before",
         {{0x82, 640, 103, 0, 66}, {0x81, 0, 150, 0, 176}},
         true,
         {{1, 176}}},
        {"pictures before the key frame, sound kept",
         {{0x01, 0, 20, 0, 5},
          {0x82, 0, 30, 0, 7},
          {0x01, 7, 10, 0, 4},
          {0x81, 0, 100, 0, 6},
          {0x01, 0, 5, 0, 7}},
         true,
         {{2, 7}, {1, 6}, {1, 7}}},
        {"the rest of a sound frame begun in this packet",
         {{0x82, 0, 20, 0, 4}, {0x81, 0, 100, 0, 9}, {0x82, 20, 30, 0, 4}},
         true,
         {{2, 4}, {1, 9}, {2, 4}}},
        {"a key frame first: nothing to take out",
         {{0x81, 0, 100, 0, 3}, {0x82, 0, 30, 0, 8}},
         true,
         {{1, 3}, {2, 8}}},
        {"no key frame: left as it is",
         {{0x82, 10, 30, 0, 3}, {0x01, 0, 20, 0, 4}},
         false,
         {{2, 3}, {1, 4}}},
    };
    for (const auto& c : cases) {
        auto packet = Packet(c.payloads);
        EXPECT_EQ(wmv::TrimPacketForNewViewer(packet.data(), packet.size(), 1), c.found) << c.name;
        const wmvtest::PacketView view = wmvtest::ReadPacket(packet.data(), packet.size());
        ASSERT_TRUE(view.valid) << c.name << ": the padding covers what was taken out";
        std::vector<std::pair<std::uint8_t, std::uint8_t>> left;
        for (const auto& payload : view.payloads) {
            left.emplace_back(payload.stream, static_cast<std::uint8_t>(payload.object));
            EXPECT_EQ(payload.data, std::vector<std::uint8_t>(payload.data.size(), payload.object))
                << c.name << ": each payload keeps its own bytes";
        }
        EXPECT_EQ(left, c.left) << c.name;
    }

    // Without a padding field the packet cannot shrink: the whole earlier
    // pictures read as continuations, which players skip.
    auto fixed =
        Packet({{0x01, 0, 20, 0, 5}, {0x82, 0, 30, 0, 7}, {0x81, 0, 100, 0, 6}}, 400, false);
    ASSERT_TRUE(wmv::TrimPacketForNewViewer(fixed.data(), fixed.size(), 1));
    std::uint32_t offset = 0;
    std::memcpy(&offset, fixed.data() + 12 + 2, 4);
    EXPECT_EQ(offset, 1u);
    std::memcpy(&offset, fixed.data() + 12 + 17 + 20 + 2, 4);
    EXPECT_EQ(offset, 0u) << "sound is left alone";
    EXPECT_TRUE(wmv::PacketStartsKeyFrame(fixed.data(), fixed.size(), 1));
}

TEST(AsfPacket, TruncatedPacketsAreNotReadPastTheirEnd) {
    const auto packet = Packet({{0x02, 0, 30}, {0x81, 0, 100}}, 0);
    for (std::size_t size = 0; size < packet.size(); ++size) {
        std::vector<std::uint8_t> cut(packet.begin(),
                                      packet.begin() + static_cast<std::ptrdiff_t>(size));
        wmv::PacketStartsKeyFrame(cut.data(), cut.size(), 1);  // must not crash or overread
        wmv::TrimPacketForNewViewer(cut.data(), cut.size(), 1);
        wmv::LastPresentationTime(cut.data(), cut.size(), 1);
    }
    std::vector<std::uint8_t> garbage(64, 0xFF);
    EXPECT_FALSE(wmv::PacketStartsKeyFrame(garbage.data(), garbage.size(), 1));
}

TEST(AsfPacket, LiveHeaderGetsBroadcastFlagPrerollAndNoLength) {
    // Header object (30 bytes) with one file properties object of 104 bytes.
    std::vector<std::uint8_t> header(30 + 104, 0);
    const std::uint8_t guid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    std::memcpy(header.data() + 30, guid, 16);
    const std::uint64_t objectSize = 104, preroll = 3100;
    std::memcpy(header.data() + 30 + 16, &objectSize, 8);
    std::memcpy(header.data() + 30 + 80, &preroll, 8);
    const std::uint64_t playDuration = 31000000;  // the muxer's own preroll
    std::memcpy(header.data() + 30 + 64, &playDuration, 8);
    EXPECT_EQ(wmv::HeaderPreroll(header.data(), header.size()), 3100);
    ASSERT_TRUE(wmv::PatchLiveHeader(header, 0));
    EXPECT_EQ(wmv::HeaderPreroll(header.data(), header.size()), 0);
    std::uint32_t flags = 0;
    std::memcpy(&flags, header.data() + 30 + 88, 4);
    EXPECT_EQ(flags, 1u);
    std::uint64_t duration = 1;
    std::memcpy(&duration, header.data() + 30 + 64, 8);
    EXPECT_EQ(duration, 0u) << "a broadcast has no length";
    std::vector<std::uint8_t> empty(30, 0);
    EXPECT_FALSE(wmv::PatchLiveHeader(empty, 0));
    EXPECT_EQ(wmv::HeaderPreroll(empty.data(), empty.size()), -1);
}

TEST(AsfPacket, StreamExtensionsGoIntoTheHeaderExtensionAndReadBack) {
    // Header object, an empty header extension object (46 bytes), then the
    // data object header, as the muxer writes them.
    const std::uint8_t extension[16] = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                        0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    std::vector<std::uint8_t> header(30 + 46 + 50, 0);
    const std::uint64_t headerSize = 30 + 46, extensionSize = 46;
    std::memcpy(header.data() + 16, &headerSize, 8);
    std::memcpy(header.data() + 30, extension, 16);
    std::memcpy(header.data() + 30 + 16, &extensionSize, 8);
    header[30 + 46] = 0x36;  // the data object follows
    EXPECT_EQ(wmv::HeaderTimePerFrame(header.data(), header.size(), 1), -1);
    ASSERT_TRUE(wmv::AddStreamExtensions(header, {{1, 48000, 666666}, {2, 128000, 0}}));

    ASSERT_EQ(header.size(), 30u + 46 + 2 * 88 + 50);
    std::uint64_t size = 0;
    std::memcpy(&size, header.data() + 16, 8);
    EXPECT_EQ(size, 30u + 46 + 2 * 88) << "the header object holds them";
    std::memcpy(&size, header.data() + 30 + 16, 8);
    EXPECT_EQ(size, 46u + 2 * 88);
    std::uint32_t dataSize = 0;
    std::memcpy(&dataSize, header.data() + 30 + 42, 4);
    EXPECT_EQ(dataSize, 2u * 88);
    EXPECT_EQ(header[30 + 46 + 2 * 88], 0x36) << "the data object is left where it belongs";
    EXPECT_EQ(wmv::HeaderTimePerFrame(header.data(), header.size(), 1), 666666);
    EXPECT_EQ(wmv::HeaderTimePerFrame(header.data(), header.size(), 2), 0);
    EXPECT_EQ(wmv::HeaderTimePerFrame(header.data(), header.size(), 3), -1);
    std::uint32_t bitrate = 0;
    std::memcpy(&bitrate, header.data() + 30 + 46 + 40, 4);
    EXPECT_EQ(bitrate, 48000u);

    std::vector<std::uint8_t> none(30 + 50, 0);
    EXPECT_FALSE(wmv::AddStreamExtensions(none, {{1, 48000, 666666}}));
    EXPECT_EQ(none.size(), 80u);
}

TEST(AsfPacket, SendTimeIsReadWhateverFieldsComeBefore) {
    auto packet = Packet({{0x81, 0, 10}});
    packet[7] = 0x44;  // the writer's layout: send time after two bytes of padding length
    packet[8] = 0x33;
    EXPECT_EQ(wmv::PacketSendTime(packet.data(), packet.size()), 0x3344);
    auto fixed = Packet({{0x81, 0, 10}}, 400, false);
    fixed[5] = 0x10;  // no padding field: the send time follows the flags
    EXPECT_EQ(wmv::PacketSendTime(fixed.data(), fixed.size()), 0x10);
    EXPECT_EQ(wmv::PacketSendTime(packet.data(), 6), -1);
}

// Packets a DataPacketWriter hands on, each copied and read back, and how
// many packets each burst held.
struct PacketLog {
    PacketLog(std::size_t size) : packetSize(size) {}  // PacketLog log{packetSize}

    std::size_t packetSize;
    std::vector<std::vector<std::uint8_t>> raw;
    std::vector<wmvtest::PacketView> read;
    std::vector<std::size_t> bursts;

    wmv::DataPacketWriter::Deliver Deliver() {
        return [this](const std::uint8_t* packets, std::size_t size) {
            EXPECT_EQ(size % packetSize, 0u) << "whole packets only";
            bursts.push_back(size / packetSize);
            for (std::size_t at = 0; at + packetSize <= size; at += packetSize) {
                raw.emplace_back(packets + at, packets + at + packetSize);
                read.push_back(wmvtest::ReadPacket(packets + at, packetSize));
            }
        };
    }
};

std::vector<std::uint8_t> Bytes(std::size_t size, std::uint8_t seed) {
    std::vector<std::uint8_t> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(seed + i * 7);
    return bytes;
}

TEST(DataPacketWriter, FramesComeBackWholeFromFixedSizePackets) {
    constexpr std::size_t kSize = 200;
    constexpr std::size_t kRoom = kSize - 14 - 17;  // one payload in an empty packet
    PacketLog log{kSize};
    wmv::DataPacketWriter writer(kSize, 3100, log.Deliver());
    struct Frame {
        std::uint8_t stream;
        bool key;
        bool whole;
        std::int64_t ms;
        std::vector<std::uint8_t> data;
        bool flush;
    };
    const std::vector<Frame> frames = {
        {1, true, false, 0, Bytes(500, 1), true},    // over three packets
        {2, true, true, -46, Bytes(100, 2), false},  // an encoder's lead-in
        {1, false, false, 33, Bytes(1, 3), false},
        {2, true, true, 0, Bytes(kRoom, 4), false},        // exactly a packet
        {1, false, false, 66, Bytes(kRoom + 1, 5), true},  // a byte over
        {1, true, false, 100, Bytes(60, 6), true},
    };
    for (const Frame& f : frames) {
        writer.Add(f.stream, f.key, f.whole, f.ms, f.data.data(), f.data.size());
        if (f.flush) writer.SendAll();
    }
    writer.SendAll();
    // The first frame's three packets went out in one burst.
    ASSERT_FALSE(log.bursts.empty());
    EXPECT_EQ(log.bursts[0], 3u);

    std::map<std::pair<int, std::uint32_t>, std::vector<std::uint8_t>> objects;
    std::map<std::pair<int, std::uint32_t>, std::pair<std::uint32_t, bool>> stamps;
    for (std::size_t i = 0; i < log.read.size(); ++i) {
        ASSERT_EQ(log.raw[i].size(), kSize);
        ASSERT_TRUE(log.read[i].valid) << "packet " << i;
        for (const auto& payload : log.read[i].payloads) {
            auto& object = objects[{payload.stream, payload.object}];
            EXPECT_EQ(payload.offset, object.size()) << "fragments in order";
            object.insert(object.end(), payload.data.begin(), payload.data.end());
            stamps[{payload.stream, payload.object}] = {payload.time, payload.key};
            EXPECT_LE(object.size(), payload.objectSize);
        }
    }
    std::uint32_t next[3] = {};
    for (const Frame& f : frames) {
        const std::pair<int, std::uint32_t> id{f.stream, next[f.stream]++};
        EXPECT_EQ(objects[id], f.data) << "stream " << int(f.stream) << " object " << id.second;
        EXPECT_EQ(stamps[id].first, static_cast<std::uint32_t>(f.ms + 3100));
        EXPECT_EQ(stamps[id].second, f.key);
    }
    // The key frame at 100 ms begins in a packet of its own, which is where a
    // late viewer starts.
    ASSERT_FALSE(log.raw.empty());
    EXPECT_TRUE(wmv::PacketStartsKeyFrame(log.raw.back().data(), kSize, 1));
    EXPECT_FALSE(wmv::PacketStartsKeyFrame(log.raw[1].data(), kSize, 1)) << "rest of the first";
}

TEST(DataPacketWriter, AudioFramesStartAFreshPacketRatherThanSplit) {
    PacketLog log{200};
    wmv::DataPacketWriter writer(200, 0, log.Deliver());
    const auto video = Bytes(100, 1), audio = Bytes(100, 2), longAudio = Bytes(400, 3);
    writer.Add(1, true, false, 0, video.data(), video.size());
    writer.SendReady();
    EXPECT_TRUE(log.raw.empty()) << "room is left, nothing is full yet";
    writer.Add(2, true, true, 10, audio.data(), audio.size());
    writer.SendReady();
    ASSERT_EQ(log.read.size(), 1u) << "the audio frame does not fit the 52 bytes left";
    ASSERT_EQ(log.read[0].payloads.size(), 1u);
    EXPECT_EQ(log.read[0].payloads[0].stream, 1);
    writer.SendAll();
    ASSERT_EQ(log.read.size(), 2u);
    EXPECT_EQ(log.read[1].payloads[0].data, audio);
    // Full packets can wait for company: none go until three are full.
    const auto fill = Bytes(169, 4);
    for (int i = 0; i < 2; ++i) writer.Add(2, true, true, 15, fill.data(), fill.size());
    writer.SendReady(3);
    EXPECT_EQ(log.read.size(), 2u);
    writer.Add(2, true, true, 15, fill.data(), fill.size());
    writer.SendReady(3);
    ASSERT_EQ(log.read.size(), 5u);
    EXPECT_EQ(log.bursts.back(), 3u);
    log = {200};
    // A frame longer than a whole packet is split after all.
    writer.Add(2, true, true, 20, longAudio.data(), longAudio.size());
    writer.SendAll();
    ASSERT_EQ(log.read.size(), 3u);
    EXPECT_EQ(log.read[2].payloads[0].offset, 2u * 169);
}

TEST(DataPacketWriter, PacketTimesAndLimits) {
    PacketLog log{4000};
    wmv::DataPacketWriter writer(4000, 100, log.Deliver());
    const auto bytes = Bytes(10, 1);
    writer.SendAll();
    EXPECT_TRUE(log.raw.empty()) << "an empty packet is never sent";
    writer.Add(1, true, false, 1000, bytes.data(), bytes.size());
    writer.Add(2, true, true, 1040, bytes.data(), bytes.size());
    writer.SendAll();
    // Audio older than the packet before it: the send time stays put.
    writer.Add(2, true, true, 950, bytes.data(), bytes.size());
    writer.SendAll();
    // A time before the offset is written as 0.
    writer.Add(2, true, true, -500, bytes.data(), bytes.size());
    writer.SendAll();
    ASSERT_EQ(log.read.size(), 3u);
    EXPECT_EQ(log.read[0].sendTime, 1100u);
    EXPECT_EQ(log.read[0].duration, 40u);
    EXPECT_EQ(log.read[1].sendTime, 1100u);
    EXPECT_EQ(log.read[1].payloads[0].time, 1050u);
    EXPECT_EQ(log.read[1].duration, 0u);
    EXPECT_EQ(log.read[2].payloads[0].time, 0u);
    // At most 63 payloads go into one packet, however much room is left.
    log = {4000};
    for (int i = 0; i < 300; ++i) writer.Add(1, false, false, i, bytes.data(), bytes.size());
    writer.SendAll();
    ASSERT_EQ(log.read.size(), 5u);
    EXPECT_TRUE(log.read[0].valid);
    EXPECT_EQ(log.read[0].payloads.size(), 63u);
    EXPECT_EQ(log.read[4].payloads.size(), 300u - 4 * 63);
    // Object numbers count on per stream (one came before) and wrap at 256.
    EXPECT_EQ(log.read[4].payloads.back().object, 300u % 256);
}

}  // namespace
