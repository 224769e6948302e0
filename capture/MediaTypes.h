#pragma once
// Media types of the capture layer: the format blocks that callers read and
// write byte for byte (WAVEFORMATEX, BITMAPINFOHEADER, VIDEOINFOHEADER) and a
// small media-type record that stands for a negotiated GStreamer format.

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MediaFormats.h"
#include "platform/hresult.h"

namespace capture {

// Results of the capture services beyond the common ones.
constexpr HRESULT VFW_S_NOPREVIEWPIN = 0x0004027E;
constexpr HRESULT VFW_S_NO_MORE_ITEMS = 0x00040103;
constexpr HRESULT VFW_E_NOT_CONNECTED = static_cast<HRESULT>(0x80040209u);
constexpr HRESULT VFW_E_CANNOT_CONNECT = static_cast<HRESULT>(0x80040217u);

enum class MajorType { None, Video, Audio, Interleaved, Stream };
enum class SubType { None, RGB24, YUY2, I420, NV12, MJPG, PCM, WAVE, Other };
enum class FormatType { None, VideoInfo, WaveFormatEx, DvInfo };
enum class PinCategory { Capture, Preview };
enum class PinDirection { Input, Output };

// One media type. The format block is raw bytes (a WAVEFORMATEX or a
// VIDEOINFOHEADER); `caps` is the GStreamer form it was read from or is
// applied as (empty when the type only describes a pin's kind).
struct MediaType {
    MajorType majortype = MajorType::None;
    SubType subtype = SubType::None;
    FormatType formattype = FormatType::None;
    std::vector<std::uint8_t> format;
    std::string caps;

    const std::uint8_t* pbFormat() const { return format.empty() ? nullptr : format.data(); }
    std::uint32_t cbFormat() const { return static_cast<std::uint32_t>(format.size()); }
    const WAVEFORMATEX* Wave() const;
    const VIDEOINFOHEADER* VideoInfo() const;
};

// Bytes in one row of a 24-bit DIB: three per pixel, padded to 4.
constexpr int DibStride(int width) {
    return (width * 3 + 3) & ~3;
}

// Conversions between GStreamer caps and media types. MediaTypeFromCaps reads
// the first structure; unfixed fields are left 0 in the format block.
MediaType MediaTypeFromCaps(const GstCaps* caps);
MediaType MediaTypeFromStructure(const GstStructure* structure);
MediaType AudioMediaType(const WAVEFORMATEX& wave);
MediaType VideoMediaType(SubType subtype, int width, int height, int fpsNum, int fpsDen);
// The caps that apply a media type to a device; null for a type without a
// usable format block.
GstCaps* CapsFromMediaType(const MediaType& type);

// Starts GStreamer once per process; false if it cannot start.
bool EnsureGstreamer();

}  // namespace capture
