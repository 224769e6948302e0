#pragma once
// The framing of the Windows Media HTTP streaming protocol: the stream
// header, each data packet and the end travel as chunks ($H, $D, $E), each
// behind a small prefix with the chunk's length and sequence number.

#include <cstddef>
#include <cstdint>

namespace wmv {

constexpr std::uint16_t kChunkHeader = 0x4824;  // "$H"
constexpr std::uint16_t kChunkData = 0x4424;    // "$D"
constexpr std::uint16_t kChunkEnd = 0x4524;     // "$E"
constexpr std::size_t kChunkPrefixSize = 12;
constexpr std::size_t kEndChunkSize = 8;

// The 12-byte prefix in front of a header or data chunk of payload bytes.
void ChunkPrefix(std::uint8_t* p, std::uint16_t type, std::size_t payload, std::uint32_t seq,
                 std::uint8_t flags);

// The 8-byte chunk that ends a stream.
void EndChunk(std::uint8_t* p, std::uint32_t seq);

}  // namespace wmv
