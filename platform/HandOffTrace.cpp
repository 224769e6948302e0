#include "platform/HandOffTrace.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

namespace handoff {
namespace {

constexpr std::size_t kFlushBytes = 16 * 1024;
constexpr std::int64_t kFlushEveryUs = 250'000;

class Trace {
  public:
    Trace() {
        const char* path = std::getenv("LUMACAST_HANDOFF_TRACE");
        if (!path || !*path) return;
        fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd_ < 0) std::perror(path);
    }
    void Flush() {
        std::lock_guard lock(mutex_);
        FlushLocked();
    }

    bool On() const { return fd_ >= 0; }

    void Add(const char* stage, std::int64_t key, std::int64_t atUs) {
        char line[96];
        const int length = std::snprintf(line, sizeof line, "%s %lld %lld\n", stage,
                                         static_cast<long long>(key), static_cast<long long>(atUs));
        if (length <= 0) return;
        std::lock_guard lock(mutex_);
        pending_.append(line, std::min<std::size_t>(static_cast<std::size_t>(length), sizeof line));
        if (pending_.size() >= kFlushBytes || atUs - flushedUs_ >= kFlushEveryUs) {
            FlushLocked();
            flushedUs_ = atUs;
        }
    }

  private:
    void FlushLocked() {
        std::size_t done = 0;
        while (done < pending_.size()) {
            const ssize_t n = ::write(fd_, pending_.data() + done, pending_.size() - done);
            if (n <= 0) break;  // what cannot be written is let go, not retried
            done += static_cast<std::size_t>(n);
        }
        pending_.clear();
    }

    int fd_ = -1;
    std::mutex mutex_;
    std::string pending_;
    std::int64_t flushedUs_ = 0;
};

// Never destroyed: a thread may still mark while the program exits; what is
// gathered is written then.
Trace& TheTrace() {
    static Trace* const trace = [] {
        auto* made = new Trace;
        if (made->On()) std::atexit([] { TheTrace().Flush(); });
        return made;
    }();
    return *trace;
}

}  // namespace

bool Enabled() {
    static const bool enabled = TheTrace().On();
    return enabled;
}

std::int64_t NowUs() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000 + now.tv_nsec / 1000;
}

void Mark(const char* stage, std::int64_t key) {
    if (Enabled()) TheTrace().Add(stage, key, NowUs());
}

void MarkAt(const char* stage, std::int64_t key, std::int64_t atUs) {
    if (Enabled()) TheTrace().Add(stage, key, atUs);
}

}  // namespace handoff
