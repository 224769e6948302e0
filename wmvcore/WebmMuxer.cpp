#include "wmvcore/WebmMuxer.h"

#include <algorithm>
#include <cstring>

namespace wmv {
namespace ebml {

void PutId(std::vector<std::uint8_t>& out, std::uint32_t id) {
    int bytes = 4;
    while (bytes > 1 && (id >> (8 * (bytes - 1))) == 0) --bytes;
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(id >> (8 * i)));
}

void PutSize(std::vector<std::uint8_t>& out, std::uint64_t size) {
    // n bytes hold 7n bits; all ones is reserved for "unknown".
    int bytes = 1;
    while (bytes < 8 && size >= (std::uint64_t{1} << (7 * bytes)) - 1) ++bytes;
    const std::uint64_t marked = size | (std::uint64_t{1} << (7 * bytes));
    for (int i = bytes - 1; i >= 0; --i)
        out.push_back(static_cast<std::uint8_t>(marked >> (8 * i)));
}

void PutUint(std::vector<std::uint8_t>& out, std::uint32_t id, std::uint64_t value) {
    int bytes = 1;
    while (bytes < 8 && (value >> (8 * bytes)) != 0) ++bytes;
    PutId(out, id);
    PutSize(out, static_cast<std::uint64_t>(bytes));
    for (int i = bytes - 1; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

void PutFloat(std::vector<std::uint8_t>& out, std::uint32_t id, double value) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    PutId(out, id);
    PutSize(out, 8);
    for (int i = 7; i >= 0; --i) out.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
}

void PutBytes(std::vector<std::uint8_t>& out, std::uint32_t id, const void* data,
              std::size_t size) {
    PutId(out, id);
    PutSize(out, size);
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    out.insert(out.end(), bytes, bytes + size);
}

void PutString(std::vector<std::uint8_t>& out, std::uint32_t id, const std::string& text) {
    PutBytes(out, id, text.data(), text.size());
}

void PutMaster(std::vector<std::uint8_t>& out, std::uint32_t id,
               const std::vector<std::uint8_t>& body) {
    PutBytes(out, id, body.data(), body.size());
}

}  // namespace ebml

namespace {

// Element IDs.
constexpr std::uint32_t kEbml = 0x1A45DFA3;
constexpr std::uint32_t kEbmlVersion = 0x4286;
constexpr std::uint32_t kEbmlReadVersion = 0x42F7;
constexpr std::uint32_t kEbmlMaxIdLength = 0x42F2;
constexpr std::uint32_t kEbmlMaxSizeLength = 0x42F3;
constexpr std::uint32_t kDocType = 0x4282;
constexpr std::uint32_t kDocTypeVersion = 0x4287;
constexpr std::uint32_t kDocTypeReadVersion = 0x4285;
constexpr std::uint32_t kSegment = 0x18538067;
constexpr std::uint32_t kInfo = 0x1549A966;
constexpr std::uint32_t kTimestampScale = 0x2AD7B1;
constexpr std::uint32_t kMuxingApp = 0x4D80;
constexpr std::uint32_t kWritingApp = 0x5741;
constexpr std::uint32_t kTracks = 0x1654AE6B;
constexpr std::uint32_t kTrackEntry = 0xAE;
constexpr std::uint32_t kTrackNumber = 0xD7;
constexpr std::uint32_t kTrackUid = 0x73C5;
constexpr std::uint32_t kTrackType = 0x83;
constexpr std::uint32_t kFlagLacing = 0x9C;
constexpr std::uint32_t kCodecId = 0x86;
constexpr std::uint32_t kCodecPrivate = 0x63A2;
constexpr std::uint32_t kCodecDelay = 0x56AA;
constexpr std::uint32_t kSeekPreRoll = 0x56BB;
constexpr std::uint32_t kDefaultDuration = 0x23E383;
constexpr std::uint32_t kVideo = 0xE0;
constexpr std::uint32_t kPixelWidth = 0xB0;
constexpr std::uint32_t kPixelHeight = 0xBA;
constexpr std::uint32_t kAudio = 0xE1;
constexpr std::uint32_t kSamplingFrequency = 0xB5;
constexpr std::uint32_t kChannels = 0x9F;
constexpr std::uint32_t kCluster = 0x1F43B675;
constexpr std::uint32_t kTimestamp = 0xE7;
constexpr std::uint32_t kSimpleBlock = 0xA3;

// Sound older than this goes out without waiting for a picture (a camera
// that stalls must not hold the sound back).
constexpr std::int64_t kMaxWaitMs = 200;

}  // namespace

WebmMuxer::WebmMuxer(std::vector<WebmTrack> tracks, Deliver deliver)
    : tracks_(std::move(tracks)), deliver_(std::move(deliver)) {
    using namespace ebml;
    std::vector<std::uint8_t> body;
    PutUint(body, kEbmlVersion, 1);
    PutUint(body, kEbmlReadVersion, 1);
    PutUint(body, kEbmlMaxIdLength, 4);
    PutUint(body, kEbmlMaxSizeLength, 8);
    PutString(body, kDocType, "webm");
    PutUint(body, kDocTypeVersion, 4);
    PutUint(body, kDocTypeReadVersion, 2);
    PutMaster(header_, kEbml, body);

    // A live segment: its size is unknown, and it has no seek index or cues.
    PutId(header_, kSegment);
    for (std::uint8_t byte : {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})
        header_.push_back(byte);
    body.clear();
    PutUint(body, kTimestampScale, 1000000);  // block times in milliseconds
    PutString(body, kMuxingApp, "Lumacast");
    PutString(body, kWritingApp, "Lumacast");
    PutMaster(header_, kInfo, body);

    std::vector<std::uint8_t> tracksBody;
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
        const WebmTrack& track = tracks_[i];
        hasVideo_ = hasVideo_ || track.video;
        std::vector<std::uint8_t> entry;
        PutUint(entry, kTrackNumber, i + 1);
        PutUint(entry, kTrackUid, i + 1);
        PutUint(entry, kTrackType, track.video ? 1 : 2);
        PutUint(entry, kFlagLacing, 0);
        PutString(entry, kCodecId, track.codecId);
        if (!track.codecPrivate.empty())
            PutBytes(entry, kCodecPrivate, track.codecPrivate.data(), track.codecPrivate.size());
        if (track.codecDelayNs) PutUint(entry, kCodecDelay, track.codecDelayNs);
        if (track.seekPreRollNs) PutUint(entry, kSeekPreRoll, track.seekPreRollNs);
        if (track.defaultDurationNs) PutUint(entry, kDefaultDuration, track.defaultDurationNs);
        std::vector<std::uint8_t> media;
        if (track.video) {
            PutUint(media, kPixelWidth, static_cast<std::uint64_t>(track.width));
            PutUint(media, kPixelHeight, static_cast<std::uint64_t>(track.height));
            PutMaster(entry, kVideo, media);
        } else {
            PutFloat(media, kSamplingFrequency, track.sampleRate);
            PutUint(media, kChannels, static_cast<std::uint64_t>(track.channels));
            PutMaster(entry, kAudio, media);
        }
        PutMaster(tracksBody, kTrackEntry, entry);
    }
    PutMaster(header_, kTracks, tracksBody);
}

