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
constexpr std::size_t kPlayDurationOffset = 64;
constexpr std::size_t kPrerollOffset = 80;
constexpr std::size_t kFlagsOffset = 88;
constexpr std::size_t kFilePropertiesSize = 104;
constexpr std::uint32_t kBroadcastFlag = 0x01;

// The header extension object, and the extended stream properties objects
// that it holds, as their GUIDs lie in the file.
constexpr std::uint8_t kHeaderExtensionGuid[16] = {0xB5, 0x03, 0xBF, 0x5F, 0x2E, 0xA9, 0xCF, 0x11,
                                                   0x8E, 0xE3, 0x00, 0xC0, 0x0C, 0x20, 0x53, 0x65};
constexpr std::uint8_t kExtendedStreamGuid[16] = {0xCB, 0xA5, 0xE6, 0x14, 0x72, 0xC6, 0x32, 0x43,
                                                  0x83, 0x99, 0xA9, 0x69, 0x52, 0x06, 0x5B, 0x5A};
// The header extension object's own fields before its data, and the size of
// an extended stream properties object without stream names or payload
// extension systems.
constexpr std::size_t kHeaderExtensionFields = 46;
constexpr std::size_t kExtendedStreamSize = 88;

// Where the top-level header object with that GUID begins, or 0.
std::size_t FindHeaderObject(const std::uint8_t* header, std::size_t size,
                             const std::uint8_t (&guid)[16]) {
    std::size_t pos = 30;
    while (pos + 24 <= size) {
        std::uint64_t objectSize = 0;
        std::memcpy(&objectSize, header + pos + 16, 8);
        if (std::memcmp(header + pos, guid, 16) == 0) return pos;
        if (objectSize < 24 || objectSize > size - pos) return 0;
        pos += static_cast<std::size_t>(objectSize);
    }
    return 0;
}

void AddToLe(std::uint8_t* p, std::uint64_t add, std::size_t width) {
    std::uint64_t value = 0;
    std::memcpy(&value, p, width);
    value += add;
    std::memcpy(p, &value, width);
}

