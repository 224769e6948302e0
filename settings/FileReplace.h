#pragma once
// Replacing a settings file whole: the new bytes go to a fresh file beside
// the old one, are flushed, and then take the old file's place in one rename.
// A full disk, a read-only folder or a crash part way leaves either the old
// file or the new one intact, never a cut one. The files it writes hold the
// user's settings, the relay's stream key among them: they are the user's
// alone (0600) from their first byte, and the fresh file is a hidden one
// (".NAME.tmp..."), which the web server never serves.

#include <cstddef>
#include <string>

// Writes size bytes as the new content of path, keeping the old file's
// permissions for its owner (group and others lose theirs). False (and the
// old file untouched, no stray file left) when any step fails.
bool ReplaceFile(const std::string& path, const void* bytes, std::size_t size);
