// The live stream's data packets, made and read back. Frames of random
// streams, sizes, times and key flags go into the packet writer, with its
// bursts sent at random points; the packets that come out are read with a
// reader of our own and must carry exactly the same frames in the same
// order, in well-formed packets whose send times never go back. The
// key-frame readers that the stream server applies to packets are checked
// against the same reading, and run on raw bytes too.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "wmvcore/AsfPacket.h"

namespace {

using wmv::DataPacketWriter;

// Takes values from the front of the fuzz input; zeros once it runs out.
class InputReader {
  public:
    InputReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    std::uint64_t Take(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) {
            value |= std::uint64_t(at_ < size_ ? data_[at_] : 0) << (8 * i);
            ++at_;
        }
        return value;
    }

  private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// What was added: the bytes themselves are a pattern (see frameData).
struct Frame {
    std::uint8_t stream;
    bool key;
    std::uint32_t time;
    std::size_t length;
    bool whole;  // must lie in one payload
};

FUZZ_HARNESS std::uint32_t Le(const std::uint8_t* p, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < width; ++i) value |= std::uint32_t(p[i]) << (8 * i);
    return value;
}

struct Payload {
    std::uint8_t stream;
    bool key;
    std::uint8_t object;
    std::uint32_t offset;
    std::uint32_t objectSize;
    std::uint32_t time;
    const std::uint8_t* data;
    std::size_t length;
    std::size_t offsetAt;  // where the offset field lies in the packet
};

// Reads one packet as the writer lays it out: two bytes of error
// correction, byte-sized stream and object numbers, 32-bit offsets, eight
// bytes of replicated data (object size, time), payload lengths as words.
FUZZ_HARNESS void ReadPacket(const std::uint8_t* p, std::size_t size, std::uint32_t& sendTime,
                             std::vector<Payload>& payloads) {
    FUZZ_CHECK(p[0] == 0x82 && p[1] == 0 && p[2] == 0);
    FUZZ_CHECK(p[3] == 0x11 && p[4] == 0x5D);
    const std::size_t padding = Le(p + 5, 2);
    sendTime = Le(p + 7, 4);
    FUZZ_CHECK((p[13] & 0xC0) == 0x80);
    const std::size_t count = p[13] & 0x3F;
    FUZZ_CHECK(count >= 1 && count <= DataPacketWriter::kMaxPayloads);
    FUZZ_CHECK(padding <= size - DataPacketWriter::kPacketHeaderSize);

    payloads.clear();
    std::size_t pos = DataPacketWriter::kPacketHeaderSize;
    for (std::size_t i = 0; i < count; ++i) {
        FUZZ_CHECK(pos + DataPacketWriter::kPayloadHeaderSize <= size - padding);
        Payload payload{};
        payload.stream = p[pos] & 0x7F;
        payload.key = p[pos] & 0x80;
        payload.object = p[pos + 1];
        payload.offsetAt = pos + 2;
        payload.offset = Le(p + pos + 2, 4);
        FUZZ_CHECK(p[pos + 6] == 8);
        payload.objectSize = Le(p + pos + 7, 4);
        payload.time = Le(p + pos + 11, 4);
        payload.length = Le(p + pos + 15, 2);
        pos += DataPacketWriter::kPayloadHeaderSize;
        FUZZ_CHECK(pos + payload.length <= size - padding);
        payload.data = p + pos;
        pos += payload.length;
        payloads.push_back(payload);
    }
    FUZZ_CHECK(pos == size - padding);
    static const std::vector<std::uint8_t> zeros(0x10000, 0);
    FUZZ_CHECK(std::memcmp(p + pos, zeros.data(), size - pos) == 0);
}

// The key-frame readers on a packet whose payloads are known.
FUZZ_HARNESS void CheckKeyFrameReaders(const std::uint8_t* packet, std::size_t size,
                                       const std::vector<Payload>& payloads,
                                       std::size_t packetNumber) {
    // One stream per packet, taking turns through its payloads, and in the
    // first packet one that is absent; walking every stream of every packet
    // would halve the runs.
    std::vector<std::uint8_t> streams{payloads[packetNumber % payloads.size()].stream};
    if (packetNumber == 0) streams.push_back(0);
    for (const std::uint8_t stream : streams) {
        const auto keyStart = std::find_if(payloads.begin(), payloads.end(), [&](const Payload& p) {
            return p.stream == stream && p.key && p.offset == 0;
        });
        const bool found = keyStart != payloads.end();
        FUZZ_CHECK(wmv::PacketStartsKeyFrame(packet, size, stream) == found);

        // Trimming keeps, in their order, every payload but the stream's
        // before the key frame and the pieces of objects begun in an earlier
        // packet, in a packet the writer's reader still reads. (The buffers
        // are reused: allocations would cost more than the checks.)
        static std::vector<std::uint8_t> copy;
        static std::vector<Payload> kept, trimmed;
        copy.assign(packet, packet + size);
        FUZZ_CHECK(wmv::TrimPacketForNewViewer(copy.data(), size, stream) == found);
        if (!found) {
            FUZZ_CHECK(std::memcmp(copy.data(), packet, size) == 0);
            continue;
        }
        kept.clear();
        for (auto p = payloads.begin(); p != payloads.end(); ++p) {
            if (p < keyStart && p->stream == stream) continue;
            if (p->offset != 0 && std::none_of(kept.begin(), kept.end(), [&](const Payload& k) {
                    return k.stream == p->stream && k.object == p->object && k.offset == 0;
                }))
                continue;
            kept.push_back(*p);
        }
        std::uint32_t sendTime = 0;
        ReadPacket(copy.data(), size, sendTime, trimmed);
        FUZZ_CHECK(trimmed.size() == kept.size());
        for (std::size_t i = 0; i < kept.size(); ++i) {
            FUZZ_CHECK(trimmed[i].stream == kept[i].stream && trimmed[i].key == kept[i].key &&
                       trimmed[i].object == kept[i].object && trimmed[i].offset == kept[i].offset &&
                       trimmed[i].time == kept[i].time && trimmed[i].length == kept[i].length);
            FUZZ_CHECK(std::memcmp(trimmed[i].data, kept[i].data, kept[i].length) == 0);
        }
    }
}

}  // namespace

