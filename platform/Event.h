#pragma once
// A kernel-style event for threads of one process: manual-reset events stay
// signalled until Reset; auto-reset events release one waiter and clear.

#include <condition_variable>
#include <cstdint>
#include <mutex>

class Event {
  public:
    enum class Kind { ManualReset, AutoReset };

    explicit Event(Kind kind, bool initiallySignalled = false)
        : kind_(kind), signalled_(initiallySignalled) {}
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void Set();
    void Reset();
    // Waits until the event is signalled or timeoutMs passes; kInfinite waits
    // without a limit. Returns true when the event was signalled.
    bool Wait(std::uint32_t timeoutMs);
    bool IsSet() const;

    static constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

  private:
    const Kind kind_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool signalled_;
};
