#include "settings/ConfigFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "diag/ProgramPath.h"
#include "platform/MessageBox.h"
#include "platform/UniqueHandle.h"
#include "settings/AppSettings.h"

namespace {

using UniqueFile = UniqueHandle<std::FILE, std::fclose>;

constexpr std::size_t kRecordSize = sizeof(AppSettings);

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t written = ::write(fd, data, size);
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data += written;
        size -= static_cast<std::size_t>(written);
    }
    return true;
}

// Creates a new file beside path that nobody else uses, for writing.
UniqueFd CreateSiblingFile(const std::string& path, std::string& siblingPath) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        siblingPath = path + ".tmp" + std::to_string(::getpid()) + "-" + std::to_string(attempt);
        UniqueFd fd(::open(siblingPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (fd || errno != EEXIST) return fd;
    }
    return UniqueFd();
}

// Replaces the file at path with bytes: they are written and flushed to a
// new file beside it, which then takes the old file's place in one step. An
// interruption at any point leaves either the old file or the new one whole.
bool ReplaceFile(const std::string& path, const std::uint8_t* bytes, std::size_t size) {
    std::string siblingPath;
    UniqueFd fd = CreateSiblingFile(path, siblingPath);
    if (!fd) return false;

    struct stat old {};
    if (::stat(path.c_str(), &old) == 0) ::fchmod(fd.Get(), old.st_mode & 07777);

    bool written = WriteAll(fd.Get(), bytes, size) && ::fsync(fd.Get()) == 0;
    written = (::close(fd.Release()) == 0) && written;
    if (!written || ::rename(siblingPath.c_str(), path.c_str()) != 0) {
        ::unlink(siblingPath.c_str());
        return false;
    }
    // Make the rename itself durable; a failure here loses nothing already written.
    const std::string folder = FolderOf(path);
    UniqueFd dir(::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) ::fsync(dir.Get());
    return true;
}

}  // namespace

std::string ConfigFilePath() {
    return ReplaceLastThree(ProgramPath(), "cfg");
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
