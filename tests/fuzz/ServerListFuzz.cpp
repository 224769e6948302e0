// The servers list loader on any file a disk, an older release or a user may
// leave as "srvlist.cfg". Whatever the bytes: as many entries as the count
// claims and whole records allow, each field its file bytes up to the first
// NUL (at most one byte short of the field) and zero behind, and what is
// written from them reads back the same, byte for byte.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "FuzzSupport.h"
#include "settings/ServerList.h"

namespace {

std::uint32_t Le32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

// The list read from bytes, through a stream as the loader reads a file.
std::size_t Read(const std::string& bytes, ServerList* list) {
    // fmemopen refuses an empty buffer: an empty file is one byte already
    // read.
    std::string buffer = bytes.empty() ? std::string(1, '\0') : bytes;
    std::FILE* file = fmemopen(buffer.data(), buffer.size(), "rb");
    FUZZ_CHECK(file != nullptr);
    if (bytes.empty()) std::fgetc(file);
    const std::size_t count = ReadServerList(file, list);
    std::fclose(file);
    return count;
}

FUZZ_HARNESS void CheckField(const char* field, std::size_t size, const std::uint8_t* raw) {
    std::size_t length = 0;
    while (length < size - 1 && raw[length] != 0) ++length;
    FUZZ_CHECK(std::memcmp(field, raw, length) == 0);
    for (std::size_t i = length; i < size; ++i) FUZZ_CHECK(field[i] == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    ServerList list;
    list.push_back(ServerEntry{"left over", "http://left.over"});
    const std::size_t count = Read(bytes, &list);

    std::size_t expected = 0;
    if (size >= 8) {
        expected = std::min<std::size_t>(Le32(data + 4), (size - 8) / sizeof(ServerEntry));
        expected = std::min(expected, kMaxServerEntries);
    }
    FUZZ_CHECK(count == expected);
    FUZZ_CHECK(list.size() == expected);
    const std::uint8_t* record = data + 8;
    for (const ServerEntry& entry : list) {
        CheckField(entry.name, sizeof entry.name, record);
        CheckField(entry.address, sizeof entry.address, record + sizeof entry.name);
        record += sizeof(ServerEntry);
    }

    // Written and read back: the same list, and the same bytes again.
    const std::string written = ServerListBytes(list);
    FUZZ_CHECK(written.size() == 8 + list.size() * sizeof(ServerEntry));
    FUZZ_CHECK(Le32(reinterpret_cast<const std::uint8_t*>(written.data())) == kServerListVersion);
    ServerList again;
    FUZZ_CHECK(Read(written, &again) == list.size());
    FUZZ_CHECK(ServerListBytes(again) == written);
    auto a = list.begin();
    for (const ServerEntry& entry : again)
        FUZZ_CHECK(std::memcmp(&entry, &*a++, sizeof entry) == 0);
    return 0;
}
