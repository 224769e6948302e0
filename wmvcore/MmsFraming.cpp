#include "wmvcore/MmsFraming.h"

namespace wmv {
namespace {

void PutLe16(std::uint8_t* p, std::uint16_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

void PutLe32(std::uint8_t* p, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}

}  // namespace

void ChunkPrefix(std::uint8_t* p, std::uint16_t type, std::size_t payload, std::uint32_t seq,
                 std::uint8_t flags) {
    const auto length = static_cast<std::uint16_t>(payload + 8);
    PutLe16(p, type);
    PutLe16(p + 2, length);
    PutLe32(p + 4, seq);
    p[8] = 0;
    p[9] = flags;
    PutLe16(p + 10, length);
}

void EndChunk(std::uint8_t* p, std::uint32_t seq) {
    PutLe16(p, kChunkEnd);
    PutLe16(p + 2, 4);
    PutLe32(p + 4, seq);
}

}  // namespace wmv
