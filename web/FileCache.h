#pragma once
// Small served files kept in memory between requests. An entry is used only
// while one stat of its path finds the very file that was read, unchanged:
// the same inode, size, modification and change times. Any write, chmod,
// link or rename touches the change time, so a file that changed (or became
// another name's target through a new link) is read again. A file that
// changed in the last moments is not kept at all: its times might not yet
// tell the next change apart (they advance by clock ticks).

#include <sys/stat.h>

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class SmallFileCache {
  public:
    using Bytes = std::shared_ptr<const std::string>;

    // settle: how long a file must have stood unchanged before it is kept.
    // At most maxBytes of files are kept, maxFileBytes each.
    explicit SmallFileCache(std::chrono::milliseconds settle = std::chrono::seconds(2),
                            std::size_t maxFileBytes = 64 * 1024,
                            std::size_t maxBytes = 8 * 1024 * 1024);

    // The kept bytes of the file at path when it is still the file that was
    // read; null otherwise. Any thread.
    Bytes Find(const std::string& path) const;

    // Keeps bytes, read from the file at path that info describes (taken
    // before the read, from the descriptor read), unless the file is too
    // large or changed too recently. Any thread.
    void Keep(const std::string& path, const struct stat& info, const std::string& bytes);

  private:
    struct Entry {
        dev_t device;
        ino_t inode;
        off_t size;
        timespec modified;
        timespec changed;
        Bytes bytes;
    };
    static bool SameFile(const Entry& entry, const struct stat& info);

    const std::chrono::milliseconds settle_;
    const std::size_t maxFileBytes_;
    const std::size_t maxBytes_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> entries_;  // under mutex_
    std::size_t bytes_ = 0;                           // under mutex_
};
