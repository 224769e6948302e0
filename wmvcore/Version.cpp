// The version libwmvcore reports, in the halves a version resource carries.

#include "wmvcore/wmvcore.h"

namespace {
constexpr std::uint32_t kMajor = 9;
constexpr std::uint32_t kMinor = 1;
constexpr std::uint32_t kBuild = 0;
constexpr std::uint32_t kRevision = 0;
}  // namespace

extern "C" __attribute__((visibility("default"))) int WmvcoreGetVersion(WmvcoreVersion* version) {
    if (!version) return 0;
    version->dwProductVersionMS = kMajor << 16 | kMinor;
    version->dwProductVersionLS = kBuild << 16 | kRevision;
    version->dwFileVersionMS = kMajor << 16 | kMinor;
    version->dwFileVersionLS = kBuild << 16 | kRevision;
    return 1;
}
