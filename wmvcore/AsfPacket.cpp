#include "wmvcore/AsfPacket.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace wmv {
namespace {

void PutLe(std::uint8_t* p, std::uint32_t value, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) p[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The file properties object, as its GUID lies in the file.
constexpr std::uint8_t kFilePropertiesGuid[16] = {0xA1, 0xDC, 0xAB, 0x8C, 0x47, 0xA9, 0xCF, 0x11,
                                                  0x8E, 0xE4, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
// Offsets inside that object: GUID, size, file id, file size, creation
// date, packet count, play and send duration come before the preroll.
constexpr std::size_t kPrerollOffset = 80;
constexpr std::size_t kFlagsOffset = 88;
constexpr std::size_t kFilePropertiesSize = 104;
constexpr std::uint32_t kBroadcastFlag = 0x01;

std::size_t FindFileProperties(const std::uint8_t* header, std::size_t size) {
    // The header object: GUID, size, object count and two reserved bytes.
    std::size_t pos = 30;
    while (pos + 24 <= size) {
        std::uint64_t objectSize = 0;
        std::memcpy(&objectSize, header + pos + 16, 8);
        if (std::memcmp(header + pos, kFilePropertiesGuid, 16) == 0) {
            return pos + kFilePropertiesSize <= size ? pos : 0;
        }
        if (objectSize < 24 || objectSize > size - pos) return 0;
        pos += static_cast<std::size_t>(objectSize);
    }
    return 0;
}

std::size_t FieldSize(unsigned type) {
    return type == 3 ? 4 : type;
}

bool ReadField(const std::uint8_t* p, std::size_t size, std::size_t& pos, std::size_t width,
               std::uint32_t* value) {
    if (pos + width > size) return false;
    std::uint32_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= std::uint32_t(p[pos + i]) << (8 * i);
    pos += width;
    if (value) *value = v;
    return true;
}

}  // namespace

DataPacketWriter::DataPacketWriter(std::size_t packetSize, std::uint32_t timeOffsetMs,
                                   Deliver deliver)
    : packet_(
          std::clamp<std::size_t>(packetSize, kPacketHeaderSize + kPayloadHeaderSize + 1, 0xFFFF)),
      timeOffsetMs_(timeOffsetMs),
      deliver_(std::move(deliver)) {
    ready_.reserve(16 * packet_.size());  // a big frame grows it once
}

std::size_t DataPacketWriter::Room() const {
    if (payloads_ == kMaxPayloads || used_ + kPayloadHeaderSize >= packet_.size()) return 0;
    return packet_.size() - used_ - kPayloadHeaderSize;
}

void DataPacketWriter::Add(std::uint8_t stream, bool key, bool keepWhole, std::int64_t timeMs,
                           const std::uint8_t* data, std::size_t size) {
    stream &= 0x7F;
    // Times before the offset cannot be written; they only occur for an
    // encoder's lead-in.
    const std::uint32_t time =
        static_cast<std::uint32_t>(std::clamp<std::int64_t>(timeMs + timeOffsetMs_, 0, 0xFFFFFFFF));
    const std::size_t whole = packet_.size() - kPacketHeaderSize - kPayloadHeaderSize;
    if (keepWhole && size <= whole && size > Room()) Close();
    std::size_t offset = 0;
    do {
        if (Room() == 0) Close();
        const std::size_t length = std::min(size - offset, Room());
        std::uint8_t* p = packet_.data() + used_;
        p[0] = static_cast<std::uint8_t>(stream | (key ? 0x80 : 0));
        p[1] = objectNumbers_[stream];
        PutLe(p + 2, static_cast<std::uint32_t>(offset), 4);
        p[6] = 8;  // replicated data: object size and presentation time
        PutLe(p + 7, static_cast<std::uint32_t>(size), 4);
        PutLe(p + 11, time, 4);
        PutLe(p + 15, static_cast<std::uint32_t>(length), 2);
        if (length) std::memcpy(p + kPayloadHeaderSize, data + offset, length);
        used_ += kPayloadHeaderSize + length;
        if (payloads_++ == 0) {
            firstTime_ = lastTime_ = time;
        } else {
            firstTime_ = std::min(firstTime_, time);
            lastTime_ = std::max(lastTime_, time);
        }
        offset += length;
    } while (offset < size);
    ++objectNumbers_[stream];
    if (Room() == 0) Close();
}

void DataPacketWriter::SendReady(std::size_t atLeast) {
    if (ready_.empty() || ready_.size() < atLeast * packet_.size()) return;
    deliver_(ready_.data(), ready_.size());
    ready_.clear();
}

void DataPacketWriter::SendAll() {
    Close();
    SendReady();
}

void DataPacketWriter::Close() {
    if (payloads_ == 0) return;
    std::uint8_t* p = packet_.data();
    const std::size_t padding = packet_.size() - used_;
    // Send times never go back, even when a packet holds only frames older
    // than those of the packet before it.
    sendTime_ = std::max(sendTime_, firstTime_);
    p[0] = 0x82;  // two bytes of error correction data follow
    p[1] = 0;
    p[2] = 0;
    p[3] = 0x11;  // multiple payloads, padding length as a word
    p[4] = 0x5D;  // byte stream and object numbers, 32-bit offset, byte replicated length
    PutLe(p + 5, static_cast<std::uint32_t>(padding), 2);
    PutLe(p + 7, sendTime_, 4);
    PutLe(p + 11, std::min<std::uint32_t>(lastTime_ - std::min(lastTime_, sendTime_), 0xFFFF), 2);
    p[13] = static_cast<std::uint8_t>(0x80 | payloads_);  // payload lengths as words
    std::memset(p + used_, 0, padding);
    ready_.insert(ready_.end(), packet_.begin(), packet_.end());
    used_ = kPacketHeaderSize;
    payloads_ = 0;
}

bool PatchLiveHeader(std::vector<std::uint8_t>& header, std::uint32_t prerollMs) {
    const std::size_t at = FindFileProperties(header.data(), header.size());
    if (!at) return false;
    const std::uint64_t preroll = prerollMs;
    std::memcpy(header.data() + at + kPrerollOffset, &preroll, 8);
    std::memcpy(header.data() + at + kFlagsOffset, &kBroadcastFlag, 4);
    return true;
}

std::int64_t HeaderPreroll(const std::uint8_t* header, std::size_t size) {
    const std::size_t at = FindFileProperties(header, size);
    if (!at) return -1;
    std::uint64_t preroll = 0;
    std::memcpy(&preroll, header + at + kPrerollOffset, 8);
    return static_cast<std::int64_t>(preroll);
}

namespace {

struct Payload {
    std::uint8_t* streamByte;
    std::uint8_t* offsetField;
    std::size_t offsetSize;
    std::uint32_t offset;  // into the media object
    const std::uint8_t* replicated;
    std::uint32_t replicatedLength;
};

// Calls visit(payload) for each payload of a
// data packet until it returns true. False for a malformed packet or when no
// visit returned true.
template <typename Visit>
bool ForEachPayload(std::uint8_t* p, std::size_t size, Visit visit) {
    std::size_t pos = 0;
    if (size < 1) return false;
    if (p[0] & 0x80) pos = 1 + (p[0] & 0x0F);  // error correction data
    std::uint32_t lengthFlags = 0, propertyFlags = 0;
    if (!ReadField(p, size, pos, 1, &lengthFlags) || !ReadField(p, size, pos, 1, &propertyFlags))
        return false;
    pos += FieldSize((lengthFlags >> 5) & 3);  // packet length
    pos += FieldSize((lengthFlags >> 1) & 3);  // sequence
    pos += FieldSize((lengthFlags >> 3) & 3);  // padding length
    pos += 6;                                  // send time and duration
    const bool multiple = lengthFlags & 1;
    std::uint32_t count = 1;
    std::size_t payloadLengthSize = 0;
    if (multiple) {
        std::uint32_t payloadFlags = 0;
        if (!ReadField(p, size, pos, 1, &payloadFlags)) return false;
        count = payloadFlags & 0x3F;
        payloadLengthSize = FieldSize((payloadFlags >> 6) & 3);
    }
    const std::size_t replicatedSize = FieldSize(propertyFlags & 3);
    const std::size_t offsetSize = FieldSize((propertyFlags >> 2) & 3);
    const std::size_t objectSize = FieldSize((propertyFlags >> 4) & 3);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pos >= size) return false;
        std::uint8_t* streamByte = p + pos;
        ++pos;
        std::uint32_t offset = 0, replicated = 0, length = 0;
        if (!ReadField(p, size, pos, objectSize, nullptr)) return false;
        std::uint8_t* offsetField = p + pos;
        if (!ReadField(p, size, pos, offsetSize, &offset)) return false;
        if (!ReadField(p, size, pos, replicatedSize, &replicated)) return false;
        // A compressed payload (replicated length 1) holds whole objects; its
        // offset field is a presentation time.
        if (replicated == 1) offset = 0;
        // Replicated data that runs past the packet is not read.
        const std::uint8_t* replicatedData = p + pos;
        const std::uint32_t replicatedLength = pos + replicated <= size ? replicated : 0;
        pos += replicated;
        if (multiple) {
            if (!ReadField(p, size, pos, payloadLengthSize, &length)) return false;
        } else {
            length = pos <= size ? static_cast<std::uint32_t>(size - pos) : 0;
        }
        if (visit(Payload{streamByte, offsetField, offsetSize, offset, replicatedData,
                          replicatedLength}))
            return true;
        pos += length;
        if (pos > size) return false;
    }
    return false;
}

bool IsKeyStart(const Payload& payload, std::uint16_t stream) {
    return (*payload.streamByte & 0x7F) == stream && (*payload.streamByte & 0x80) &&
           payload.offset == 0;
}

}  // namespace

