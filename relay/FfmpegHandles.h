#pragma once
// The FFmpeg handle owners the relay publisher uses, and FFmpeg's words for
// an error.

#include <string>

#include "platform/FfmpegHandles.h"

namespace relay {

// FFmpeg's text for an error code.
inline std::string AvErrorText(int error) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(error, text, sizeof text);
    return text;
}

}  // namespace relay
