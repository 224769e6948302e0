// A stand-in media runtime that does nothing but report the version it was
// built with, for the tests of the runtime version checks.

#include "wmvcore/wmvcore.h"

#ifndef LUMACAST_TEST_RUNTIME_WITHOUT_VERSION
extern "C" __attribute__((visibility("default"))) int WmvcoreGetVersion(WmvcoreVersion* version) {
    if (!version) return 0;
    version->dwProductVersionMS = LUMACAST_TEST_RUNTIME_PRODUCT;
    version->dwProductVersionLS = 0x00050007;
    version->dwFileVersionMS = LUMACAST_TEST_RUNTIME_FILE;
    version->dwFileVersionLS = 0x00050007;
    return 1;
}
#else
extern "C" __attribute__((visibility("default"))) int WmvcoreSomethingElse() {
    return 0;
}
#endif