void WebmMuxer::Add(std::size_t track, bool key, std::int64_t timeMs, const std::uint8_t* data,
                    std::size_t size) {
    if (track >= tracks_.size() || size == 0) return;
    timeMs = std::max<std::int64_t>(timeMs, 0);
    if (!tracks_[track].video) {
        AppendBlock(track, true, timeMs, data, size);
        // Without pictures every sound frame goes out at once and is a start.
        if (!hasVideo_) return Emit(true);
        if (timeMs - blocks_.front().timeMs >= kMaxWaitMs) Emit(false);
        return;
    }
    if (key) {
        // A key picture starts a cluster of its own: the sound before it
        // goes out first.
        if (!blocks_.empty()) Emit(false);
        AppendBlock(track, true, timeMs, data, size);
        return Emit(true);
    }
    AppendBlock(track, false, timeMs, data, size);
    Emit(false);
}

void WebmMuxer::Flush() {
    if (!blocks_.empty()) Emit(!hasVideo_);
}

void WebmMuxer::AppendBlock(std::size_t track, bool key, std::int64_t timeMs,
                            const std::uint8_t* data, std::size_t size) {
    blocks_.push_back(Block{track, key, timeMs, data_.size(), size});
    data_.insert(data_.end(), data, data + size);
}

void WebmMuxer::Emit(bool start) {
    using namespace ebml;
    // Blocks go out in time order, whichever track they belong to: Media
    // Source players refuse a block that is earlier than the one before it
    // in its cluster (sound encoded after a picture may be captured before).
    std::stable_sort(blocks_.begin(), blocks_.end(),
                     [](const Block& a, const Block& b) { return a.timeMs < b.timeMs; });
    // Cluster times rise; a block may lie a little before its cluster's time
    // (sound that was captured before the last picture went out).
    std::int64_t clusterMs = std::max(blocks_.front().timeMs, lastClusterMs_);
    for (const Block& block : blocks_) {
        if (clusterMs - block.timeMs > 30000) clusterMs = block.timeMs;  // a clock jump back
    }
    lastClusterMs_ = clusterMs;
    cluster_.clear();
    PutId(cluster_, kCluster);
    std::size_t bodySize = 0;
    std::vector<std::uint8_t> head;
    PutUint(head, kTimestamp, static_cast<std::uint64_t>(clusterMs));
    bodySize += head.size();
    for (const Block& block : blocks_) {
        const std::size_t payload = 4 + block.size;
        std::vector<std::uint8_t> size;
        PutSize(size, payload);
        bodySize += 1 + size.size() + payload;
    }
    PutSize(cluster_, bodySize);
    cluster_.insert(cluster_.end(), head.begin(), head.end());
    for (const Block& block : blocks_) {
        PutId(cluster_, kSimpleBlock);
        PutSize(cluster_, 4 + block.size);
        cluster_.push_back(static_cast<std::uint8_t>(0x80 | (block.track + 1)));  // track number
        const auto relative = static_cast<std::int16_t>(
            std::clamp<std::int64_t>(block.timeMs - clusterMs, -32768, 32767));
        cluster_.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(relative) >> 8));
        cluster_.push_back(static_cast<std::uint8_t>(relative));
        cluster_.push_back(block.key ? 0x80 : 0x00);
        cluster_.insert(cluster_.end(), data_.begin() + static_cast<std::ptrdiff_t>(block.at),
                        data_.begin() + static_cast<std::ptrdiff_t>(block.at + block.size));
    }
    blocks_.clear();
    data_.clear();
    deliver_(cluster_.data(), cluster_.size(), start);
}

}  // namespace wmv
