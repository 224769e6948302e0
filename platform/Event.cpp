#include "platform/Event.h"

#include <chrono>

void Event::Set() {
    {
        std::lock_guard lock(mutex_);
        signalled_ = true;
    }
    if (kind_ == Kind::ManualReset) {
        changed_.notify_all();
    } else {
        changed_.notify_one();
    }
}

void Event::Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
}

bool Event::Wait(std::uint32_t timeoutMs) {
    std::unique_lock lock(mutex_);
    const auto isSignalled = [this] { return signalled_; };
    if (timeoutMs == kInfinite) {
        changed_.wait(lock, isSignalled);
    } else if (!changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), isSignalled)) {
        return false;
    }
    if (kind_ == Kind::AutoReset) signalled_ = false;
    return true;
}

bool Event::IsSet() const {
    std::lock_guard lock(mutex_);
    return signalled_;
}
