#include "web/ServerLog.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "web/TimeText.h"

namespace {

// Distinct failures whose repeats are counted at once; a further one ends
// the count of the oldest.
constexpr std::size_t kMaxRepeats = 64;

// mkdir -p: creates every missing folder on the way to path.
bool MakeFolders(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) return true;
    }
}

// Opens path for appending a line of length bytes; a file that the line
// would take beyond the limit is first moved aside, replacing the old one.
std::FILE* OpenForLine(const std::string& path, std::size_t length) {
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return nullptr;
    struct stat info {};
    if (fstat(fileno(file), &info) == 0 && info.st_size > 0 &&
        static_cast<std::uint64_t>(info.st_size) + length > ServerLog::kMaxLogBytes) {
        std::fclose(file);
        std::rename(path.c_str(), (path + ServerLog::kOldLogSuffix).c_str());
        file = std::fopen(path.c_str(), "a");
    }
    return file;
}

}  // namespace

ServerLog::~ServerLog() {
    FlushRepeats(true);
}

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

    const auto now = std::chrono::steady_clock::now();
    ExpireRepeats(now, false);
    const auto same = std::find_if(repeats_.begin(), repeats_.end(), [&](const Repeat& r) {
        return r.code == code && r.hasWhere == (where != nullptr) && r.message == message &&
               (!where || r.where == where) && r.fileName == fileName;
    });
    if (same != repeats_.end()) {
        ++same->count;
        return true;
    }

    if (!WriteLine(fileName, message, where, code)) return false;
    if (repeats_.size() == kMaxRepeats) {
        WriteCount(repeats_.front());
        repeats_.erase(repeats_.begin());
    }
    repeats_.push_back({fileName, message, where ? where : "", where != nullptr, code, now, 0});
    return true;
}

void ServerLog::FlushRepeats(bool all) {
    std::lock_guard guard(lock_);
    ExpireRepeats(std::chrono::steady_clock::now(), all);
}

void ServerLog::ExpireRepeats(std::chrono::steady_clock::time_point now, bool all) {
    const auto stillOpen = std::stable_partition(
        repeats_.begin(), repeats_.end(),
        [&](const Repeat& r) { return all || now - r.since >= repeatWindow_; });
    for (auto r = repeats_.begin(); r != stillOpen; ++r) WriteCount(*r);
    repeats_.erase(repeats_.begin(), stillOpen);
}

void ServerLog::WriteCount(const Repeat& repeat) {
    if (repeat.count == 0) return;
    char message[700];
    std::snprintf(message, sizeof message, "%s (%llu more times)", repeat.message.c_str(),
                  static_cast<unsigned long long>(repeat.count));
    WriteLine(repeat.fileName, message, repeat.hasWhere ? repeat.where.c_str() : nullptr,
              repeat.code);
}

bool ServerLog::WriteLine(const std::string& fileName, const char* message, const char* where,
                          int code) {
    const std::string folder = StateFolder();
    if (folder.empty() || !MakeFolders(folder.substr(0, folder.size() - 1))) return false;

    const std::string timestamp = web::LocalTimestampNow();
    char line[1024];
    if (where) {
        std::snprintf(line, sizeof line, "%s - %s.\t[%s]\t[%d]\n", timestamp.c_str(), message,
                      where, code);
    } else {
        std::snprintf(line, sizeof line, "%s - %s.\t[%d]\n", timestamp.c_str(), message, code);
    }
    const std::size_t length = std::strlen(line);

    std::FILE* file = OpenForLine(folder + fileName, length);
    if (!file) return false;
    const std::size_t written = std::fwrite(line, 1, length, file);
    const bool closed = std::fclose(file) == 0;
    return written == length && closed;
}
