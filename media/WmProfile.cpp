#include "media/WmProfile.h"

#include <cstring>
#include <memory>
#include <new>

#include "media/ReleaseField.h"

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

// Takes the number the profile gives a new stream of that type.
HRESULT NewStreamNumber(IWMProfile* profile, const GUID& type, std::uint16_t* number) {
    IWMStreamConfig* fresh = nullptr;
    HRESULT hr = profile->CreateNewStream(type, &fresh);
    if (FAILED(hr)) return hr;
    hr = fresh->GetStreamNumber(number);
    fresh->Release();
    return hr;
}

}  // namespace

HRESULT WmProfile::Create() {
    HRESULT hr = WMCreateProfileManager(&profileManager);
    if (SUCCEEDED(hr)) hr = profileManager->CreateEmptyProfile(WMT_VER_9_0, &profile);
    if (SUCCEEDED(hr)) hr = profileManager->QueryInterface(&codecInfo);
    if (FAILED(hr)) ReleaseAll();
    return hr;
}

HRESULT WmProfile::GetCodecCount(const GUID& type, std::uint32_t* count) {
    if (!codecInfo) return E_FAIL;
    return codecInfo->GetCodecInfoCount(type, count);
}

HRESULT WmProfile::GetCodecName(const GUID& type, std::uint32_t codec, wchar_t* name,
                                std::uint32_t* length) {
    if (!codecInfo) return E_FAIL;
    IWMCodecInfo2* info2 = nullptr;
    HRESULT hr = codecInfo->QueryInterface(&info2);
    if (FAILED(hr)) return hr;
    hr = info2->GetCodecName(type, codec, name, length);
    info2->Release();
    return hr;
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
    if (!codecInfo) return E_FAIL;
    return codecInfo->GetCodecFormatCount(WMMEDIATYPE_Audio, codec, count);
}

HRESULT WmProfile::GetAudioCodecName(std::uint32_t codec, wchar_t* name, std::uint32_t* length) {
    return GetCodecName(WMMEDIATYPE_Audio, codec, name, length);
}

HRESULT WmProfile::GetAudioFormat(std::uint32_t codec, std::uint32_t format, void* waveFormat) {
    if (!codecInfo) return E_FAIL;
    if (!waveFormat) return E_POINTER;
    IWMStreamConfig* config = nullptr;
    HRESULT hr = codecInfo->GetCodecFormat(WMMEDIATYPE_Audio, codec, format, &config);
    if (FAILED(hr)) return hr;
    IWMMediaProps* props = nullptr;
    hr = config->QueryInterface(&props);
    std::unique_ptr<std::uint8_t[]> buffer;
    if (SUCCEEDED(hr)) hr = ReadMediaType(props, buffer);
    if (SUCCEEDED(hr)) {
        const auto* type = reinterpret_cast<const WM_MEDIA_TYPE*>(buffer.get());
        if (type->formattype != FORMAT_WaveFormatEx || type->cbFormat < sizeof(WAVEFORMATEX)) {
            hr = E_INVALIDARG;
        } else {
            // The record and the two bytes behind it; a block without them
            // leaves those two bytes zero rather than reading past its end.
            std::uint8_t bytes[20] = {};
            std::memcpy(bytes, type->pbFormat, type->cbFormat < 20 ? type->cbFormat : 20);
            std::memcpy(waveFormat, bytes, sizeof(bytes));
        }
    }
    if (props) props->Release();
    config->Release();
    return hr;
}

