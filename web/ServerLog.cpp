#include "web/ServerLog.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "web/TimeText.h"

namespace {

// mkdir -p: creates every missing folder on the way to path.
bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

}  // namespace

std::string ServerLog::StateFolder() {
    std::string base;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && state[0] == '/') {
        base = state;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* user = getpwuid(getuid());
            home = user ? user->pw_dir : nullptr;
        }
        if (!home) return {};
        base = std::string(home) + "/.local/state";
    }
    if (base.back() != '/') base += '/';
    return base + "lumacast/";
}

bool ServerLog::WriteLog(const char* fileName, const char* message, const char* where, int code) {
    std::lock_guard guard(lock_);
    if (!fileName || !*fileName || !message || !*message) return false;

    const std::string folder = StateFolder();
    if (folder.empty() || !MakeFolders(folder.substr(0, folder.size() - 1))) return false;
    const std::string path = folder + fileName;

    FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return false;

    const std::string timestamp = web::LocalTimestampNow();
    char line[1024];
    if (where) {
        std::snprintf(line, sizeof line, "%s - %s.\t[%s]\t[%d]\n", timestamp.c_str(), message,
                      where, code);
    } else {
        std::snprintf(line, sizeof line, "%s - %s.\t[%d]\n", timestamp.c_str(), message, code);
    }
    const std::size_t length = std::strlen(line);
    const std::size_t written = std::fwrite(line, 1, length, file);
    const bool closed = std::fclose(file) == 0;
    return written == length && closed;
}
