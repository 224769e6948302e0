#include "media/WmProfile.h"

#include <cstring>
#include <memory>
#include <new>

using namespace wmv;

namespace {

// The media type of a stream configuration in a buffer of its own.
HRESULT ReadMediaType(IWMMediaProps* props, std::unique_ptr<std::uint8_t[]>& buffer) {
    std::uint32_t size = 0;
    HRESULT hr = props->GetMediaType(nullptr, &size);
    if (FAILED(hr)) return hr;
    buffer.reset(new (std::nothrow) std::uint8_t[size]);
    if (!buffer) return E_OUTOFMEMORY;
    return props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(buffer.get()), &size);
}

// One format of a codec: its stream configuration, the properties interface
// Props of that configuration and its media type.
template <typename Props>
struct CodecFormat {
    RefPtr<IWMStreamConfig> config;
    RefPtr<Props> props;
    std::unique_ptr<std::uint8_t[]> buffer;

    WM_MEDIA_TYPE* Type() const { return reinterpret_cast<WM_MEDIA_TYPE*>(buffer.get()); }
};

template <typename Props>
HRESULT ReadCodecFormat(IWMCodecInfo* info, const GUID& type, std::uint32_t codec,
                        std::uint32_t format, CodecFormat<Props>* out) {
    HRESULT hr = info->GetCodecFormat(type, codec, format, out->config.Put());
    if (FAILED(hr)) return hr;
    hr = out->config->QueryInterface(out->props.Put());
    if (FAILED(hr)) return hr;
    return ReadMediaType(out->props.Get(), out->buffer);
}

// Gives the configuration the number the profile has for a new stream of its
// major type, and its names.
HRESULT NumberAndName(IWMProfile* profile, IWMStreamConfig* config, const GUID& majorType,
                      const wchar_t* streamName, const wchar_t* connectionName) {
    RefPtr<IWMStreamConfig> fresh;
    HRESULT hr = profile->CreateNewStream(majorType, fresh.Put());
    if (FAILED(hr)) return hr;
    std::uint16_t number = 0;
    hr = fresh->GetStreamNumber(&number);
    if (FAILED(hr)) return hr;
    hr = config->SetStreamNumber(number);
    if (FAILED(hr)) return hr;
    hr = config->SetStreamName(streamName);
    if (FAILED(hr)) return hr;
    return config->SetConnectionName(connectionName);
}

// The last step of both kinds of stream.
HRESULT AddToProfile(IWMProfile* profile, IWMStreamConfig* config) {
    config->SetBufferWindow(0);  // its result does not matter
    return profile->AddStream(config);
}

}  // namespace

HRESULT WmProfile::Create() {
    RefPtr<IWMProfileManager> manager;
    HRESULT hr = WMCreateProfileManager(manager.Put());
    if (FAILED(hr)) return hr;
    RefPtr<IWMProfile> profile;
    hr = manager->CreateEmptyProfile(WMT_VER_9_0, profile.Put());
    if (FAILED(hr)) return hr;
    RefPtr<IWMCodecInfo> info;
    hr = manager->QueryInterface(info.Put());
    if (FAILED(hr)) return hr;
    profileManager_ = std::move(manager);
    profile_ = std::move(profile);
    codecInfo_ = std::move(info);
    return S_OK;
}

HRESULT WmProfile::GetCodecCount(const GUID& type, std::uint32_t* count) {
    if (!codecInfo_) return E_FAIL;
    return codecInfo_->GetCodecInfoCount(type, count);
}

HRESULT WmProfile::GetCodecName(const GUID& type, std::uint32_t codec, wchar_t* name,
                                std::uint32_t* length) {
    if (!codecInfo_) return E_FAIL;
    RefPtr<IWMCodecInfo2> info2;
    HRESULT hr = codecInfo_->QueryInterface(info2.Put());
    if (FAILED(hr)) return hr;
    return info2->GetCodecName(type, codec, name, length);
}

HRESULT WmProfile::GetVideoCodecCount(std::uint32_t* count) {
    return GetCodecCount(WMMEDIATYPE_Video, count);
}

HRESULT WmProfile::GetVideoCodecName(std::uint32_t codec, wchar_t* name, std::uint32_t* length) {
    return GetCodecName(WMMEDIATYPE_Video, codec, name, length);
}

HRESULT WmProfile::GetAudioCodecCount(std::uint32_t* count) {
    return GetCodecCount(WMMEDIATYPE_Audio, count);
}

HRESULT WmProfile::GetAudioFormatCount(std::uint32_t codec, std::uint32_t* count) {
    if (!codecInfo_) return E_FAIL;
    return codecInfo_->GetCodecFormatCount(WMMEDIATYPE_Audio, codec, count);
}

