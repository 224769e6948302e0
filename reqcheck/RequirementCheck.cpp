#include "reqcheck/RequirementCheck.h"

#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"
#include "wmvcore/RuntimeVersion.h"

std::int32_t CheckRequirements(const char* runtimeLibrary) {
    if (CheckMediaRuntime(runtimeLibrary) == MediaRuntimeStatus::kAccepted) return 0;
    const int answer =
        MessageBox(kMediaRuntimeWarning, kMediaRuntimeWarningCaption, MB_YESNO | MB_ICONWARNING);
    if (answer != IDNO) OpenUrl(kMediaRuntimeDownloadUrl);
    return 0;
}
