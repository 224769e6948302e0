#include "settings/ServerList.h"

#include <algorithm>
#include <cstring>

#include "platform/UniqueHandle.h"
#include "settings/FileReplace.h"

namespace {

using UniqueFile = UniqueHandle<std::FILE, std::fclose>;

constexpr std::string_view kHttpPrefix = "http://";
constexpr std::size_t kHeaderSize = 8;

std::uint32_t ReadLe32(const unsigned char* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
           static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

void AppendLe32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<char>(value >> shift));
}

// A field read from a file may lack its terminator or carry leftovers behind
// it; it leaves here terminated and clean.
void CleanField(char* field, std::size_t size) {
    const std::size_t length = ServerField(field, size).size();
    const std::size_t kept = std::min(length, size - 1);
    std::memset(field + kept, 0, size - kept);
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    return text;
}

// Only ASCII letters change, so the length in bytes stays and a multi-byte
// character is never split or grown.
std::string AsciiLower(std::string_view text) {
    std::string lowered(text);
    for (char& c : lowered) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return lowered;
}

}  // namespace

std::string_view ServerField(const char* field, std::size_t size) {
    const void* end = std::memchr(field, '\0', size);
    return std::string_view(field, end ? static_cast<const char*>(end) - field : size);
}

bool SetServerField(char* field, std::size_t size, std::string_view text) {
    std::size_t length = std::min(text.size(), size - 1);
    if (length < text.size()) {
        // Back up to the start of the character the cut would split.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80) --length;
    }
    std::memcpy(field, text.data(), length);
    std::memset(field + length, 0, size - length);
    return length == text.size();
}

std::size_t ReadServerList(std::FILE* file, ServerList* list) {
    list->clear();
    unsigned char header[kHeaderSize];
    if (std::fread(header, 1, sizeof header, file) != sizeof header) return 0;
    // header[0..3] is the version, which every release reads the same way.
    const std::uint32_t count = ReadLe32(header + 4);
    const std::size_t wanted = std::min<std::size_t>(count, kMaxServerEntries);
    while (list->size() < wanted) {
        ServerEntry entry;
        if (std::fread(&entry, 1, sizeof entry, file) != sizeof entry) break;
        CleanField(entry.name, sizeof entry.name);
        CleanField(entry.address, sizeof entry.address);
        list->push_back(entry);
    }
    return list->size();
}

bool LoadServerListFile(const std::string& path, ServerList* list) {
    list->clear();
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return false;
    ReadServerList(file.get(), list);
    return true;
}

std::string ServerListBytes(const ServerList& list) {
    std::string bytes;
    bytes.reserve(kHeaderSize + list.size() * sizeof(ServerEntry));
    AppendLe32(bytes, kServerListVersion);
    AppendLe32(bytes, static_cast<std::uint32_t>(list.size()));
    for (const ServerEntry& entry : list) {
        // Written clean, whatever the entry carries behind its terminators.
        ServerEntry clean;
        SetServerField(clean.name, sizeof clean.name, ServerField(entry.name, sizeof entry.name));
        SetServerField(clean.address, sizeof clean.address,
                       ServerField(entry.address, sizeof entry.address));
        bytes.append(reinterpret_cast<const char*>(&clean), sizeof clean);
    }
    return bytes;
}

bool SaveServerListFile(const std::string& path, const ServerList& list) {
    const std::string bytes = ServerListBytes(list);
    return ReplaceFile(path, bytes.data(), bytes.size());
}

ServerEntryCheck MakeServerEntry(std::string_view name, std::string_view address,
                                 ServerEntry* entry) {
    address = TrimBlanks(address);
    if (name.empty() || address.empty()) return ServerEntryCheck::kEmpty;
    std::string stored = AsciiLower(address);
    if (stored.find(kHttpPrefix) == std::string::npos) stored.insert(0, kHttpPrefix);
    if (stored.size() >= sizeof entry->address) return ServerEntryCheck::kTooLong;
    SetServerField(entry->name, sizeof entry->name, name);
    SetServerField(entry->address, sizeof entry->address, stored);
    return ServerEntryCheck::kOk;
}
