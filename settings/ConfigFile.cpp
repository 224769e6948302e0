#include "settings/ConfigFile.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "diag/ProgramPath.h"
#include "platform/MessageBox.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"
#include "settings/FileReplace.h"

namespace {

using UniqueFile = UniqueHandle<std::FILE, std::fclose>;

constexpr std::size_t kRecordSize = sizeof(AppSettings);

}  // namespace

std::string ConfigFilePath() {
    return ReplaceLastThree(UserFilesPath(), "cfg");
}

void LoadConfig() {
    const std::string path = ConfigFilePath();
    if (path.empty()) return;
    UniqueFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return;

    std::uint8_t versionBytes[4];
    if (std::fread(versionBytes, 1, sizeof versionBytes, file.get()) != sizeof versionBytes) return;
    std::uint32_t version;
    std::memcpy(&version, versionBytes, sizeof version);

    // Versions 0 to 2 share the one layout; a newer release is assumed to keep
    // it at the front, so its leading 352 bytes are what this release applies.
    std::uint8_t record[kRecordSize];
    const std::size_t got = std::fread(record, 1, sizeof record, file.get());
    file.reset();
    std::memcpy(reinterpret_cast<std::uint8_t*>(&g_settings), record, got);
    RepairSettings(g_settings);

    if (version > kConfigFileVersion)
        MessageBox("Config file version is higher then software version - loaded partially",
                   kSettingsMessageCaption, MB_OK | MB_ICONEXCLAMATION);
}

bool SaveConfig() {
    std::uint8_t bytes[4 + kRecordSize];
    const std::uint32_t version = kConfigFileVersion;
    std::memcpy(bytes, &version, 4);
    std::memcpy(bytes + 4, &g_settings, kRecordSize);

    const std::string path = ConfigFilePath();
    if (path.empty() || !ReplaceFile(path, bytes, sizeof bytes)) {
        MessageBox("Cannot save config file", kSettingsMessageCaption, MB_OK | MB_ICONSTOP);
        return false;
    }
    configChanged = false;
    return true;
}

void SaveConfigCommand() {
    if (SaveConfig()) MessageBox("Configuration is saved", kSettingsMessageCaption, MB_OK);
}

bool AskToSaveConfig() {
    if (!configChanged) return false;
    if (MessageBox("Do you want to save current configuration?", kSettingsMessageCaption,
                   MB_YESNO | MB_ICONQUESTION) == IDYES)
        SaveConfig();
    return true;
}
