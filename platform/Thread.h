#pragma once
// A joinable thread whose end can be awaited with a time limit, as the server
// engines need. Threads started here never die of SIGPIPE: a write to a closed
// socket reports EPIPE instead.

#include <pthread.h>

#include <cstdint>
#include <functional>

class Thread {
  public:
    Thread() = default;
    Thread(Thread&& other) noexcept;
    Thread& operator=(Thread&& other) noexcept;
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;
    // A thread still running when its owner goes is detached, never killed.
    ~Thread();

    // Starts body on a new thread. Returns 0 or the error number of the failure.
    int Start(std::function<void()> body);
    // Waits up to timeoutMs for the thread to end and reaps it; true when it did.
    bool Join(std::uint32_t timeoutMs);
    // Lets a thread that will not end go on alone.
    void Detach();
    bool Joinable() const { return started_; }

  private:
    pthread_t handle_{};
    bool started_ = false;
};
