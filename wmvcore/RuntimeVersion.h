#pragma once
// The media runtime check that the program makes at start-up and the install
// check library makes for installers: the runtime is found the way the system
// loader finds it (its bare soname through the usual library search, the
// caller's run path included), and its exported version must be at least 9.0
// in both its product and its file version.

#include <cstdint>

#include "wmvcore/wmvcore.h"

constexpr char kMediaRuntimeSoname[] = "libwmvcore.so.9";

// Where a user gets the runtime when it is missing or too old.
constexpr char kMediaRuntimeDownloadUrl[] =
    "https://orvanta-software.com/lumacast/9series/download/";

// The warning both checks show, and its caption.
constexpr char kMediaRuntimeWarning[] =
    "You haven't installed Windows Media Player 9.0\nSoftware require this component to "
    "work.\n\nDo you want to open Windows Media Player download page?";
constexpr char kMediaRuntimeWarningCaption[] = "Warning";

enum class MediaRuntimeStatus {
    kAccepted,
    kMissing,    // the library cannot be loaded
    kNoVersion,  // it exports no version, or the version cannot be read
    kTooOld,     // product or file version below 9.0
};

// The version rule: the product version's major and minor halves, then the
// file version's, each compared unsigned against 9.0; build and revision play
// no part.
bool MediaRuntimeVersionAccepted(const WmvcoreVersion& version);

// Loads the library by the given name (a bare soname searches as the system
// loader does; a path loads that file) and applies the version rule.
MediaRuntimeStatus CheckMediaRuntime(const char* library = kMediaRuntimeSoname);