HRESULT WmProfile::AddVideoStream(const VideoStreamParams& params) {
    if (!codecInfo || !profile) return E_FAIL;
    if (!params.sourceRect || !params.targetRect) return E_POINTER;
    IWMStreamConfig* config = nullptr;
    HRESULT hr = codecInfo->GetCodecFormat(WMMEDIATYPE_Video, params.codecIndex, params.formatIndex,
                                           &config);
    if (FAILED(hr)) return hr;
    IWMVideoMediaProps* videoProps = nullptr;
    IWMMediaProps* props = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer;
    WM_MEDIA_TYPE* type = nullptr;
    std::uint32_t bitrate = 0;
    hr = config->QueryInterface(&videoProps);
    if (SUCCEEDED(hr)) hr = ReadMediaType(videoProps, buffer);
    if (SUCCEEDED(hr)) {
        type = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.get());
        if (type->formattype != FORMAT_VideoInfo || type->cbFormat < sizeof(VIDEOINFOHEADER))
            hr = E_INVALIDARG;
    }
    if (SUCCEEDED(hr)) {
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        info->dwBitRate = params.bitrate;
        info->rcSource = *params.sourceRect;
        info->rcTarget = *params.targetRect;
        info->bmiHeader.biWidth = params.targetRect->right - params.targetRect->left;
        info->bmiHeader.biHeight = params.targetRect->bottom - params.targetRect->top;
        // -1 means no rate; zero or other negative rates are treated alike
        // instead of dividing by them.
        info->AvgTimePerFrame =
            params.framesPerSecond <= 0
                ? 0
                : 10000000u / static_cast<std::uint32_t>(params.framesPerSecond);
        bitrate = info->dwBitRate;
        hr = videoProps->SetQuality(params.quality);
    }
    if (SUCCEEDED(hr)) hr = videoProps->SetMaxKeyFrameSpacing(30000000);
    std::uint16_t number = 0;
    if (SUCCEEDED(hr)) hr = NewStreamNumber(profile, type->majortype, &number);
    if (SUCCEEDED(hr)) hr = config->SetStreamNumber(number);
    if (SUCCEEDED(hr)) hr = config->SetStreamName(params.streamName);
    if (SUCCEEDED(hr)) hr = config->SetConnectionName(params.connectionName);
    if (SUCCEEDED(hr)) hr = config->SetBitrate(bitrate);
    if (SUCCEEDED(hr)) hr = config->QueryInterface(&props);
    if (SUCCEEDED(hr)) {
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        type->bTemporalCompression = 0;
        type->bFixedSizeSamples = 1;
        type->lSampleSize = static_cast<std::uint32_t>(info->bmiHeader.biWidth) *
                            static_cast<std::uint32_t>(info->bmiHeader.biHeight) * 3;
        hr = props->SetMediaType(type);
        props->Release();
    }
    if (SUCCEEDED(hr)) {
        config->SetBufferWindow(0);  // its result does not matter
        hr = profile->AddStream(config);
    }
    if (videoProps) videoProps->Release();
    config->Release();
    return hr;
}

HRESULT WmProfile::AddAudioStream(const AudioStreamParams& params) {
    if (!codecInfo || !profile) return E_FAIL;
    IWMStreamConfig* config = nullptr;
    HRESULT hr = codecInfo->GetCodecFormat(WMMEDIATYPE_Audio, params.codecIndex, params.formatIndex,
                                           &config);
    if (FAILED(hr)) return hr;
    IWMMediaProps* props = nullptr;
    std::unique_ptr<std::uint8_t[]> buffer;
    const WM_MEDIA_TYPE* type = nullptr;
    hr = config->QueryInterface(&props);
    if (SUCCEEDED(hr)) hr = ReadMediaType(props, buffer);
    if (SUCCEEDED(hr)) {
        type = reinterpret_cast<const WM_MEDIA_TYPE*>(buffer.get());
        if (type->formattype != FORMAT_WaveFormatEx) hr = E_INVALIDARG;
    }
    std::uint16_t number = 0;
    if (SUCCEEDED(hr)) hr = NewStreamNumber(profile, type->majortype, &number);
    if (SUCCEEDED(hr)) hr = config->SetStreamNumber(number);
    if (SUCCEEDED(hr)) hr = config->SetStreamName(params.streamName);
    if (SUCCEEDED(hr)) hr = config->SetConnectionName(params.connectionName);
    if (SUCCEEDED(hr)) {
        config->SetBufferWindow(0);  // its result does not matter
        hr = profile->AddStream(config);
    }
    if (props) props->Release();
    config->Release();
    return hr;
}

void WmProfile::ReleaseAll() {
    ReleaseField(codecInfo);
    ReleaseField(profile);
    ReleaseField(profileManager);
}
