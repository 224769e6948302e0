#include "settings/AppSettings.h"

#include <cstring>
#include <filesystem>

#include "diag/ProgramPath.h"

constinit AppSettings g_settings;
bool configChanged = false;
std::string programDir;
std::string filesDir;

namespace {

template <typename T>
bool RepairRange(T& value, SettingRange range, T fallback) {
    if (value >= range.low && value <= range.high) return false;
    value = fallback;
    return true;
}

}  // namespace

int RepairSettings(AppSettings& settings) {
    constexpr AppSettings defaults;
    int repaired = 0;
    repaired +=
        RepairRange(settings.videoBitrateKbps, kVideoBitrateRange, defaults.videoBitrateKbps);
    repaired += RepairRange(settings.videoFramesPerSecond, kFramesPerSecondRange,
                            defaults.videoFramesPerSecond);
    repaired += RepairRange(settings.videoQuality, kVideoQualityRange, defaults.videoQuality);
    repaired += RepairRange(settings.asfPort, kAsfPortRange, defaults.asfPort);
    repaired += RepairRange(settings.maxUsers, kMaxUsersRange, defaults.maxUsers);
    repaired += RepairRange(settings.httpPort, kHttpPortRange, defaults.httpPort);
    repaired += RepairRange(settings.meterScale, kMeterScaleRange, defaults.meterScale);

    // The caption is drawn as a C string; without a terminator inside the
    // field it would run into the fields behind it.
    constexpr std::size_t kTextSize = sizeof settings.captionText;
    if (!std::memchr(settings.captionText, '\0', kTextSize)) {
        settings.captionText[kTextSize - 1] = '\0';
        ++repaired;
    }
    return repaired;
}

const std::string& DetermineProgramDir() {
    programDir = FolderOf(ProgramPath());
    filesDir = FolderOf(UserFilesPath());
    if (filesDir != programDir && !filesDir.empty()) {
        // The web server has one root: the status pages and the page's
        // scripts join the user's files there, brought up to date at every
        // start.
        for (const char* page : kStatusPages) {
            std::error_code ignored;
            std::filesystem::copy_file(programDir + page, filesDir + page,
                                       std::filesystem::copy_options::overwrite_existing, ignored);
        }
        for (const char* script : kPageScripts) {
            std::error_code ignored;
            std::filesystem::copy_file(programDir + script, filesDir + script,
                                       std::filesystem::copy_options::overwrite_existing, ignored);
        }
    }
    return programDir;
}