HRESULT WmProfile::GetAudioCodecName(std::uint32_t codec, wchar_t* name, std::uint32_t* length) {
    return GetCodecName(WMMEDIATYPE_Audio, codec, name, length);
}

HRESULT WmProfile::GetAudioFormat(std::uint32_t codec, std::uint32_t format, void* waveFormat) {
    if (!codecInfo_) return E_FAIL;
    if (!waveFormat) return E_POINTER;
    CodecFormat<IWMMediaProps> read;
    HRESULT hr = ReadCodecFormat(codecInfo_.Get(), WMMEDIATYPE_Audio, codec, format, &read);
    if (FAILED(hr)) return hr;
    const WM_MEDIA_TYPE* type = read.Type();
    if (type->formattype != FORMAT_WaveFormatEx || type->cbFormat < sizeof(WAVEFORMATEX))
        return E_INVALIDARG;
    // The record and the two bytes behind it; a block without them leaves
    // those two bytes zero rather than reading past its end.
    std::uint8_t bytes[20] = {};
    std::memcpy(bytes, type->pbFormat, type->cbFormat < 20 ? type->cbFormat : 20);
    std::memcpy(waveFormat, bytes, sizeof(bytes));
    return S_OK;
}

HRESULT WmProfile::AddVideoStream(const VideoStreamParams& params) {
    if (!codecInfo_ || !profile_) return E_FAIL;
    if (!params.sourceRect || !params.targetRect) return E_POINTER;
    CodecFormat<IWMVideoMediaProps> read;
    HRESULT hr = ReadCodecFormat(codecInfo_.Get(), WMMEDIATYPE_Video, params.codecIndex,
                                 params.formatIndex, &read);
    if (FAILED(hr)) return hr;
    WM_MEDIA_TYPE* type = read.Type();
    if (type->formattype != FORMAT_VideoInfo || type->cbFormat < sizeof(VIDEOINFOHEADER))
        return E_INVALIDARG;

    auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
    info->dwBitRate = params.bitrate;
    info->rcSource = *params.sourceRect;
    info->rcTarget = *params.targetRect;
    info->bmiHeader.biWidth = params.targetRect->right - params.targetRect->left;
    info->bmiHeader.biHeight = params.targetRect->bottom - params.targetRect->top;
    // -1 means no rate; zero or other negative rates are treated alike
    // instead of dividing by them.
    info->AvgTimePerFrame = params.framesPerSecond <= 0
                                ? 0
                                : 10000000u / static_cast<std::uint32_t>(params.framesPerSecond);
    hr = read.props->SetQuality(params.quality);
    if (FAILED(hr)) return hr;
    hr = read.props->SetMaxKeyFrameSpacing(30000000);
    if (FAILED(hr)) return hr;

    IWMStreamConfig* config = read.config.Get();
    hr = NumberAndName(profile_.Get(), config, type->majortype, params.streamName,
                       params.connectionName);
    if (FAILED(hr)) return hr;
    hr = config->SetBitrate(info->dwBitRate);
    if (FAILED(hr)) return hr;

    RefPtr<IWMMediaProps> props;
    hr = config->QueryInterface(props.Put());
    if (FAILED(hr)) return hr;
    type->bTemporalCompression = 0;
    type->bFixedSizeSamples = 1;
    type->lSampleSize = static_cast<std::uint32_t>(info->bmiHeader.biWidth) *
                        static_cast<std::uint32_t>(info->bmiHeader.biHeight) * 3;
    hr = props->SetMediaType(type);
    if (FAILED(hr)) return hr;
    return AddToProfile(profile_.Get(), config);
}

HRESULT WmProfile::AddAudioStream(const AudioStreamParams& params) {
    if (!codecInfo_ || !profile_) return E_FAIL;
    CodecFormat<IWMMediaProps> read;
    HRESULT hr = ReadCodecFormat(codecInfo_.Get(), WMMEDIATYPE_Audio, params.codecIndex,
                                 params.formatIndex, &read);
    if (FAILED(hr)) return hr;
    const WM_MEDIA_TYPE* type = read.Type();
    if (type->formattype != FORMAT_WaveFormatEx) return E_INVALIDARG;
    IWMStreamConfig* config = read.config.Get();
    hr = NumberAndName(profile_.Get(), config, type->majortype, params.streamName,
                       params.connectionName);
    if (FAILED(hr)) return hr;
    return AddToProfile(profile_.Get(), config);
}

void WmProfile::ReleaseAll() {
    codecInfo_.Reset();
    profile_.Reset();
    profileManager_.Reset();
}
