// Key-frame starts in data packets and the live header settings, on packets
// laid out byte by byte as the muxer writes them.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "platform/wmvcore/AsfPacket.h"

namespace {

struct Payload {
    std::uint8_t stream;  // with 0x80 for a key frame
    std::uint32_t offset;
    std::uint32_t length;
};

// A multiple-payload packet: error correction (0x82 0 0), length flags
// 0x09 (multiple payloads, byte padding length), property flags 0x5D (byte
// stream and object numbers, 32-bit offset, byte replicated length), padding
// length, send time, duration, payload flags (word lengths), then the
// payloads with 8 bytes of replicated data each.
std::vector<std::uint8_t> Packet(const std::vector<Payload>& payloads, std::size_t size = 400) {
    std::vector<std::uint8_t> p = {0x82, 0x00, 0x00, 0x09, 0x5D, 0x00, 0, 0, 0, 0, 0, 0};
    p.push_back(static_cast<std::uint8_t>(0x80 | payloads.size()));
    for (const Payload& payload : payloads) {
        p.push_back(payload.stream);
        p.push_back(1);  // media object number
        for (int i = 0; i < 4; ++i)
            p.push_back(static_cast<std::uint8_t>(payload.offset >> (8 * i)));
        p.push_back(8);
        for (int i = 0; i < 8; ++i) p.push_back(0);
        p.push_back(static_cast<std::uint8_t>(payload.length));
        p.push_back(static_cast<std::uint8_t>(payload.length >> 8));
        p.insert(p.end(), payload.length, 0xAB);
    }
    p.resize(std::max(size, p.size()), 0);
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

TEST(AsfPacket, HidesEarlierFramesOfTheStreamOnly) {
    auto packet =
        Packet({{0x01, 0, 20}, {0x02, 0, 30}, {0x01, 7, 10}, {0x81, 0, 100}, {0x01, 0, 5}});
    ASSERT_TRUE(wmv::HidePayloadsBeforeKeyFrame(packet.data(), packet.size(), 1));
    // First payload header at 13: stream, object number, offset.
    std::uint32_t offset = 0;
    std::memcpy(&offset, packet.data() + 15, 4);
    EXPECT_EQ(offset, 1u) << "the whole earlier frame now reads as a continuation";
    const std::size_t second = 13 + 17 + 20;
    EXPECT_EQ(packet[second], 0x02);
    std::memcpy(&offset, packet.data() + second + 2, 4);
    EXPECT_EQ(offset, 0u) << "audio is left alone";
    EXPECT_TRUE(wmv::PacketStartsKeyFrame(packet.data(), packet.size(), 1));
    auto none = Packet({{0x01, 0, 20}});
    EXPECT_FALSE(wmv::HidePayloadsBeforeKeyFrame(none.data(), none.size(), 1));
}

TEST(AsfPacket, TruncatedPacketsAreNotReadPastTheirEnd) {
    const auto packet = Packet({{0x02, 0, 30}, {0x81, 0, 100}}, 0);
    for (std::size_t size = 0; size < packet.size(); ++size) {
        std::vector<std::uint8_t> cut(packet.begin(),
                                      packet.begin() + static_cast<std::ptrdiff_t>(size));
        wmv::PacketStartsKeyFrame(cut.data(), cut.size(), 1);  // must not crash or overread
        wmv::HidePayloadsBeforeKeyFrame(cut.data(), cut.size(), 1);
    }
    std::vector<std::uint8_t> garbage(64, 0xFF);
    EXPECT_FALSE(wmv::PacketStartsKeyFrame(garbage.data(), garbage.size(), 1));
}

TEST(AsfPacket, LiveHeaderGetsBroadcastFlagAndPreroll) {
    // Header object (30 bytes) with one file properties object of 104 bytes.
    std::vector<std::uint8_t> header(30 + 104, 0);
    const std::uint8_t guid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                   0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
    std::memcpy(header.data() + 30, guid, 16);
    const std::uint64_t objectSize = 104, preroll = 3100;
    std::memcpy(header.data() + 30 + 16, &objectSize, 8);
    std::memcpy(header.data() + 30 + 80, &preroll, 8);
    EXPECT_EQ(wmv::HeaderPreroll(header.data(), header.size()), 3100);
    ASSERT_TRUE(wmv::PatchLiveHeader(header, 0));
    EXPECT_EQ(wmv::HeaderPreroll(header.data(), header.size()), 0);
    std::uint32_t flags = 0;
    std::memcpy(&flags, header.data() + 30 + 88, 4);
    EXPECT_EQ(flags, 1u);
    std::vector<std::uint8_t> empty(30, 0);
    EXPECT_FALSE(wmv::PatchLiveHeader(empty, 0));
    EXPECT_EQ(wmv::HeaderPreroll(empty.data(), empty.size()), -1);
}

}  // namespace
