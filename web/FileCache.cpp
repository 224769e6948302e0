#include "web/FileCache.h"

#include <ctime>

namespace {

bool SameTime(const timespec& a, const timespec& b) {
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Whether time lies at least settle before now.
bool SettledBefore(const timespec& time, const timespec& now, std::chrono::milliseconds settle) {
    const auto since = std::chrono::seconds(now.tv_sec - time.tv_sec) +
                       std::chrono::nanoseconds(now.tv_nsec - time.tv_nsec);
    return since >= settle;
}

}  // namespace

SmallFileCache::SmallFileCache(std::chrono::milliseconds settle, std::size_t maxFileBytes,
                               std::size_t maxBytes)
    : settle_(settle), maxFileBytes_(maxFileBytes), maxBytes_(maxBytes) {}

bool SmallFileCache::SameFile(const Entry& entry, const struct stat& info) {
    return entry.device == info.st_dev && entry.inode == info.st_ino &&
           entry.size == info.st_size && SameTime(entry.modified, info.st_mtim) &&
           SameTime(entry.changed, info.st_ctim);
}

SmallFileCache::Bytes SmallFileCache::Find(const std::string& path) const {
    {
        std::lock_guard lock(mutex_);
        if (entries_.find(path) == entries_.end()) return nullptr;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) return nullptr;
    std::lock_guard lock(mutex_);
    const auto entry = entries_.find(path);
    if (entry == entries_.end() || !SameFile(entry->second, info)) return nullptr;
    return entry->second.bytes;
}

void SmallFileCache::Keep(const std::string& path, const struct stat& info,
                          const std::string& bytes) {
    if (bytes.size() > maxFileBytes_ || bytes.size() > maxBytes_ ||
        static_cast<off_t>(bytes.size()) != info.st_size) {
        return;
    }
    // Taken after the read: a change during the read shows in the times.
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    if (!SettledBefore(info.st_mtim, now, settle_) || !SettledBefore(info.st_ctim, now, settle_))
        return;
    Entry entry{info.st_dev,  info.st_ino,  info.st_size,
                info.st_mtim, info.st_ctim, std::make_shared<const std::string>(bytes)};
    std::lock_guard lock(mutex_);
    if (const auto old = entries_.find(path); old != entries_.end()) {
        bytes_ -= old->second.bytes->size();
        entries_.erase(old);
    }
    // Full: what is kept makes room, any of it (the pages of a broadcast
    // are few; this only bounds what a crawler can make the server hold).
    while (bytes_ + bytes.size() > maxBytes_ && !entries_.empty()) {
        bytes_ -= entries_.begin()->second.bytes->size();
        entries_.erase(entries_.begin());
    }
    bytes_ += bytes.size();
    entries_.emplace(path, std::move(entry));
}