bool PacketStartsKeyFrame(const std::uint8_t* packet, std::size_t size, std::uint16_t stream) {
    // The visitor only reads; the cast lets one walker serve both uses.
    return ForEachPayload(const_cast<std::uint8_t*>(packet), size,
                          [&](const Payload& payload) { return IsKeyStart(payload, stream); });
}

std::int64_t LastPresentationTime(const std::uint8_t* packet, std::size_t size,
                                  std::uint16_t stream) {
    std::int64_t last = -1;
    ForEachPayload(const_cast<std::uint8_t*>(packet), size, [&](const Payload& payload) {
        // Replicated data: the media object's size, then its presentation time.
        if ((*payload.streamByte & 0x7F) == stream && payload.replicatedLength >= 8) {
            const std::uint8_t* time = payload.replicated + 4;
            last =
                time[0] | time[1] << 8 | time[2] << 16 | static_cast<std::int64_t>(time[3]) << 24;
        }
        return false;
    });
    return last;
}

bool HidePayloadsBeforeKeyFrame(std::uint8_t* packet, std::size_t size, std::uint16_t stream) {
    return ForEachPayload(packet, size, [&](const Payload& payload) {
        if (IsKeyStart(payload, stream)) return true;
        // A payload that claims to continue an object the viewer never saw
        // the start of is skipped by players without complaint.
        if ((*payload.streamByte & 0x7F) == stream && payload.offset == 0 && payload.offsetSize > 0)
            payload.offsetField[0] = 1;
        return false;
    });
}

}  // namespace wmv
