#include "capture/MediaTypes.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <cstring>
#include <mutex>

namespace capture {

namespace {

std::uint32_t FourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(a) | (static_cast<std::uint32_t>(b) << 8) |
           (static_cast<std::uint32_t>(c) << 16) | (static_cast<std::uint32_t>(d) << 24);
}

struct VideoFormatName {
    SubType subtype;
    const char* gstFormat;  // null for image/jpeg
    std::uint16_t bits;
    std::uint32_t compression;
};

const VideoFormatName kVideoFormats[] = {
    {SubType::RGB24, "BGR", 24, BI_RGB},
    {SubType::YUY2, "YUY2", 16, FourCC('Y', 'U', 'Y', '2')},
    {SubType::I420, "I420", 12, FourCC('I', '4', '2', '0')},
    {SubType::NV12, "NV12", 12, FourCC('N', 'V', '1', '2')},
    {SubType::MJPG, nullptr, 24, FourCC('M', 'J', 'P', 'G')},
};

const VideoFormatName* FindVideoFormat(SubType subtype) {
    for (const auto& f : kVideoFormats)
        if (f.subtype == subtype) return &f;
    return nullptr;
}

std::uint32_t ImageSize(SubType subtype, int width, int height) {
    switch (subtype) {
        case SubType::RGB24:
            return static_cast<std::uint32_t>(DibStride(width) * height);
        case SubType::YUY2:
            return static_cast<std::uint32_t>(width * 2 * height);
        case SubType::I420:
        case SubType::NV12:
            return static_cast<std::uint32_t>(width * height * 3 / 2);
        default:
            return 0;
    }
}

int IntField(const GstStructure* s, const char* name) {
    int value = 0;
    return gst_structure_get_int(s, name, &value) ? value : 0;
}

}  // namespace

