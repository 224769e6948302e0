#pragma once
// A captured picture as the writer takes it: 24-bit BGR, rows bottom-up,
// each row padded to four bytes or not.

#include <cstddef>
#include <cstdint>

#include "platform/FfmpegHandles.h"

namespace codec {

// The bytes a picture has at least (rows not padded) and at most (padded).
std::size_t UnpaddedPictureBytes(int width, int height);
std::size_t PaddedPictureBytes(int width, int height);

// The row stride of a picture of length bytes: padded rows when it is long
// enough for them, else packed ones; 0 when it is not a whole picture.
int PictureStride(int width, int height, std::size_t length);

// Converts the picture into frame (whose format and size are those the
// scaler was made for), top row first. False, and frame untouched, when the
// bytes are not a whole picture.
bool ScaleBottomUp(SwsContext* scaler, const std::uint8_t* bgr, std::size_t length, int width,
                   int height, AVFrame* frame);

}  // namespace codec
