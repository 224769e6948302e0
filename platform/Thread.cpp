#include "platform/Thread.h"

#include <csignal>
#include <ctime>
#include <memory>
#include <utility>

namespace {

void* RunBody(void* raw) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(raw));
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    (*body)();
    return nullptr;
}

}  // namespace

Thread::Thread(Thread&& other) noexcept
    : handle_(other.handle_), started_(std::exchange(other.started_, false)) {}

Thread& Thread::operator=(Thread&& other) noexcept {
    if (this != &other) {
        Detach();
        handle_ = other.handle_;
        started_ = std::exchange(other.started_, false);
    }
    return *this;
}

Thread::~Thread() {
    Detach();
}

int Thread::Start(std::function<void()> body) {
    if (started_) return EBUSY;
    auto* owned = new std::function<void()>(std::move(body));
    const int error = pthread_create(&handle_, nullptr, RunBody, owned);
    if (error != 0) {
        delete owned;
        return error;
    }
    started_ = true;
    return 0;
}

bool Thread::Join(std::uint32_t timeoutMs) {
    if (!started_) return true;
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    if (pthread_timedjoin_np(handle_, nullptr, &deadline) != 0) return false;
    started_ = false;
    return true;
}

void Thread::Detach() {
    if (started_) {
        pthread_detach(handle_);
        started_ = false;
    }
}
