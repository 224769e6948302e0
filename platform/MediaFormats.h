#pragma once
// The format blocks that describe a video or audio stream, laid out byte for
// byte as the capture and media runtime layers exchange them: a picture's
// rectangle and bitmap header, the video info header, the wave format.

#include <cstdint>

constexpr std::uint16_t WAVE_FORMAT_PCM = 1;
constexpr std::uint32_t BI_RGB = 0;

struct RECT {
    std::int32_t left, top, right, bottom;
};

struct BITMAPINFOHEADER {
    std::uint32_t biSize;
    std::int32_t biWidth;
    std::int32_t biHeight;
    std::uint16_t biPlanes;
    std::uint16_t biBitCount;
    std::uint32_t biCompression;
    std::uint32_t biSizeImage;
    std::int32_t biXPelsPerMeter;
    std::int32_t biYPelsPerMeter;
    std::uint32_t biClrUsed;
    std::uint32_t biClrImportant;
};
static_assert(sizeof(BITMAPINFOHEADER) == 40);

struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    std::uint32_t dwBitRate;
    std::uint32_t dwBitErrorRate;
    std::int64_t AvgTimePerFrame;  // 100-ns units, 0 = not given
    BITMAPINFOHEADER bmiHeader;
};
static_assert(sizeof(VIDEOINFOHEADER) == 88);

#pragma pack(push, 1)
struct WAVEFORMATEX {
    std::uint16_t wFormatTag;
    std::uint16_t nChannels;
    std::uint32_t nSamplesPerSec;
    std::uint32_t nAvgBytesPerSec;
    std::uint16_t nBlockAlign;
    std::uint16_t wBitsPerSample;
    std::uint16_t cbSize;
};
#pragma pack(pop)
static_assert(sizeof(WAVEFORMATEX) == 18);
