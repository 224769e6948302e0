#pragma once
// ASF bytes that the writer and the stream server make and read: the data
// packets of a live stream, the live settings in the header and key-frame
// starts in data packets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace wmv {

// Packs encoded frames into the fixed-size data packets of a live stream.
// Frames are appended as they come; a frame larger than the room left
// continues in the next packets. Packets are handed on in bursts: SendReady
// passes on those that are full, SendAll pads the one being filled and
// passes it on too, so a frame can leave as soon as it is encoded instead of
// waiting for later frames to fill its packet. Payload times need not be in
// order across streams: a player orders each stream by its own times.
class DataPacketWriter {
  public:
    // Receives one or more whole packets, one after another.
    using Deliver = std::function<void(const std::uint8_t* packets, std::size_t size)>;

    // Packet header (error correction, flags, padding length, send time,
    // duration, payload flags) and the header of each payload (stream,
    // object number, offset, replicated object size and time, length).
    static constexpr std::size_t kPacketHeaderSize = 14;
    static constexpr std::size_t kPayloadHeaderSize = 17;
    static constexpr std::size_t kMaxPayloads = 63;

    // packetSize must leave room for one payload byte and at most 65535;
    // presentation times are written as the frame's time plus timeOffsetMs.
    DataPacketWriter(std::size_t packetSize, std::uint32_t timeOffsetMs, Deliver deliver);

    // Appends one frame of a stream (1..127). keepWhole starts a fresh packet
    // for a frame that fits one but not the room left (audio frames are not
    // split).
    void Add(std::uint8_t stream, bool key, bool keepWhole, std::int64_t timeMs,
             const std::uint8_t* data, std::size_t size);
    // Hands on the packets that are full, once there are at least atLeast.
    void SendReady(std::size_t atLeast = 1);
    // Hands on the packets that are full and the one being filled.
    void SendAll();

  private:
    std::size_t Room() const;
    void Close();  // completes the packet being filled

    std::vector<std::uint8_t> packet_;
    std::vector<std::uint8_t> ready_;  // full packets not yet handed on
    std::size_t used_ = kPacketHeaderSize;
    std::size_t payloads_ = 0;
    std::uint32_t firstTime_ = 0;
    std::uint32_t lastTime_ = 0;
    std::uint32_t sendTime_ = 0;
    std::uint32_t timeOffsetMs_;
    std::array<std::uint8_t, 128> objectNumbers_{};
    Deliver deliver_;
};

// Marks the header as a live broadcast (broadcast flag, not seekable, no
// play duration) and sets the preroll that players wait for. False when the header holds no
// file properties object.
bool PatchLiveHeader(std::vector<std::uint8_t>& header, std::uint32_t prerollMs);

// The preroll a header announces, or -1.
std::int64_t HeaderPreroll(const std::uint8_t* header, std::size_t size);

// What the header says of one stream beyond its codec: its rate, and for
// pictures the time from one to the next (100-ns units).
struct StreamExtension {
    std::uint16_t number = 0;
    std::uint32_t bitsPerSecond = 0;
    std::int64_t timePerFrame = 0;
};
// Adds an extended stream properties object for each stream to the header's
// extension object. False when the header has none.
bool AddStreamExtensions(std::vector<std::uint8_t>& header,
                         const std::vector<StreamExtension>& streams);
// The time per picture the header gives a stream, or -1.
std::int64_t HeaderTimePerFrame(const std::uint8_t* header, std::size_t size, std::uint16_t stream);

// The send time of a data packet in milliseconds, or -1.
std::int64_t PacketSendTime(const std::uint8_t* packet, std::size_t size);

// True when a payload of the stream starts a key frame in this data packet
// (key flag set and offset 0 into its media object). Malformed packets give
// false.
bool PacketStartsKeyFrame(const std::uint8_t* packet, std::size_t size, std::uint16_t stream);

// The presentation time in milliseconds of the stream's last payload in this
// data packet, or -1 when it has none.
std::int64_t LastPresentationTime(const std::uint8_t* packet, std::size_t size,
                                  std::uint16_t stream);

// For a viewer that starts with this packet: what it could not use is taken
// out and the room it took becomes padding, so that the viewer's first frame
// of every stream is whole: the stream's frames before its key frame, and the
// rest of any object begun in an earlier packet. Where the packet has no
// room to say so, those frames are marked as continuations instead, which
// players skip. True when the key frame was found; otherwise the packet is
// left as it is.
bool TrimPacketForNewViewer(std::uint8_t* packet, std::size_t size, std::uint16_t stream);

}  // namespace wmv
