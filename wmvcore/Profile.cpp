// Profiles, stream configurations and the codec lists.

#include <algorithm>
#include <cstring>
#include <mutex>

#include "wmvcore/Internal.h"

namespace wmv {

bool operator==(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

GUID SubtypeFromTag(std::uint32_t tag) {
    return GUID{tag, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}

const GUID WMMEDIATYPE_Video{
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};  // 'vids'
const GUID WMMEDIATYPE_Audio{
    0x73647561, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};  // 'auds'
const GUID FORMAT_VideoInfo{
    0x05589f80, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};
const GUID FORMAT_WaveFormatEx{
    0x05589f81, 0xc356, 0x11ce, {0xbf, 0x01, 0x00, 0xaa, 0x00, 0x55, 0x59, 0x5a}};

HRESULT IUnknownLike::QueryInterface(Iid iid, void** out) {
    if (!out) return E_POINTER;
    void* found = Find(iid);
    *out = found;
    if (!found) return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

const VIDEOINFOHEADER* MediaType::VideoInfo() const {
    if (header.formattype != FORMAT_VideoInfo || format.size() < sizeof(VIDEOINFOHEADER))
        return nullptr;
    return reinterpret_cast<const VIDEOINFOHEADER*>(format.data());
}

const WAVEFORMATEX* MediaType::Wave() const {
    if (header.formattype != FORMAT_WaveFormatEx || format.size() < sizeof(WAVEFORMATEX))
        return nullptr;
    return reinterpret_cast<const WAVEFORMATEX*>(format.data());
}

namespace {

constexpr std::uint32_t FourCc(char a, char b, char c, char d) {
    return std::uint32_t(std::uint8_t(a)) | std::uint32_t(std::uint8_t(b)) << 8 |
           std::uint32_t(std::uint8_t(c)) << 16 | std::uint32_t(std::uint8_t(d)) << 24;
}

// The one format of a video codec: 320x240 at 15 frames per second; the
// caller edits size, rate and bit rate in the VIDEOINFOHEADER.
MediaType VideoFormat(std::uint32_t fourcc) {
    MediaType type;
    type.header.majortype = WMMEDIATYPE_Video;
    type.header.subtype = SubtypeFromTag(fourcc);
    type.header.bFixedSizeSamples = 0;
    type.header.bTemporalCompression = 1;
    type.header.lSampleSize = 0;
    type.header.formattype = FORMAT_VideoInfo;
    VIDEOINFOHEADER info{};
    info.rcSource = {0, 0, 320, 240};
    info.rcTarget = {0, 0, 320, 240};
    info.dwBitRate = 300000;
    info.AvgTimePerFrame = 10000000 / 15;
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = 320;
    info.bmiHeader.biHeight = 240;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = fourcc;
    type.format.resize(sizeof(info));
    std::memcpy(type.format.data(), &info, sizeof(info));
    return type;
}

// Opens the audio encoder with the format; false when it refuses. The block
// alignment it chooses is written back.
bool AudioEncoderAccepts(AVCodecID id, int rate, int channels, int bitsPerSecond, int* blockAlign) {
    const AVCodec* codec = avcodec_find_encoder(id);
    if (!codec) return false;
    CodecContextPtr context(avcodec_alloc_context3(codec));
    if (!context) return false;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    context->sample_rate = rate;
    av_channel_layout_default(&context->ch_layout, channels);
    context->bit_rate = bitsPerSecond;
    if (avcodec_open2(context.get(), codec, nullptr) < 0) return false;
    *blockAlign = context->block_align;
    return context->block_align > 0 && context->frame_size > 0;
}

struct AudioCandidate {
    int rate;
    int channels;
    std::vector<int> kbps;
};

// The usual rates, stereo before mono, higher bit rates first. The WMA
// encoders take nothing below 24 kbit/s; the list is checked against the
// encoder when it is first built, so only accepted formats remain.
const std::vector<AudioCandidate>& AudioCandidates() {
    static const std::vector<AudioCandidate> candidates = {
        {44100, 2, {128, 96, 64, 48}},
        {44100, 1, {64, 48, 32}},
        {48000, 2, {192, 160, 128, 96, 64}},
        {48000, 1, {96, 64, 48}},
        {32000, 2, {64, 48, 40}},
        {32000, 1, {48, 32, 24}},
        {22050, 2, {48, 32, 24}},
        {22050, 1, {32, 24}},
        {16000, 2, {32, 24}},
        {16000, 1, {32, 24}},
        {11025, 2, {32, 24}},
        {11025, 1, {24}},
        {8000, 2, {32, 24}},
        {8000, 1, {24}},
    };
    return candidates;
}

std::vector<MediaType> AudioFormats(AVCodecID id, std::uint16_t tag) {
    std::vector<MediaType> formats;
    for (const AudioCandidate& candidate : AudioCandidates()) {
        for (int kbps : candidate.kbps) {
            int blockAlign = 0;
            if (!AudioEncoderAccepts(id, candidate.rate, candidate.channels, kbps * 1000,
                                     &blockAlign))
                continue;
            MediaType type;
            type.header.majortype = WMMEDIATYPE_Audio;
            type.header.subtype = SubtypeFromTag(tag);
            type.header.bFixedSizeSamples = 1;
            type.header.bTemporalCompression = 0;
            type.header.lSampleSize = static_cast<std::uint32_t>(blockAlign);
            type.header.formattype = FORMAT_WaveFormatEx;
            // WMA carries codec data behind the record: 4 bytes for v1, 10 for v2.
            const std::uint16_t extra = tag == WAVE_FORMAT_WMAUDIO2 ? 10 : 4;
            WAVEFORMATEX wave{};
            wave.wFormatTag = tag;
            wave.nChannels = static_cast<std::uint16_t>(candidate.channels);
            wave.nSamplesPerSec = static_cast<std::uint32_t>(candidate.rate);
            wave.nAvgBytesPerSec = static_cast<std::uint32_t>(kbps * 1000 / 8);
            wave.nBlockAlign = static_cast<std::uint16_t>(blockAlign);
            wave.wBitsPerSample = 16;
            wave.cbSize = extra;
            type.format.assign(sizeof(wave) + extra, 0);
            std::memcpy(type.format.data(), &wave, sizeof(wave));
            formats.push_back(std::move(type));
        }
    }
    return formats;
}

bool WideCopy(const std::wstring& text, wchar_t* out, std::uint32_t* length, HRESULT* result) {
    const std::uint32_t needed = static_cast<std::uint32_t>(text.size() + 1);
    if (!length) {
        *result = E_POINTER;
        return false;
    }
    if (!out) {
        *length = needed;
        *result = S_OK;
        return false;
    }
    if (*length < needed) {
        *length = needed;
        *result = ASF_E_BUFFERTOOSMALL;
        return false;
    }
    std::copy(text.begin(), text.end(), out);
    out[text.size()] = L'\0';
    *length = needed;
    *result = S_OK;
    return true;
}

HRESULT WideCopy16(const std::wstring& text, wchar_t* out, std::uint16_t* length) {
    if (!length) return E_POINTER;
    std::uint32_t wide = *length;
    HRESULT result = S_OK;
    WideCopy(text, out, &wide, &result);
    *length = static_cast<std::uint16_t>(std::min<std::uint32_t>(wide, 0xFFFF));
    return result;
}

}  // namespace

const std::vector<CodecDesc>& VideoCodecs() {
    static const std::vector<CodecDesc> codecs = [] {
        std::vector<CodecDesc> list;
        const struct {
            const wchar_t* name;
            AVCodecID id;
            std::uint32_t fourcc;
        } table[] = {
            {L"Windows Media Video 8", AV_CODEC_ID_WMV2, FourCc('W', 'M', 'V', '2')},
            {L"Windows Media Video 7", AV_CODEC_ID_WMV1, FourCc('W', 'M', 'V', '1')},
            {L"MPEG-4 Video Microsoft Variant Version 3", AV_CODEC_ID_MSMPEG4V3,
             FourCc('M', 'P', '4', '3')},
        };
        for (const auto& entry : table) {
            if (!avcodec_find_encoder(entry.id)) continue;
            list.push_back(
                CodecDesc{entry.name, entry.id, entry.fourcc, {VideoFormat(entry.fourcc)}});
        }
        return list;
    }();
    return codecs;
}

const std::vector<CodecDesc>& AudioCodecs() {
    static const std::vector<CodecDesc> codecs = [] {
        std::vector<CodecDesc> list;
        const struct {
            const wchar_t* name;
            AVCodecID id;
            std::uint16_t tag;
        } table[] = {
            {L"Windows Media Audio 2", AV_CODEC_ID_WMAV2, WAVE_FORMAT_WMAUDIO2},
            {L"Windows Media Audio 1", AV_CODEC_ID_WMAV1, WAVE_FORMAT_WMAUDIO1},
        };
        // Refused trial formats are expected: keep FFmpeg quiet meanwhile.
        const int level = av_log_get_level();
        av_log_set_level(AV_LOG_FATAL);
        for (const auto& entry : table) {
            std::vector<MediaType> formats = AudioFormats(entry.id, entry.tag);
            if (formats.empty()) continue;
            list.push_back(CodecDesc{entry.name, entry.id, entry.tag, std::move(formats)});
        }
        av_log_set_level(level);
        return list;
    }();
    return codecs;
}

const CodecDesc* FindCodec(const MediaType& type) {
    const bool video = type.header.majortype == WMMEDIATYPE_Video;
    for (const CodecDesc& codec : video ? VideoCodecs() : AudioCodecs()) {
        if (SubtypeFromTag(codec.tag) == type.header.subtype) return &codec;
    }
    return nullptr;
}

// ---- StreamConfig

void* StreamConfig::Find(Iid iid) {
    switch (iid) {
        case Iid::IWMStreamConfig:
            return static_cast<IWMStreamConfig*>(this);
        case Iid::IWMMediaProps:
            return static_cast<IWMMediaProps*>(this);
        case Iid::IWMVideoMediaProps:
            return IsVideo() ? static_cast<IWMVideoMediaProps*>(this) : nullptr;
        default:
            return nullptr;
    }
}

HRESULT StreamConfig::GetStreamType(GUID* type) {
    if (!type) return E_POINTER;
    *type = data_.streamType;
    return S_OK;
}

HRESULT StreamConfig::GetStreamNumber(std::uint16_t* number) {
    if (!number) return E_POINTER;
    *number = data_.number;
    return S_OK;
}

HRESULT StreamConfig::SetStreamNumber(std::uint16_t number) {
    if (number < 1 || number > 63) return E_INVALIDARG;
    data_.number = number;
    return S_OK;
}

HRESULT StreamConfig::GetStreamName(wchar_t* name, std::uint16_t* length) {
    return WideCopy16(data_.name, name, length);
}

HRESULT StreamConfig::SetStreamName(const wchar_t* name) {
    if (!name) return E_POINTER;
    data_.name = name;
    return S_OK;
}

HRESULT StreamConfig::GetConnectionName(wchar_t* name, std::uint16_t* length) {
    return WideCopy16(data_.connection, name, length);
}

HRESULT StreamConfig::SetConnectionName(const wchar_t* name) {
    if (!name) return E_POINTER;
    data_.connection = name;
    return S_OK;
}

HRESULT StreamConfig::GetBitrate(std::uint32_t* bitrate) {
    if (!bitrate) return E_POINTER;
    *bitrate = data_.bitrate;
    return S_OK;
}

HRESULT StreamConfig::SetBitrate(std::uint32_t bitrate) {
    data_.bitrate = bitrate;
    return S_OK;
}

HRESULT StreamConfig::GetBufferWindow(std::uint32_t* ms) {
    if (!ms) return E_POINTER;
    *ms = data_.bufferWindow;
    return S_OK;
}

HRESULT StreamConfig::SetBufferWindow(std::uint32_t ms) {
    data_.bufferWindow = ms;
    return S_OK;
}

HRESULT StreamConfig::GetType(GUID* type) {
    return GetStreamType(type);
}

HRESULT StreamConfig::GetMediaType(WM_MEDIA_TYPE* type, std::uint32_t* size) {
    if (!size) return E_POINTER;
    const std::uint32_t needed =
        static_cast<std::uint32_t>(sizeof(WM_MEDIA_TYPE) + data_.mediaType.format.size());
    if (!type) {
        *size = needed;
        return S_OK;
    }
    if (*size < needed) {
        *size = needed;
        return ASF_E_BUFFERTOOSMALL;
    }
    *type = data_.mediaType.header;
    type->pUnk = nullptr;
    type->cbFormat = static_cast<std::uint32_t>(data_.mediaType.format.size());
    type->pbFormat = type->cbFormat ? reinterpret_cast<std::uint8_t*>(type + 1) : nullptr;
    if (type->cbFormat) std::memcpy(type->pbFormat, data_.mediaType.format.data(), type->cbFormat);
    *size = needed;
    return S_OK;
}

HRESULT StreamConfig::SetMediaType(const WM_MEDIA_TYPE* type) {
    if (!type) return E_POINTER;
    if (type->majortype != data_.streamType) return E_INVALIDARG;
    if (type->cbFormat && !type->pbFormat) return E_INVALIDARG;
    data_.mediaType.header = *type;
    data_.mediaType.header.pUnk = nullptr;
    data_.mediaType.header.pbFormat = nullptr;
    data_.mediaType.format.assign(type->pbFormat, type->pbFormat + type->cbFormat);
    return S_OK;
}

HRESULT StreamConfig::GetMaxKeyFrameSpacing(std::int64_t* spacing) {
    if (!spacing) return E_POINTER;
    *spacing = data_.maxKeyFrameSpacing;
    return S_OK;
}

HRESULT StreamConfig::SetMaxKeyFrameSpacing(std::int64_t spacing) {
    if (spacing < 0) return E_INVALIDARG;
    data_.maxKeyFrameSpacing = spacing;
    return S_OK;
}

HRESULT StreamConfig::GetQuality(std::uint32_t* quality) {
    if (!quality) return E_POINTER;
    *quality = data_.quality;
    return S_OK;
}

HRESULT StreamConfig::SetQuality(std::uint32_t quality) {
    if (quality > 100) return E_INVALIDARG;
    data_.quality = quality;
    return S_OK;
}

// ---- Profile

class Profile final : public IWMProfile {
  public:
    explicit Profile(WMT_VERSION version) : version_(version) {}

    HRESULT GetVersion(WMT_VERSION* version) override {
        if (!version) return E_POINTER;
        *version = version_;
        return S_OK;
    }
    HRESULT GetStreamCount(std::uint32_t* count) override {
        if (!count) return E_POINTER;
        std::lock_guard lock(mutex_);
        *count = static_cast<std::uint32_t>(streams_.size());
        return S_OK;
    }
    HRESULT GetStream(std::uint32_t index, IWMStreamConfig** config) override {
        if (!config) return E_POINTER;
        std::lock_guard lock(mutex_);
        if (index >= streams_.size()) return E_INVALIDARG;
        *config = new StreamConfig(streams_[index]);
        return S_OK;
    }
    HRESULT CreateNewStream(const GUID& type, IWMStreamConfig** config) override {
        if (!config) return E_POINTER;
        *config = nullptr;
        if (type != WMMEDIATYPE_Video && type != WMMEDIATYPE_Audio) return E_INVALIDARG;
        std::lock_guard lock(mutex_);
        // Numbers handed out but not yet added stay reserved, so two new
        // streams never share one.
        std::uint16_t number = 1;
        while (number <= 63 && Used(number)) ++number;
        if (number > 63) return NS_E_INVALID_STREAM;
        reserved_.push_back(number);
        StreamData data;
        data.streamType = type;
        data.number = number;
        data.mediaType.header.majortype = type;
        *config = new StreamConfig(std::move(data));
        return S_OK;
    }
    HRESULT AddStream(IWMStreamConfig* config) override {
        if (!config) return E_POINTER;
        RefPtr<IWMStreamConfig> hold(config);
        auto* own = dynamic_cast<StreamConfig*>(config);
        if (!own) return E_INVALIDARG;
        const StreamData& data = own->Data();
        if (data.number < 1 || data.number > 63) return NS_E_INVALID_STREAM;
        if (data.mediaType.header.majortype != data.streamType) return NS_E_INVALID_STREAM;
        std::lock_guard lock(mutex_);
        for (const StreamData& stream : streams_) {
            if (stream.number == data.number) return NS_E_INVALID_STREAM;
        }
        streams_.push_back(data);
        std::erase(reserved_, data.number);
        return S_OK;
    }

    std::vector<StreamData> Streams() {
        std::lock_guard lock(mutex_);
        return streams_;
    }

  protected:
    void* Find(Iid) override { return nullptr; }

  private:
    bool Used(std::uint16_t number) const {
        for (const StreamData& stream : streams_) {
            if (stream.number == number) return true;
        }
        return std::find(reserved_.begin(), reserved_.end(), number) != reserved_.end();
    }

    const WMT_VERSION version_;
    std::mutex mutex_;
    std::vector<StreamData> streams_;
    std::vector<std::uint16_t> reserved_;
};

std::vector<StreamData> ProfileStreams(IWMProfile* profile) {
    auto* own = dynamic_cast<Profile*>(profile);
    return own ? own->Streams() : std::vector<StreamData>{};
}

// ---- Profile manager with the codec lists

namespace {

class ProfileManager final : public IWMProfileManager, public IWMCodecInfo2 {
  public:
    HRESULT CreateEmptyProfile(WMT_VERSION version, IWMProfile** profile) override {
        if (!profile) return E_POINTER;
        *profile = nullptr;
        if (version != WMT_VER_4_0 && version != WMT_VER_7_0 && version != WMT_VER_8_0 &&
            version != WMT_VER_9_0)
            return E_INVALIDARG;
        *profile = new Profile(version);
        return S_OK;
    }

    HRESULT GetCodecInfoCount(const GUID& type, std::uint32_t* count) override {
        if (!count) return E_POINTER;
        const std::vector<CodecDesc>* list = List(type);
        if (!list) return E_INVALIDARG;
        *count = static_cast<std::uint32_t>(list->size());
        return S_OK;
    }
    HRESULT GetCodecFormatCount(const GUID& type, std::uint32_t codec,
                                std::uint32_t* count) override {
        if (!count) return E_POINTER;
        const CodecDesc* desc = Codec(type, codec);
        if (!desc) return E_INVALIDARG;
        *count = static_cast<std::uint32_t>(desc->formats.size());
        return S_OK;
    }
    HRESULT GetCodecFormat(const GUID& type, std::uint32_t codec, std::uint32_t format,
                           IWMStreamConfig** config) override {
        if (!config) return E_POINTER;
        *config = nullptr;
        const CodecDesc* desc = Codec(type, codec);
        if (!desc || format >= desc->formats.size()) return E_INVALIDARG;
        StreamData data;
        data.streamType = type;
        data.mediaType = desc->formats[format];
        if (const VIDEOINFOHEADER* info = data.mediaType.VideoInfo())
            data.bitrate = info->dwBitRate;
        if (const WAVEFORMATEX* wave = data.mediaType.Wave())
            data.bitrate = wave->nAvgBytesPerSec * 8;
        data.bufferWindow = 3000;
        data.maxKeyFrameSpacing = 80000000;
        data.quality = 75;
        *config = new StreamConfig(std::move(data));
        return S_OK;
    }
    HRESULT GetCodecName(const GUID& type, std::uint32_t codec, wchar_t* name,
                         std::uint32_t* length) override {
        const CodecDesc* desc = Codec(type, codec);
        if (!desc) return E_INVALIDARG;
        HRESULT result = S_OK;
        WideCopy(desc->name, name, length, &result);
        return result;
    }
    HRESULT GetCodecFormatDesc(const GUID& type, std::uint32_t codec, std::uint32_t format,
                               IWMStreamConfig** config, wchar_t* desc,
                               std::uint32_t* length) override {
        const CodecDesc* codecDesc = Codec(type, codec);
        if (!codecDesc || format >= codecDesc->formats.size()) return E_INVALIDARG;
        std::wstring text = codecDesc->name;
        if (const WAVEFORMATEX* wave = codecDesc->formats[format].Wave()) {
            text = std::to_wstring(wave->nAvgBytesPerSec * 8 / 1000) + L" kbps, " +
                   std::to_wstring(wave->nSamplesPerSec) + L" Hz, " +
                   (wave->nChannels == 1 ? L"mono" : L"stereo");
        }
        if (config) {
            HRESULT hr = GetCodecFormat(type, codec, format, config);
            if (FAILED(hr)) return hr;
        }
        HRESULT result = S_OK;
        WideCopy(text, desc, length, &result);
        return result;
    }

  protected:
    void* Find(Iid iid) override {
        switch (iid) {
            case Iid::IWMCodecInfo:
                return static_cast<IWMCodecInfo*>(this);
            case Iid::IWMCodecInfo2:
                return static_cast<IWMCodecInfo2*>(this);
            default:
                return nullptr;
        }
    }

  private:
    static const std::vector<CodecDesc>* List(const GUID& type) {
        if (type == WMMEDIATYPE_Video) return &VideoCodecs();
        if (type == WMMEDIATYPE_Audio) return &AudioCodecs();
        return nullptr;
    }
    static const CodecDesc* Codec(const GUID& type, std::uint32_t codec) {
        const std::vector<CodecDesc>* list = List(type);
        return list && codec < list->size() ? &(*list)[codec] : nullptr;
    }
};

}  // namespace
}  // namespace wmv

HRESULT WMCreateProfileManager(wmv::IWMProfileManager** out) {
    if (!out) return E_POINTER;
    *out = new (std::nothrow) wmv::ProfileManager();
    return *out ? S_OK : E_OUTOFMEMORY;
}