const WAVEFORMATEX* MediaType::Wave() const {
    if (formattype != FormatType::WaveFormatEx || format.size() < sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(format.data());
}

const VIDEOINFOHEADER* MediaType::VideoInfo() const {
    if (formattype != FormatType::VideoInfo || format.size() < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(format.data());
}

MediaType AudioMediaType(const WAVEFORMATEX& wave) {
    MediaType type;
    type.majortype = MajorType::Audio;
    type.subtype = SubType::PCM;
    type.formattype = FormatType::WaveFormatEx;
    type.format.resize(sizeof(WAVEFORMATEX));
    std::memcpy(type.format.data(), &wave, sizeof wave);
    return type;
}

MediaType VideoMediaType(SubType subtype, int width, int height, int fpsNum, int fpsDen) {
    MediaType type;
    type.majortype = MajorType::Video;
    type.subtype = subtype;
    type.formattype = FormatType::VideoInfo;
    VIDEOINFOHEADER vih{};
    vih.rcSource = vih.rcTarget = RECT{0, 0, width, height};
    if (fpsNum > 0 && fpsDen > 0)
        vih.AvgTimePerFrame = static_cast<std::int64_t>(10000000LL * fpsDen / fpsNum);
    auto& bmi = vih.bmiHeader;
    bmi.biSize = sizeof(BITMAPINFOHEADER);
    bmi.biWidth = width;
    bmi.biHeight = height;
    bmi.biPlanes = 1;
    if (const auto* f = FindVideoFormat(subtype)) {
        bmi.biBitCount = f->bits;
        bmi.biCompression = f->compression;
    }
    bmi.biSizeImage = ImageSize(subtype, width, height);
    vih.dwBitRate = static_cast<std::uint32_t>(
        vih.AvgTimePerFrame > 0 ? bmi.biSizeImage * 8ULL * 10000000ULL / vih.AvgTimePerFrame : 0);
    type.format.resize(sizeof vih);
    std::memcpy(type.format.data(), &vih, sizeof vih);
    return type;
}

MediaType MediaTypeFromStructure(const GstStructure* s) {
    MediaType type;
    if (!s) return type;
    const char* name = gst_structure_get_name(s);
    if (std::strcmp(name, "audio/x-raw") == 0) {
        WAVEFORMATEX wave{};
        wave.wFormatTag = WAVE_FORMAT_PCM;
        wave.nChannels = static_cast<std::uint16_t>(IntField(s, "channels"));
        wave.nSamplesPerSec = static_cast<std::uint32_t>(IntField(s, "rate"));
        const char* fmt = gst_structure_get_string(s, "format");
        if (fmt) {
            const GstAudioFormatInfo* info =
                gst_audio_format_get_info(gst_audio_format_from_string(fmt));
            if (info && GST_AUDIO_FORMAT_INFO_FORMAT(info) != GST_AUDIO_FORMAT_UNKNOWN)
                wave.wBitsPerSample = static_cast<std::uint16_t>(GST_AUDIO_FORMAT_INFO_WIDTH(info));
        }
        wave.nBlockAlign = static_cast<std::uint16_t>(wave.nChannels * wave.wBitsPerSample / 8);
        wave.nAvgBytesPerSec = wave.nBlockAlign * wave.nSamplesPerSec;
        type = AudioMediaType(wave);
    } else if (std::strcmp(name, "video/x-raw") == 0 || std::strcmp(name, "image/jpeg") == 0) {
        SubType subtype = SubType::Other;
        if (name[0] == 'i') {
            subtype = SubType::MJPG;
        } else if (const char* fmt = gst_structure_get_string(s, "format")) {
            for (const auto& f : kVideoFormats)
                if (f.gstFormat && std::strcmp(f.gstFormat, fmt) == 0) subtype = f.subtype;
        }
        int num = 0, den = 1;
        if (!gst_structure_get_fraction(s, "framerate", &num, &den)) num = 0;
        type = VideoMediaType(subtype, IntField(s, "width"), IntField(s, "height"), num, den);
    } else if (std::strcmp(name, "video/x-lumacast-dib") == 0) {
        int num = 0, den = 1;
        if (!gst_structure_get_fraction(s, "framerate", &num, &den)) num = 0;
        type =
            VideoMediaType(SubType::RGB24, IntField(s, "width"), IntField(s, "height"), num, den);
    } else {
        type.majortype = std::strncmp(name, "video/", 6) == 0   ? MajorType::Video
                         : std::strncmp(name, "audio/", 6) == 0 ? MajorType::Audio
                                                                : MajorType::Stream;
        type.subtype = SubType::Other;
    }
    GstCaps* caps = gst_caps_new_full(gst_structure_copy(s), nullptr);
    gchar* text = gst_caps_to_string(caps);
    type.caps = text;
    g_free(text);
    gst_caps_unref(caps);
    return type;
}

MediaType MediaTypeFromCaps(const GstCaps* caps) {
    if (!caps || gst_caps_is_empty(caps) || gst_caps_is_any(caps)) return {};
    return MediaTypeFromStructure(gst_caps_get_structure(caps, 0));
}

GstCaps* CapsFromMediaType(const MediaType& type) {
    if (const WAVEFORMATEX* wave = type.Wave()) {
        if (wave->wFormatTag != WAVE_FORMAT_PCM || wave->nChannels < 1 || wave->nChannels > 8 ||
            wave->nSamplesPerSec == 0)
            return nullptr;
        const char* fmt = wave->wBitsPerSample == 8    ? "U8"
                          : wave->wBitsPerSample == 16 ? "S16LE"
                                                       : nullptr;
        if (!fmt) return nullptr;
        GstCaps* caps = gst_caps_new_simple("audio/x-raw", "format", G_TYPE_STRING, fmt, "layout",
                                            G_TYPE_STRING, "interleaved", "rate", G_TYPE_INT,
                                            static_cast<int>(wave->nSamplesPerSec), "channels",
                                            G_TYPE_INT, static_cast<int>(wave->nChannels), nullptr);
        if (wave->nChannels == 2)
            gst_caps_set_simple(caps, "channel-mask", GST_TYPE_BITMASK, static_cast<guint64>(0x3),
                                nullptr);
        return caps;
    }
    if (const VIDEOINFOHEADER* vih = type.VideoInfo()) {
        const int width = vih->bmiHeader.biWidth;
        const int height =
            vih->bmiHeader.biHeight < 0 ? -vih->bmiHeader.biHeight : vih->bmiHeader.biHeight;
        if (width <= 0 || height <= 0 || width > 16384 || height > 16384) return nullptr;
        const VideoFormatName* f = FindVideoFormat(type.subtype);
        GstCaps* caps = nullptr;
        if (f && f->gstFormat) {
            caps =
                gst_caps_new_simple("video/x-raw", "format", G_TYPE_STRING, f->gstFormat, nullptr);
        } else if (f) {
            caps = gst_caps_new_empty_simple("image/jpeg");
        } else if (!type.caps.empty()) {
            GstCaps* parsed = gst_caps_from_string(type.caps.c_str());
            if (!parsed || gst_caps_is_empty(parsed)) {
                if (parsed) gst_caps_unref(parsed);
                return nullptr;
            }
            caps =
                gst_caps_new_full(gst_structure_copy(gst_caps_get_structure(parsed, 0)), nullptr);
            gst_caps_unref(parsed);
        } else {
            return nullptr;
        }
        gst_caps_set_simple(caps, "width", G_TYPE_INT, width, "height", G_TYPE_INT, height,
                            nullptr);
        if (vih->AvgTimePerFrame > 0) {
            // Keep the exact rate the type was read with when the frame time
            // still matches it; 100 ns units cannot hold 30000/1001 exactly.
            int num = 0, den = 1;
            bool exact = false;
            if (!type.caps.empty()) {
                if (GstCaps* parsed = gst_caps_from_string(type.caps.c_str())) {
                    if (!gst_caps_is_empty(parsed) &&
                        gst_structure_get_fraction(gst_caps_get_structure(parsed, 0), "framerate",
                                                   &num, &den) &&
                        num > 0 && 10000000LL * den / num == vih->AvgTimePerFrame)
                        exact = true;
                    gst_caps_unref(parsed);
                }
            }
            if (!exact)
                gst_util_double_to_fraction(1e7 / static_cast<double>(vih->AvgTimePerFrame), &num,
                                            &den);
            gst_caps_set_simple(caps, "framerate", GST_TYPE_FRACTION, num, den, nullptr);
        }
        return caps;
    }
    return nullptr;
}

bool EnsureGstreamer() {
    static std::once_flag once;
    static bool ok = false;
    std::call_once(once, [] {
        GError* error = nullptr;
        ok = gst_init_check(nullptr, nullptr, &error);
        if (error) g_error_free(error);
    });
    return ok;
}

}  // namespace capture