std::size_t FindFileProperties(const std::uint8_t* header, std::size_t size) {
    const std::size_t at = FindHeaderObject(header, size, kFilePropertiesGuid);
    return at && at + kFilePropertiesSize <= size ? at : 0;
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
    // A broadcast has no length; a muxer that writes its own preroll there
    // tells players the whole stream lasts that long.
    const std::uint64_t unknown = 0;
    std::memcpy(header.data() + at + kPlayDurationOffset, &unknown, 8);
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

bool AddStreamExtensions(std::vector<std::uint8_t>& header,
                         const std::vector<StreamExtension>& streams) {
    const std::size_t at = FindHeaderObject(header.data(), header.size(), kHeaderExtensionGuid);
    if (!at || header.size() < 30) return false;
    std::uint64_t extensionSize = 0;
    std::memcpy(&extensionSize, header.data() + at + 16, 8);
    if (extensionSize < kHeaderExtensionFields || extensionSize > header.size() - at) return false;
    std::vector<std::uint8_t> added;
    for (const StreamExtension& stream : streams) {
        std::uint8_t object[kExtendedStreamSize] = {};
        std::memcpy(object, kExtendedStreamGuid, 16);
        PutLe(object + 16, kExtendedStreamSize, 4);
        // Start and end time stay 0: a broadcast has neither. The leaky
        // bucket: the stream's rate, and no buffer, as the profile sets it.
        PutLe(object + 40, stream.bitsPerSecond, 4);
        PutLe(object + 52, stream.bitsPerSecond, 4);
        PutLe(object + 72, stream.number, 2);
        std::memcpy(object + 76, &stream.timePerFrame, 8);
        added.insert(added.end(), object, object + sizeof object);
    }
    const std::size_t end = at + static_cast<std::size_t>(extensionSize);
    header.insert(header.begin() + static_cast<std::ptrdiff_t>(end), added.begin(), added.end());
    AddToLe(header.data() + at + 16, added.size(), 8);  // the extension object
    AddToLe(header.data() + at + 42, added.size(), 4);  // its data
    AddToLe(header.data() + 16, added.size(), 8);       // the header object
    return true;
}

std::int64_t HeaderTimePerFrame(const std::uint8_t* header, std::size_t size,
                                std::uint16_t stream) {
    const std::size_t at = FindHeaderObject(header, size, kHeaderExtensionGuid);
    if (!at) return -1;
    std::uint64_t extensionSize = 0;
    std::memcpy(&extensionSize, header + at + 16, 8);
    if (extensionSize < kHeaderExtensionFields || extensionSize > size - at) return -1;
    const std::size_t end = at + static_cast<std::size_t>(extensionSize);
    for (std::size_t pos = at + kHeaderExtensionFields; pos + 24 <= end;) {
        std::uint64_t objectSize = 0;
        std::memcpy(&objectSize, header + pos + 16, 8);
        if (objectSize < 24 || objectSize > end - pos) return -1;
        if (std::memcmp(header + pos, kExtendedStreamGuid, 16) == 0 &&
            objectSize >= kExtendedStreamSize) {
            std::uint16_t number = 0;
            std::memcpy(&number, header + pos + 72, 2);
            std::int64_t time = 0;
            std::memcpy(&time, header + pos + 76, 8);
            if (number == stream) return time;
        }
        pos += static_cast<std::size_t>(objectSize);
    }
    return -1;
}

namespace {

struct Payload {
    std::uint8_t* streamByte;
    std::uint8_t* offsetField;
    std::size_t offsetSize;
    std::uint32_t offset;  // into the media object
    std::uint32_t objectNumber;
    const std::uint8_t* replicated;
    std::uint32_t replicatedLength;
    std::size_t end;  // where its data ends, from the packet's start
};

// Where the packet-wide fields lie.
struct PacketFields {
    bool read = false;  // the fields below are there
    std::size_t sendTimeAt = 0;
    std::size_t paddingAt = 0;
    std::size_t paddingSize = 0;  // 0: the packet has no padding length field
    std::size_t payloadFlagsAt = 0;
    bool multiple = false;
};

// Calls visit(payload) for each payload of a data packet until it returns
// true. False for a malformed packet or when no visit returned true. fields,
// when given, is filled before the first visit.
template <typename Visit>
bool ForEachPayload(std::uint8_t* p, std::size_t size, Visit visit,
                    PacketFields* fields = nullptr) {
    std::size_t pos = 0;
    if (size < 1) return false;
    if (p[0] & 0x80) pos = 1 + (p[0] & 0x0F);  // error correction data
    std::uint32_t lengthFlags = 0, propertyFlags = 0;
    if (!ReadField(p, size, pos, 1, &lengthFlags) || !ReadField(p, size, pos, 1, &propertyFlags))
        return false;
    pos += FieldSize((lengthFlags >> 5) & 3);  // packet length
    pos += FieldSize((lengthFlags >> 1) & 3);  // sequence
    PacketFields found;
    found.paddingAt = pos;
    found.paddingSize = FieldSize((lengthFlags >> 3) & 3);
    pos += found.paddingSize;
    found.sendTimeAt = pos;
    pos += 6;  // send time and duration
    found.multiple = lengthFlags & 1;
    std::uint32_t count = 1;
    std::size_t payloadLengthSize = 0;
    if (found.multiple) {
        found.payloadFlagsAt = pos;
        std::uint32_t payloadFlags = 0;
        if (!ReadField(p, size, pos, 1, &payloadFlags)) return false;
        count = payloadFlags & 0x3F;
        payloadLengthSize = FieldSize((payloadFlags >> 6) & 3);
    }
    found.read = pos <= size;
    if (fields) *fields = found;
    const std::size_t replicatedSize = FieldSize(propertyFlags & 3);
    const std::size_t offsetSize = FieldSize((propertyFlags >> 2) & 3);
    const std::size_t objectNumberSize = FieldSize((propertyFlags >> 4) & 3);
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pos >= size) return false;
        std::uint8_t* streamByte = p + pos;
        ++pos;
        std::uint32_t offset = 0, objectNumber = 0, replicated = 0, length = 0;
        if (!ReadField(p, size, pos, objectNumberSize, &objectNumber)) return false;
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
        if (found.multiple) {
            if (!ReadField(p, size, pos, payloadLengthSize, &length)) return false;
        } else {
            length = pos <= size ? static_cast<std::uint32_t>(size - pos) : 0;
        }
        if (visit(Payload{streamByte, offsetField, offsetSize, offset, objectNumber, replicatedData,
                          replicatedLength, pos + length}))
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

std::int64_t PacketSendTime(const std::uint8_t* packet, std::size_t size) {
    PacketFields fields;
    ForEachPayload(
        const_cast<std::uint8_t*>(packet), size, [](const Payload&) { return true; }, &fields);
    std::uint32_t time = 0;
    std::size_t at = fields.sendTimeAt;
    if (!fields.read || !ReadField(packet, size, at, 4, &time)) return -1;
    return time;
}

bool TrimPacketForNewViewer(std::uint8_t* packet, std::size_t size, std::uint16_t stream) {
    struct Span {
        std::size_t begin;
        std::size_t end;
        std::uint8_t stream;
        std::uint32_t objectNumber;
        bool starts;  // begins its media object
        std::uint8_t* offsetField;
        std::size_t offsetSize;
        bool drop;
    };
    Span spans[64];
    std::size_t count = 0;
    std::size_t key = SIZE_MAX;
    PacketFields fields;
    ForEachPayload(
        packet, size,
        [&](const Payload& payload) {
            Span& span = spans[count];
            span.begin = static_cast<std::size_t>(payload.streamByte - packet);
            span.end = payload.end;
            span.stream = *payload.streamByte & 0x7F;
            span.objectNumber = payload.objectNumber;
            span.starts = payload.offset == 0;
            span.offsetField = payload.offsetField;
            span.offsetSize = payload.offsetSize;
            if (key == SIZE_MAX && IsKeyStart(payload, stream)) key = count;
            return ++count == std::size(spans);
        },
        &fields);
    if (key == SIZE_MAX) return false;
    const bool walkedAll = fields.multiple && count == (packet[fields.payloadFlagsAt] & 0x3Fu) &&
                           spans[count - 1].end <= size;
    // Out go the stream's frames before its key frame, which cannot be
    // decoded without the pictures before them, and the rest of any object
    // whose start came in an earlier packet: some players hand such a piece
    // to their decoder as if it were a whole frame.
    std::size_t dropped = 0;
    for (std::size_t i = 0; i < count; ++i) {
        Span& span = spans[i];
        span.drop = i < key && span.stream == stream;
        if (!span.starts) {
            bool begunHere = false;
            for (std::size_t j = 0; j < i && !begunHere; ++j)
                begunHere = !spans[j].drop && spans[j].starts && spans[j].stream == span.stream &&
                            spans[j].objectNumber == span.objectNumber;
            span.drop = span.drop || !begunHere;
        }
        if (span.drop) dropped += span.end - span.begin;
    }
    if (dropped == 0) return true;

    std::uint32_t padding = 0;
    std::size_t paddingAt = fields.paddingAt;
    ReadField(packet, size, paddingAt, fields.paddingSize, &padding);
    const std::uint64_t newPadding = std::uint64_t{padding} + dropped;
    const bool fits =
        fields.paddingSize > 0 &&
        newPadding < (std::uint64_t{1} << (8 * std::min<std::size_t>(fields.paddingSize, 4)));
    if (!walkedAll || !fits) {
        // No room to say where the packet ends: the whole frames read as
        // continuations of an object never seen, which players skip.
        for (std::size_t i = 0; i < count; ++i)
            if (spans[i].drop && spans[i].starts && spans[i].offsetSize > 0)
                spans[i].offsetField[0] = 1;
        return true;
    }
    std::size_t to = spans[0].begin;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < count; ++i) {
        if (spans[i].drop) continue;
        std::memmove(packet + to, packet + spans[i].begin, spans[i].end - spans[i].begin);
        to += spans[i].end - spans[i].begin;
        ++kept;
    }
    std::memset(packet + to, 0, spans[count - 1].end - to);
    packet[fields.payloadFlagsAt] =
        static_cast<std::uint8_t>((packet[fields.payloadFlagsAt] & 0xC0) | kept);
    PutLe(packet + fields.paddingAt, static_cast<std::uint32_t>(newPadding), fields.paddingSize);
    return true;
}

}  // namespace wmv
