#include "media/CapLog.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

CapLog g_capLog;

CapLog::~CapLog() {
    Flush();
}

void CapLog::SetFileName(const std::string& name) {
    std::lock_guard lock(mutex_);
    fileName_ = name;
}

std::string CapLog::FileName() const {
    std::lock_guard lock(mutex_);
    return fileName_;
}

void CapLog::Reset(const std::string& name) {
    std::lock_guard lock(mutex_);
    pending_.clear();
    fileName_ = name;
    firstWrite_ = true;
}

void CapLog::WriteItem(const char* text) {
    std::lock_guard lock(mutex_);
    const int n = std::snprintf(scratch_, sizeof scratch_, "%s ", text ? text : "");
    const std::size_t length =
        n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), kLineSize - 1);
    if (pending_.size() + length >= kLineSize) FlushLocked();
    pending_.append(scratch_, length);
}

void CapLog::WriteLineFeed() {
    std::lock_guard lock(mutex_);
    pending_ += '\n';
    FlushLocked();
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d:%03d ", utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<int>(millis));
    pending_ += stamp;
}

void CapLog::Flush() {
    std::lock_guard lock(mutex_);
    FlushLocked();
}

void CapLog::FlushLocked() {
    if (pending_.empty()) return;
    // "wt" on the first write of the process, "at" afterwards.
    const char* mode = firstWrite_ ? "w" : "a";
    firstWrite_ = false;
    if (std::FILE* file = std::fopen(fileName_.c_str(), mode)) {
        std::fwrite(pending_.data(), 1, pending_.size(), file);
        std::fclose(file);
    }
    pending_.clear();
}
