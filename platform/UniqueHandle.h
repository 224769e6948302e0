#pragma once
// RAII owners for C handles. One template keyed on the release function serves
// every library: UniqueHandle<AVFrame, FreeFrame>, UniqueHandle<GstCaps,
// gst_caps_unref> and so on. File descriptors have their own small owner.

#include <unistd.h>

#include <memory>
#include <utility>

template <auto Release>
struct ReleaseWith {
    template <typename T>
    void operator()(T* handle) const {
        if (handle) Release(handle);
    }
};

template <typename T, auto Release>
using UniqueHandle = std::unique_ptr<T, ReleaseWith<Release>>;

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~UniqueFd() { Reset(); }

    int Get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() { return std::exchange(fd_, -1); }
    void Reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};
