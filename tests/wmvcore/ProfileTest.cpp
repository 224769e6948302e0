// Profiles, stream configurations, codec lists and the exported version.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <set>

#include "tests/wmvcore/StreamTestSupport.h"

using namespace wmv;
using namespace wmvtest;

namespace {

struct Runtime {
    RefPtr<IWMProfileManager> manager;
    RefPtr<IWMCodecInfo2> info;
    Runtime() {
        IWMProfileManager* raw = nullptr;
        EXPECT_EQ(WMCreateProfileManager(&raw), S_OK);
        manager = RefPtr<IWMProfileManager>::Adopt(raw);
        IWMCodecInfo2* rawInfo = nullptr;
        EXPECT_EQ(manager->QueryInterface(&rawInfo), S_OK);
        info = RefPtr<IWMCodecInfo2>::Adopt(rawInfo);
    }
    std::wstring Name(const GUID& type, std::uint32_t codec) {
        std::uint32_t length = 0;
        EXPECT_EQ(info->GetCodecName(type, codec, nullptr, &length), S_OK);
        std::wstring name(length, L'\0');
        EXPECT_EQ(info->GetCodecName(type, codec, name.data(), &length), S_OK);
        name.resize(length - 1);
        return name;
    }
    std::vector<std::uint8_t> Format(const GUID& type, std::uint32_t codec, std::uint32_t format) {
        IWMStreamConfig* raw = nullptr;
        EXPECT_EQ(info->GetCodecFormat(type, codec, format, &raw), S_OK);
        auto config = RefPtr<IWMStreamConfig>::Adopt(raw);
        IWMMediaProps* rawProps = nullptr;
        EXPECT_EQ(config->QueryInterface(&rawProps), S_OK);
        auto props = RefPtr<IWMMediaProps>::Adopt(rawProps);
        std::uint32_t size = 0;
        EXPECT_EQ(props->GetMediaType(nullptr, &size), S_OK);
        std::vector<std::uint8_t> buffer(size);
        EXPECT_EQ(props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data()), &size),
                  S_OK);
        return buffer;
    }
};

TEST(CodecLists, VideoCodecsBestFirstWithVideoInfoFormats) {
    Runtime runtime;
    std::uint32_t count = 0;
    ASSERT_EQ(runtime.info->GetCodecInfoCount(WMMEDIATYPE_Video, &count), S_OK);
    ASSERT_GE(count, 3u);
    EXPECT_EQ(runtime.Name(WMMEDIATYPE_Video, 0), L"Windows Media Video 8");
    EXPECT_EQ(runtime.Name(WMMEDIATYPE_Video, 1), L"Windows Media Video 7");
    const char* fourccs[] = {"WMV2", "WMV1", "MP43"};
    for (std::uint32_t codec = 0; codec < 3; ++codec) {
        std::uint32_t formats = 0;
        ASSERT_EQ(runtime.info->GetCodecFormatCount(WMMEDIATYPE_Video, codec, &formats), S_OK);
        ASSERT_GE(formats, 1u);
        auto buffer = runtime.Format(WMMEDIATYPE_Video, codec, 0);
        auto* type = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
        EXPECT_EQ(type->majortype, WMMEDIATYPE_Video);
        EXPECT_EQ(type->formattype, FORMAT_VideoInfo);
        ASSERT_EQ(type->cbFormat, sizeof(VIDEOINFOHEADER));
        auto* vih = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        EXPECT_EQ(std::memcmp(&vih->bmiHeader.biCompression, fourccs[codec], 4), 0) << codec;
        EXPECT_EQ(type->subtype, SubtypeFromTag(vih->bmiHeader.biCompression));
    }
}

TEST(CodecLists, AudioFormatsAreSixteenBitWithUsualRates) {
    Runtime runtime;
    std::uint32_t count = 0;
    ASSERT_EQ(runtime.info->GetCodecInfoCount(WMMEDIATYPE_Audio, &count), S_OK);
    ASSERT_GE(count, 2u);
    EXPECT_EQ(runtime.Name(WMMEDIATYPE_Audio, 0), L"Windows Media Audio 2");
    EXPECT_EQ(runtime.Name(WMMEDIATYPE_Audio, 1), L"Windows Media Audio 1");
    const std::uint16_t tags[] = {WAVE_FORMAT_WMAUDIO2, WAVE_FORMAT_WMAUDIO1};
    for (std::uint32_t codec = 0; codec < 2; ++codec) {
        std::uint32_t formats = 0;
        ASSERT_EQ(runtime.info->GetCodecFormatCount(WMMEDIATYPE_Audio, codec, &formats), S_OK);
        ASSERT_GE(formats, 10u);
        std::set<std::pair<int, int>> rateChannels;
        for (std::uint32_t f = 0; f < formats; ++f) {
            auto buffer = runtime.Format(WMMEDIATYPE_Audio, codec, f);
            auto* type = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
            EXPECT_EQ(type->formattype, FORMAT_WaveFormatEx);
            ASSERT_GE(type->cbFormat, 20u);
            auto* wave = reinterpret_cast<WAVEFORMATEX*>(type->pbFormat);
            EXPECT_EQ(wave->wFormatTag, tags[codec]);
            EXPECT_EQ(wave->wBitsPerSample, 16);
            EXPECT_TRUE(wave->nChannels == 1 || wave->nChannels == 2);
            EXPECT_GT(wave->nAvgBytesPerSec, 0u);
            EXPECT_GT(wave->nBlockAlign, 0);
            rateChannels.insert({static_cast<int>(wave->nSamplesPerSec), wave->nChannels});
        }
        for (int rate : {8000, 11025, 16000, 22050, 32000, 44100, 48000}) {
            for (int channels : {1, 2}) {
                EXPECT_TRUE(rateChannels.count({rate, channels}))
                    << rate << " Hz, " << channels << " channels";
            }
        }
    }
}

