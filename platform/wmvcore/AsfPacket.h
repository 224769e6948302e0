#pragma once
// Small readers and editors of ASF bytes that the writer and the stream
// server need: the live settings in the header and key-frame starts in data
// packets.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace wmv {

// Marks the header as a live broadcast (broadcast flag, not seekable) and
// sets the preroll that players wait for. False when the header holds no
// file properties object.
bool PatchLiveHeader(std::vector<std::uint8_t>& header, std::uint32_t prerollMs);

// The preroll a header announces, or -1.
std::int64_t HeaderPreroll(const std::uint8_t* header, std::size_t size);

// True when a payload of the stream starts a key frame in this data packet
// (key flag set and offset 0 into its media object). Malformed packets give
// false.
bool PacketStartsKeyFrame(const std::uint8_t* packet, std::size_t size, std::uint16_t stream);

// For a viewer that starts with this packet: whole frames of the stream that
// lie before its key frame are marked as continuations of an object the
// viewer never saw, so players skip them and the viewer's first frame of that
// stream is the key frame. True when the key frame was found.
bool HidePayloadsBeforeKeyFrame(std::uint8_t* packet, std::size_t size, std::uint16_t stream);

}  // namespace wmv
