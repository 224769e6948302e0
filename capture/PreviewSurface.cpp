#include "capture/PreviewSurface.h"

#include "capture/MediaTypes.h"

namespace capture {

void HeadlessSurface::ShowFrame(const std::uint8_t* bits, int width, int height) {
    const std::size_t length =
        static_cast<std::size_t>(DibStride(width)) * static_cast<std::size_t>(height);
    std::lock_guard lock(mutex_);
    last_.assign(bits, bits + length);  // reuses the vector's capacity
    width_ = width;
    height_ = height;
    ++frames_;
    cleared_ = false;
}

void HeadlessSurface::Clear() {
    std::lock_guard lock(mutex_);
    last_.clear();
    width_ = height_ = 0;
    cleared_ = true;
}

std::uint64_t HeadlessSurface::FrameCount() const {
    std::lock_guard lock(mutex_);
    return frames_;
}

bool HeadlessSurface::Cleared() const {
    std::lock_guard lock(mutex_);
    return cleared_;
}

bool HeadlessSurface::LastFrame(std::vector<std::uint8_t>* bits, int* width, int* height) const {
    std::lock_guard lock(mutex_);
    if (last_.empty()) return false;
    *bits = last_;
    *width = width_;
    *height = height_;
    return true;
}

}  // namespace capture
