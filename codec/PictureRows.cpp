#include "codec/PictureRows.h"

namespace codec {

std::size_t UnpaddedPictureBytes(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    return static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(height);
}

std::size_t PaddedPictureBytes(int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    return ((static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3}) *
           static_cast<std::size_t>(height);
}

int PictureStride(int width, int height, std::size_t length) {
    if (width <= 0 || height <= 0) return 0;
    if (length >= PaddedPictureBytes(width, height)) return (width * 3 + 3) & ~3;
    if (length >= UnpaddedPictureBytes(width, height)) return width * 3;
    return 0;
}

bool ScaleBottomUp(SwsContext* scaler, const std::uint8_t* bgr, std::size_t length, int width,
                   int height, AVFrame* frame) {
    const int stride = PictureStride(width, height, length);
    if (stride == 0 || !bgr) return false;
    // Start at the last row and walk backwards.
    const std::uint8_t* source[4] = {bgr + static_cast<std::size_t>(stride) * (height - 1), nullptr,
                                     nullptr, nullptr};
    const int sourceStride[4] = {-stride, 0, 0, 0};
    sws_scale(scaler, source, sourceStride, 0, height, frame->data, frame->linesize);
    return true;
}

}  // namespace codec