extern "C" FUZZ_HARNESS int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // The key-frame readers on the raw bytes: any answer, but no fault.
    if (size > 0) {
        // A copy of exactly the input's size, so that a read past its end is caught.
        std::vector<std::uint8_t> raw(data, data + size);
        wmv::PacketStartsKeyFrame(raw.data(), raw.size(), data[0] & 0x7F);
        wmv::TrimPacketForNewViewer(raw.data(), raw.size(), data[0] & 0x7F);
    }

    InputReader input(data, size);
    // Packet sizes mostly below 2 KiB, where many packets and splits happen;
    // now and then any size, up to the largest one.
    const std::uint64_t sizeField = input.Take(2);
    const std::size_t packetSize = (sizeField & 0x8000) ? sizeField * 2 : sizeField % 2048;
    const std::uint32_t timeOffset = static_cast<std::uint32_t>(input.Take(2)) * 4;
    static std::vector<std::uint8_t> out;  // kept from run to run: growing it costs
    out.clear();
    DataPacketWriter writer(packetSize, timeOffset,
                            [&](const std::uint8_t* packets, std::size_t n) {
                                out.insert(out.end(), packets, packets + n);
                            });
    const std::size_t actualSize = std::clamp<std::size_t>(
        packetSize, DataPacketWriter::kPacketHeaderSize + DataPacketWriter::kPayloadHeaderSize + 1,
        0xFFFF);

    const std::size_t whole =
        actualSize - DataPacketWriter::kPacketHeaderSize - DataPacketWriter::kPayloadHeaderSize;
    // Frame n's bytes are the pattern from n * 7 on, so that none are stored.
    static const std::vector<std::uint8_t> pattern = [] {
        std::vector<std::uint8_t> bytes(0x10000 + 0x1000);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
        return bytes;
    }();
    const auto frameData = [](std::size_t n) { return pattern.data() + (n * 7) % 0x1000; };

    static std::vector<Frame> frames;
    frames.clear();
    std::size_t frameBytes = 0;
    while (!input.Empty() && frames.size() < 400 && frameBytes < 16 * 1024) {
        const std::uint8_t flags = static_cast<std::uint8_t>(input.Take(1));
        // Few streams mostly, so that frames of one stream follow each other.
        const std::uint8_t stream = (flags & 0x80)
                                        ? static_cast<std::uint8_t>(1 + input.Take(1) % 127)
                                        : static_cast<std::uint8_t>(1 + (flags & 3));
        const bool key = flags & 0x04;
        const bool keepWhole = flags & 0x08;
        // Times around zero and around the largest time that can be written.
        std::int64_t time = static_cast<std::int32_t>(input.Take(4));
        if (flags & 0x10) time += 0xFFFFFFFFLL;
        const std::size_t length = (flags & 0x20) ? input.Take(2) % 6000 : input.Take(1);
        frameBytes += length;
        writer.Add(stream, key, keepWhole, time, frameData(frames.size()), length);
        // A frame kept whole that fits a packet lies in one payload.
        frames.push_back({stream, key,
                          static_cast<std::uint32_t>(
                              std::clamp<std::int64_t>(time + timeOffset, 0, 0xFFFFFFFFLL)),
                          length, keepWhole && length <= whole});
        if (flags & 0x40) {
            writer.SendReady(input.Take(1) % 4);
        } else if ((flags & 0x03) == 0x03 && (flags & 0x10)) {
            writer.SendAll();
        }
    }
    writer.SendAll();
    FUZZ_CHECK(out.size() % actualSize == 0);

    // Read every packet: its payloads must carry the frames in the order they
    // were added, each frame's pieces one after another.
    std::size_t next = 0;      // the frame whose piece comes next
    std::uint32_t filled = 0;  // bytes of it already seen
    std::size_t pieces = 0;    // payloads of it already seen
    std::uint8_t objectNumbers[128] = {};
    std::uint32_t lastSendTime = 0;
    for (std::size_t at = 0; at < out.size(); at += actualSize) {
        std::uint32_t sendTime = 0;
        static std::vector<Payload> payloads;
        ReadPacket(out.data() + at, actualSize, sendTime, payloads);
        FUZZ_CHECK(sendTime >= lastSendTime);
        lastSendTime = sendTime;
        CheckKeyFrameReaders(out.data() + at, actualSize, payloads, at / actualSize);
        for (const Payload& p : payloads) {
            FUZZ_CHECK(next < frames.size());
            const Frame& frame = frames[next];
            FUZZ_CHECK(p.stream == frame.stream && p.key == frame.key && p.time == frame.time);
            FUZZ_CHECK(p.objectSize == frame.length && p.offset == filled);
            FUZZ_CHECK(p.object == objectNumbers[frame.stream]);
            FUZZ_CHECK(filled + p.length <= frame.length);
            FUZZ_CHECK(std::memcmp(p.data, frameData(next) + filled, p.length) == 0);
            filled += static_cast<std::uint32_t>(p.length);
            ++pieces;
            if (filled == frame.length) {
                FUZZ_CHECK(!frame.whole || pieces == 1);
                ++objectNumbers[frame.stream];
                ++next;
                filled = 0;
                pieces = 0;
            }
        }
    }
    FUZZ_CHECK(next == frames.size());
    return 0;
}
