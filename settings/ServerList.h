#pragma once
// The remote servers list: the broadcasters the user watches, each a display
// name and a stream address, kept in "srvlist.cfg" in the current directory
// (the program makes its files folder the current directory at start). The
// file is a 32-bit version (1), a 32-bit count and that many 192-byte
// records, all little-endian. The Servers dialog loads it when it opens and
// rewrites it after every change; the rules a typed entry goes through
// before it is stored live here too. No Qt, so that tools and fuzzers can
// drive the loader alone.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <list>
#include <string>
#include <string_view>

constexpr char kServerListFileName[] = "srvlist.cfg";
constexpr std::uint32_t kServerListVersion = 1;

// One server as the file and the list hold it. Both fields are
// NUL-terminated; every byte behind the terminator is zero in the entries
// this module makes and in what it writes.
struct ServerEntry {
    char name[64];      // as typed, at most 63 bytes
    char address[128];  // lower case, holds "http://", at most 127 bytes
};
static_assert(sizeof(ServerEntry) == 192, "the record is stored whole, byte for byte");

// In list order; entries keep their place in memory while they are listed.
using ServerList = std::list<ServerEntry>;

// A damaged file cannot bring more entries than this into the list, whatever
// count it claims (no list of real servers comes near it).
constexpr std::size_t kMaxServerEntries = 65536;

// Empties list, then reads the entries of an open file. The version is not
// checked. Only complete records enter the list: a file shorter than its
// count claims gives the records it holds, and a header cut short gives
// none. Every field is terminated within its bytes. Never allocates by the
// count alone. Returns the number of entries read.
std::size_t ReadServerList(std::FILE* file, ServerList* list);

// The same from a file path; a file that cannot be opened leaves the list
// empty and returns false.
bool LoadServerListFile(const std::string& path, ServerList* list);

// The file's bytes for a list: version 1, the count, the records.
std::string ServerListBytes(const ServerList& list);

// Replaces the file at path with the list, written beside it and renamed
// over it, so a failed save leaves the previous file whole. False on failure.
bool SaveServerListFile(const std::string& path, const ServerList& list);

// What became of a typed name and address.
enum class ServerEntryCheck {
    kOk,
    kEmpty,    // the name or the address is empty
    kTooLong,  // the address, prefixed where needed, does not fit its field
};

// Turns what the user typed into an entry: the name as typed (cut to 63
// bytes at a character boundary); the address without surrounding blanks,
// in lower case, and with "http://" in front unless it holds that anywhere.
// An address that would not fit whole is refused rather than cut, since a
// cut address names another stream. entry is written only on kOk.
ServerEntryCheck MakeServerEntry(std::string_view name, std::string_view address,
                                 ServerEntry* entry);

// Puts text into a fixed field: at most size - 1 bytes, never ending inside a
// UTF-8 sequence, NUL-terminated and zero behind. Returns whether it fit
// whole.
bool SetServerField(char* field, std::size_t size, std::string_view text);

// The text of a field, up to its terminator or its end.
std::string_view ServerField(const char* field, std::size_t size);
