#include "diag/ProgramPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace {

std::mutex& OverrideMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& OverridePath() {
    static std::string path;
    return path;
}

std::string ReadExecutablePath() {
    std::vector<char> buffer(256);
    for (;;) {
        const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
        if (length < 0) return {};
        if (static_cast<std::size_t>(length) < buffer.size()) {
            std::string path(buffer.data(), static_cast<std::size_t>(length));
            // A program file replaced while running (a rebuild, an update) is
            // reported with this mark; its files still belong beside the name.
            constexpr const char kDeleted[] = " (deleted)";
            constexpr std::size_t kDeletedLength = sizeof(kDeleted) - 1;
            if (path.size() > kDeletedLength &&
                path.compare(path.size() - kDeletedLength, kDeletedLength, kDeleted) == 0)
                path.resize(path.size() - kDeletedLength);
            return path;
        }
        buffer.resize(buffer.size() * 2);
    }
}

}  // namespace

std::string ProgramPath() {
    {
        std::lock_guard lock(OverrideMutex());
        if (!OverridePath().empty()) return OverridePath();
    }
    return ReadExecutablePath();
}

void SetProgramPath(const std::string& path) {
    std::lock_guard lock(OverrideMutex());
    OverridePath() = path;
}

std::string UserConfigFolder() {
    std::string base;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config && *config == '/') {
        base = config;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        base = std::string(home) + "/.config";
    } else {
        return {};
    }
    const std::string folder = base + "/lumacast/";
    // Each level in turn, for a config folder that does not exist yet either.
    for (std::size_t slash = folder.find('/', 1); slash != std::string::npos;
         slash = folder.find('/', slash + 1)) {
        const std::string level = folder.substr(0, slash);
        if (::mkdir(level.c_str(), 0700) != 0 && errno != EEXIST) return {};
    }
    return folder;
}

std::string UserFilesPath() {
    const std::string program = ProgramPath();
    const std::string folder = FolderOf(program);
    if (folder.empty() || ::access(folder.c_str(), W_OK) == 0) return program;
    const std::string user = UserConfigFolder();
    if (user.empty()) return program;
    return user + program.substr(folder.size());
}

std::string ReplaceLastThree(const std::string& path, const char* suffix) {
    if (path.size() < 3) return {};
    return path.substr(0, path.size() - 3) + suffix;
}

std::string FolderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return path.substr(0, slash + 1);
}