TEST(CodecLists, BadIndicesAndShortBuffers) {
    Runtime runtime;
    IWMStreamConfig* config = nullptr;
    EXPECT_EQ(runtime.info->GetCodecFormat(WMMEDIATYPE_Video, 99, 0, &config), E_INVALIDARG);
    EXPECT_EQ(runtime.info->GetCodecFormat(WMMEDIATYPE_Audio, 0, 9999, &config), E_INVALIDARG);
    EXPECT_EQ(config, nullptr);
    std::uint32_t count = 0;
    EXPECT_EQ(runtime.info->GetCodecInfoCount(FORMAT_VideoInfo, &count), E_INVALIDARG);
    wchar_t small[4];
    std::uint32_t length = 4;
    EXPECT_EQ(runtime.info->GetCodecName(WMMEDIATYPE_Video, 0, small, &length),
              ASF_E_BUFFERTOOSMALL);
    EXPECT_EQ(length, 22u);  // "Windows Media Video 8" and the terminator
}

TEST(Profiles, NewStreamsGetFreshNumbersAndDuplicatesAreRefused) {
    Runtime runtime;
    IWMProfile* raw = nullptr;
    ASSERT_EQ(runtime.manager->CreateEmptyProfile(WMT_VER_9_0, &raw), S_OK);
    auto profile = RefPtr<IWMProfile>::Adopt(raw);
    IWMStreamConfig *first = nullptr, *second = nullptr;
    ASSERT_EQ(profile->CreateNewStream(WMMEDIATYPE_Video, &first), S_OK);
    ASSERT_EQ(profile->CreateNewStream(WMMEDIATYPE_Audio, &second), S_OK);
    std::uint16_t a = 0, b = 0;
    first->GetStreamNumber(&a);
    second->GetStreamNumber(&b);
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(profile->AddStream(first), S_OK);
    EXPECT_EQ(profile->AddStream(first), NS_E_INVALID_STREAM);
    std::uint32_t streams = 0;
    profile->GetStreamCount(&streams);
    EXPECT_EQ(streams, 1u);
    // Audio configurations have no video properties.
    IWMVideoMediaProps* video = nullptr;
    EXPECT_EQ(second->QueryInterface(&video), E_NOINTERFACE);
    EXPECT_EQ(video, nullptr);
    first->Release();
    second->Release();
}

TEST(Profiles, MediaTypeRoundTripAndWrongMajorType) {
    Runtime runtime;
    auto buffer = runtime.Format(WMMEDIATYPE_Video, 0, 0);
    IWMStreamConfig* raw = nullptr;
    ASSERT_EQ(runtime.info->GetCodecFormat(WMMEDIATYPE_Video, 0, 0, &raw), S_OK);
    auto config = RefPtr<IWMStreamConfig>::Adopt(raw);
    IWMMediaProps* rawProps = nullptr;
    ASSERT_EQ(config->QueryInterface(&rawProps), S_OK);
    auto props = RefPtr<IWMMediaProps>::Adopt(rawProps);
    auto* type = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
    reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat)->bmiHeader.biWidth = 640;
    ASSERT_EQ(props->SetMediaType(type), S_OK);
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size()) - 1;
    std::vector<std::uint8_t> again(buffer.size());
    EXPECT_EQ(props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(again.data()), &size),
              ASF_E_BUFFERTOOSMALL);
    EXPECT_EQ(size, buffer.size());
    ASSERT_EQ(props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(again.data()), &size), S_OK);
    EXPECT_EQ(
        reinterpret_cast<VIDEOINFOHEADER*>(reinterpret_cast<WM_MEDIA_TYPE*>(again.data())->pbFormat)
            ->bmiHeader.biWidth,
        640);
    type->majortype = WMMEDIATYPE_Audio;
    EXPECT_EQ(props->SetMediaType(type), E_INVALIDARG);
}

TEST(Version, ExportedAsVersionNine) {
    const char* folder = std::getenv("LUMACAST_PROGRAM_DIR");
    std::string path = folder ? std::string(folder) + "/libwmvcore.so.9" : "libwmvcore.so.9";
    void* library = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto get = reinterpret_cast<int (*)(WmvcoreVersion*)>(::dlsym(library, "WmvcoreGetVersion"));
    ASSERT_NE(get, nullptr);
    WmvcoreVersion version{};
    EXPECT_EQ(get(&version), 1);
    EXPECT_EQ(version.dwProductVersionMS >> 16, 9u);
    EXPECT_EQ(version.dwFileVersionMS >> 16, 9u);
    EXPECT_EQ(get(nullptr), 0);
    ::dlclose(library);
}

}  // namespace
