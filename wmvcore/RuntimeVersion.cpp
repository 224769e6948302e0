#include "wmvcore/RuntimeVersion.h"

#include <dlfcn.h>

namespace {

constexpr std::uint32_t kLeastVersion = 0x00090000;  // 9.0

}  // namespace

bool MediaRuntimeVersionAccepted(const WmvcoreVersion& version) {
    if (version.dwProductVersionMS < kLeastVersion) return false;
    return version.dwFileVersionMS >= kLeastVersion;
}

MediaRuntimeStatus CheckMediaRuntime(const char* library) {
    void* handle = ::dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (!handle) return MediaRuntimeStatus::kMissing;
    MediaRuntimeStatus status = MediaRuntimeStatus::kNoVersion;
    using GetVersion = int (*)(WmvcoreVersion*);
    if (auto* get = reinterpret_cast<GetVersion>(::dlsym(handle, "WmvcoreGetVersion"))) {
        WmvcoreVersion version{};
        if (get(&version)) {
            status = MediaRuntimeVersionAccepted(version) ? MediaRuntimeStatus::kAccepted
                                                          : MediaRuntimeStatus::kTooOld;
        }
    }
    ::dlclose(handle);
    return status;
}
