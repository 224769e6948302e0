// The encoder profile and stream writer wrappers on the real media runtime.

#include <gtest/gtest.h>

#include "diag/ErrorTrail.h"
#include "media/WmProfile.h"
#include "media/WmWriter.h"
#include "tests/support/Skip.h"
#include "tests/wmvcore/StreamTestSupport.h"

using namespace wmv;
using namespace wmvtest;

namespace {

constexpr RECT kFrame{0, 0, 320, 240};

VideoStreamParams Video(std::int32_t fps = 15) {
    return VideoStreamParams{0, 0, 300000, &kFrame, &kFrame, fps, 85, L"Camera", L"Live"};
}

AudioStreamParams Audio() {
    return AudioStreamParams{0, 0, L"Microphone", L"Live"};
}

// The stream at that index of the profile, with its media type.
struct StreamInfo {
    std::uint16_t number = 0;
    std::wstring name, connection;
    std::uint32_t bitrate = 0;
    std::vector<std::uint8_t> mediaType;
    const WM_MEDIA_TYPE* Type() const {
        return reinterpret_cast<const WM_MEDIA_TYPE*>(mediaType.data());
    }
};

StreamInfo Stream(IWMProfile* profile, std::uint32_t index) {
    StreamInfo info;
    IWMStreamConfig* raw = nullptr;
    EXPECT_EQ(profile->GetStream(index, &raw), S_OK);
    if (!raw) return info;
    auto config = RefPtr<IWMStreamConfig>::Adopt(raw);
    config->GetStreamNumber(&info.number);
    wchar_t text[64];
    std::uint16_t length = 64;
    config->GetStreamName(text, &length);
    info.name = text;
    length = 64;
    config->GetConnectionName(text, &length);
    info.connection = text;
    config->GetBitrate(&info.bitrate);
    IWMMediaProps* rawProps = nullptr;
    config->QueryInterface(&rawProps);
    auto props = RefPtr<IWMMediaProps>::Adopt(rawProps);
    std::uint32_t size = 0;
    props->GetMediaType(nullptr, &size);
    info.mediaType.resize(size);
    props->GetMediaType(reinterpret_cast<WM_MEDIA_TYPE*>(info.mediaType.data()), &size);
    return info;
}

std::uint32_t FreePort() {
    return static_cast<std::uint32_t>(testsupport::UnusedPort());
}

// Codec information whose formats carry the wrong format type: video
// formats say FORMAT_WaveFormatEx, audio formats FORMAT_VideoInfo.
class WrongFormatCodecInfo final : public IWMCodecInfo2 {
  public:
    // deaths, when given, counts the destruction of this object.
    explicit WrongFormatCodecInfo(IWMCodecInfo* real, int* deaths = nullptr) : deaths_(deaths) {
        real->QueryInterface(&real_);
    }
    ~WrongFormatCodecInfo() override {
        if (real_) real_->Release();
        if (deaths_) ++*deaths_;
    }
    HRESULT GetCodecInfoCount(const GUID& type, std::uint32_t* count) override {
        return real_->GetCodecInfoCount(type, count);
    }
    HRESULT GetCodecFormatCount(const GUID& type, std::uint32_t codec,
                                std::uint32_t* count) override {
        return real_->GetCodecFormatCount(type, codec, count);
    }
    HRESULT GetCodecFormat(const GUID& type, std::uint32_t codec, std::uint32_t format,
                           IWMStreamConfig** config) override {
        HRESULT hr = real_->GetCodecFormat(type, codec, format, config);
        if (FAILED(hr)) return hr;
        IWMMediaProps* props = nullptr;
        (*config)->QueryInterface(&props);
        std::uint32_t size = 0;
        props->GetMediaType(nullptr, &size);
        std::vector<std::uint8_t> buffer(size);
        auto* mediaType = reinterpret_cast<WM_MEDIA_TYPE*>(buffer.data());
        props->GetMediaType(mediaType, &size);
        mediaType->formattype = type == WMMEDIATYPE_Video ? FORMAT_WaveFormatEx : FORMAT_VideoInfo;
        hr = props->SetMediaType(mediaType);
        props->Release();
        return hr;
    }
    HRESULT GetCodecName(const GUID& type, std::uint32_t codec, wchar_t* name,
                         std::uint32_t* length) override {
        return real_->GetCodecName(type, codec, name, length);
    }
    HRESULT GetCodecFormatDesc(const GUID& type, std::uint32_t codec, std::uint32_t format,
                               IWMStreamConfig** config, wchar_t* desc,
                               std::uint32_t* length) override {
        return real_->GetCodecFormatDesc(type, codec, format, config, desc, length);
    }

  protected:
    void* Find(Iid iid) override {
        if (iid == Iid::IWMCodecInfo) return static_cast<IWMCodecInfo*>(this);
        if (iid == Iid::IWMCodecInfo2) return static_cast<IWMCodecInfo2*>(this);
        return nullptr;
    }

  private:
    IWMCodecInfo2* real_ = nullptr;
    int* deaths_;
};

TEST(WmProfile, CodecListsThroughTheWrapper) {
    WmProfile empty;
    std::uint32_t count = 0;
    EXPECT_EQ(empty.GetVideoCodecCount(&count), E_FAIL);
    EXPECT_EQ(empty.GetAudioCodecCount(&count), E_FAIL);
    EXPECT_EQ(empty.GetAudioFormatCount(0, &count), E_FAIL);

    WmProfile profile;
    ASSERT_EQ(profile.Create(), S_OK);
    ASSERT_EQ(profile.GetVideoCodecCount(&count), S_OK);
    EXPECT_GE(count, 3u);
    wchar_t name[256];
    std::uint32_t length = 256;
    ASSERT_EQ(profile.GetVideoCodecName(0, name, &length), S_OK);
    EXPECT_STREQ(name, L"Windows Media Video 8");
    ASSERT_EQ(profile.GetAudioCodecCount(&count), S_OK);
    EXPECT_GE(count, 2u);
    length = 256;
    ASSERT_EQ(profile.GetAudioCodecName(1, name, &length), S_OK);
    EXPECT_STREQ(name, L"Windows Media Audio 1");
    std::uint32_t formats = 0;
    ASSERT_EQ(profile.GetAudioFormatCount(0, &formats), S_OK);
    for (std::uint32_t f = 0; f < formats; ++f) {
        std::uint8_t bytes[22];
        std::memset(bytes, 0xEE, sizeof(bytes));
        ASSERT_EQ(profile.GetAudioFormat(0, f, bytes), S_OK);
        WAVEFORMATEX wave;
        std::memcpy(&wave, bytes, sizeof(wave));
        EXPECT_EQ(wave.wBitsPerSample, 16);
        EXPECT_EQ(bytes[20], 0xEE) << "exactly 20 bytes are written";
    }
    length = 256;
    EXPECT_EQ(profile.GetVideoCodecName(99, name, &length), E_INVALIDARG);
    profile.ReleaseAll();
    EXPECT_EQ(profile.CodecInfo(), nullptr);
    EXPECT_EQ(profile.Profile(), nullptr);
    EXPECT_FALSE(profile.HasProfileManager());
}

TEST(WmProfile, StreamsTakeFreshNumbersNamesAndRates) {
    const struct {
        bool video, audio;
        std::int32_t fps;
        std::int64_t avgTimePerFrame;
    } cases[] = {
        {true, true, 5, 2000000},  {true, false, -1, 0}, {true, false, 0, 0},
        {true, false, 30, 333333}, {false, true, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "video " << c.video << " audio " << c.audio << " fps " << c.fps);
        WmProfile profile;
        ASSERT_EQ(profile.Create(), S_OK);
        if (c.video) {
            ASSERT_EQ(profile.AddVideoStream(Video(c.fps)), S_OK);
        }
        if (c.audio) {
            ASSERT_EQ(profile.AddAudioStream(Audio()), S_OK);
        }
        std::uint32_t count = 0;
        profile.Profile()->GetStreamCount(&count);
        ASSERT_EQ(count, static_cast<std::uint32_t>(c.video + c.audio));
        for (std::uint32_t i = 0; i < count; ++i) {
            const StreamInfo stream = Stream(profile.Profile(), i);
            EXPECT_EQ(stream.number, i + 1);
            EXPECT_EQ(stream.connection, L"Live");
            const bool isVideo = c.video && i == 0;
            EXPECT_EQ(stream.name, isVideo ? L"Camera" : L"Microphone");
            if (isVideo) {
                EXPECT_EQ(stream.bitrate, 300000u);
                const auto* vih = reinterpret_cast<const VIDEOINFOHEADER*>(stream.Type()->pbFormat);
                EXPECT_EQ(vih->AvgTimePerFrame, c.avgTimePerFrame);
                EXPECT_EQ(vih->bmiHeader.biWidth, 320);
                EXPECT_EQ(vih->bmiHeader.biHeight, 240);
                EXPECT_EQ(vih->dwBitRate, 300000u);
                EXPECT_EQ(stream.Type()->lSampleSize, 320u * 240 * 3);
            }
        }
        // The writer's inputs follow the streams: video is input 0, audio
        // input 1 after video and input 0 alone.
        WmWriter writer;
        ASSERT_EQ(writer.Create(), S_OK);
        ASSERT_EQ(writer.SetProfile(&profile), S_OK);
        EXPECT_EQ(writer.AttachedProfile(), &profile);
        std::uint32_t inputs = 0;
        writer.Writer()->GetInputCount(&inputs);
        EXPECT_EQ(inputs, count);
        ASSERT_EQ(writer.BeginWriting(), S_OK);
        INSSBuffer* raw = nullptr;
        ASSERT_EQ(writer.AllocateSample(4410 * 4, &raw), S_OK);
        auto chunk = RefPtr<INSSBuffer>::Adopt(raw);
        // A PCM chunk is far shorter than a frame: only an audio input takes it.
        const HRESULT expected0 = c.video ? NS_E_INVALID_INPUT_FORMAT : S_OK;
        EXPECT_EQ(writer.Writer()->WriteSample(0, 0, 0, chunk.Get()), expected0);
        if (c.video && c.audio) {
            EXPECT_EQ(writer.Writer()->WriteSample(1, 0, 0, chunk.Get()), S_OK);
        }
        EXPECT_EQ(writer.StopWriting(), S_OK);
    }
}

TEST(WmProfile, WrongFormatTypesAreRefused) {
    WmProfile profile;
    ASSERT_EQ(profile.Create(), S_OK);
    profile.SetCodecInfo(
        RefPtr<IWMCodecInfo>::Adopt(new WrongFormatCodecInfo(profile.CodecInfo())));
    EXPECT_EQ(profile.AddVideoStream(Video()), E_INVALIDARG);
    EXPECT_EQ(profile.AddAudioStream(Audio()), E_INVALIDARG);
    std::uint8_t wave[20];
    EXPECT_EQ(profile.GetAudioFormat(0, 0, wave), E_INVALIDARG);
    std::uint32_t count = 7;
    profile.Profile()->GetStreamCount(&count);
    EXPECT_EQ(count, 0u);
    // Bad indices come back from the runtime unchanged.
    WmProfile real;
    ASSERT_EQ(real.Create(), S_OK);
    VideoStreamParams params = Video();
    params.codecIndex = 99;
    EXPECT_EQ(real.AddVideoStream(params), E_INVALIDARG);
    params = Video();
    params.targetRect = nullptr;
    EXPECT_EQ(real.AddVideoStream(params), E_POINTER);
}

TEST(WmProfile, LetsGoOfItsReferencesWhenReleasedOrDeleted) {
    int deaths = 0;
    {
        WmProfile released;
        ASSERT_EQ(released.Create(), S_OK);
        released.SetCodecInfo(
            RefPtr<IWMCodecInfo>::Adopt(new WrongFormatCodecInfo(released.CodecInfo(), &deaths)));
        released.ReleaseAll();
        EXPECT_EQ(deaths, 1) << "ReleaseAll lets go of the codec information";
        released.ReleaseAll();  // a second time does nothing

        WmProfile deleted;
        ASSERT_EQ(deleted.Create(), S_OK);
        deleted.SetCodecInfo(
            RefPtr<IWMCodecInfo>::Adopt(new WrongFormatCodecInfo(deleted.CodecInfo(), &deaths)));
        EXPECT_EQ(deaths, 1);
    }
    EXPECT_EQ(deaths, 2) << "deleting a profile that was not released lets go too";
}

TEST(WmWriter, StateChecks) {
    WmWriter idle;
    WmProfile profile;
    EXPECT_EQ(idle.SetProfile(&profile), E_FAIL) << "no writer";
    EXPECT_EQ(idle.BeginWriting(), E_FAIL);
    EXPECT_EQ(idle.StopWriting(), E_FAIL);
    EXPECT_EQ(idle.DetachNetworkSink(), E_FAIL);
    EXPECT_EQ(idle.GetClientCount(), 0);
    INSSBuffer* sample = nullptr;
    EXPECT_EQ(idle.AllocateSample(10, &sample), E_FAIL);

    WmWriter writer;
    ASSERT_EQ(writer.Create(), S_OK);
    EXPECT_EQ(writer.SetProfile(nullptr), E_FAIL);
    EXPECT_EQ(writer.SetProfile(&profile), E_FAIL) << "the profile object holds no profile";
    EXPECT_EQ(writer.AttachedProfile(), nullptr);
    ASSERT_EQ(profile.Create(), S_OK);
    ASSERT_EQ(profile.AddVideoStream(Video()), S_OK);
    ASSERT_EQ(writer.SetProfile(&profile), S_OK);
    EXPECT_EQ(writer.StopWriting(), E_FAIL) << "not writing";
    EXPECT_FALSE(writer.IsWriting());
    ASSERT_EQ(writer.BeginWriting(), S_OK);
    EXPECT_TRUE(writer.IsWriting());
    EXPECT_EQ(writer.BeginWriting(), E_FAIL);
    EXPECT_TRUE(writer.IsWriting());
    EXPECT_EQ(writer.DetachNetworkSink(), E_FAIL) << "no sink";
    EXPECT_EQ(writer.StopWriting(), S_OK);
    EXPECT_FALSE(writer.IsWriting());
    EXPECT_EQ(writer.StopWriting(), E_FAIL);
}

TEST(WmWriter, SinkOnABusyPortFailsWithoutTrailEntries) {
    WmWriter first;
    ASSERT_EQ(first.Create(), S_OK);
    const std::uint32_t port = FreePort();
    ASSERT_EQ(first.OpenNetworkSink(port, 3), S_OK);
    ASSERT_NE(first.NetworkSink(), nullptr);
    ASSERT_NE(first.ClientConnections(), nullptr);
    const std::size_t entries = g_errorTrail.EntryCount();
    WmWriter second;
    ASSERT_EQ(second.Create(), S_OK);
    EXPECT_TRUE(FAILED(second.OpenNetworkSink(port, 3)));
    EXPECT_EQ(second.NetworkSink(), nullptr);
    EXPECT_EQ(second.AsfPort(), port);
    EXPECT_EQ(g_errorTrail.EntryCount(), entries) << "only the client-connections step records";
    // Detaching frees the port for the next broadcast.
    EXPECT_EQ(first.DetachNetworkSink(), S_OK);
    EXPECT_EQ(first.NetworkSink(), nullptr);
    WmWriter third;
    ASSERT_EQ(third.Create(), S_OK);
    EXPECT_EQ(third.OpenNetworkSink(port, 3), S_OK);
}

TEST(WmWriter, SinkOnPortZeroKeepsThePortItOpened) {
    WmWriter writer;
    ASSERT_EQ(writer.Create(), S_OK);
    ASSERT_EQ(writer.OpenNetworkSink(0, 2), S_OK);
    const std::uint32_t port = writer.AsfPort();
    ASSERT_NE(port, 0u) << "the port the system picked";
    UniqueFd viewer = Connect(port);
    EXPECT_TRUE(viewer) << "the sink listens on the port reported";
    char url[WmWriter::kConnectionUrlSize] = {};
    writer.GetConnectionUrl(url);
    const std::string text = url;
    if (text != "Cannot detect IP address") {
        EXPECT_EQ(text.substr(text.rfind(':') + 1), std::to_string(port)) << text;
    }
    EXPECT_EQ(writer.DetachNetworkSink(), S_OK);
    EXPECT_FALSE(Connect(port)) << "nothing listens once detached";
}

TEST(WmWriter, BroadcastServesViewersUntilStopped) {
    if (!HaveTool("ffprobe")) LUMACAST_SKIP() << "ffprobe is not installed";
    // The start sequence of a broadcast.
    auto* profile = new WmProfile;
    ASSERT_EQ(profile->Create(), S_OK);
    auto* writer = new WmWriter;
    ASSERT_EQ(writer->Create(), S_OK);
    const std::uint32_t port = FreePort();
    ASSERT_EQ(writer->OpenNetworkSink(port, 2), S_OK);
    ASSERT_EQ(profile->AddVideoStream(Video(15)), S_OK);
    ASSERT_EQ(profile->AddAudioStream(Audio()), S_OK);
    WAVEFORMATEX wave{};
    std::uint8_t bytes[20];
    ASSERT_EQ(profile->GetAudioFormat(0, 0, bytes), S_OK);
    std::memcpy(&wave, bytes, sizeof(wave));
    ASSERT_EQ(writer->SetProfile(profile), S_OK);
    ASSERT_EQ(writer->BeginWriting(), S_OK);
    LiveFeeder feeder(writer->Writer(), 0, 1, 320, 240, 15, wave);
    feeder.Start();

    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/MyFile.wma";
    const std::string probe = RunCommand(
        "timeout 60 ffprobe -v error -show_entries "
        "stream=codec_name,width,height,sample_rate,channels "
        "-of csv=p=0 '" +
        url + "' 2>&1");
    EXPECT_NE(probe.find("wmv2,320,240"), std::string::npos) << probe;
    EXPECT_NE(probe.find("wmav2," + std::to_string(wave.nSamplesPerSec) + "," +
                         std::to_string(wave.nChannels)),
              std::string::npos)
        << probe;

    UniqueFd viewer = Connect(port);
    ASSERT_TRUE(SendAll(viewer.Get(), "GET /MyFile.wma HTTP/1.0\r\n\r\n"));
    EXPECT_EQ(ReadSome(viewer.Get(), 15, 5000), "HTTP/1.0 200 OK");
    EXPECT_TRUE(WaitFor([&] { return writer->GetClientCount() == 1; }, 5000));

    // The stop sequence: the viewer's stream ends and the count shows 0.
    feeder.Stop();
    ASSERT_EQ(writer->StopWriting(), S_OK);
    EXPECT_EQ(writer->NetworkSink(), nullptr);
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) ReadSome(viewer.Get(), 1 << 20, 100, &closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(writer->GetClientCount(), 0);
    delete writer;
    profile->ReleaseAll();
    delete profile;
}

TEST(WmWriter, DeletedWhileWritingStopsServing) {
    const std::uint32_t port = FreePort();
    {
        WmProfile profile;
        ASSERT_EQ(profile.Create(), S_OK);
        ASSERT_EQ(profile.AddAudioStream(Audio()), S_OK);
        WmWriter writer;
        ASSERT_EQ(writer.Create(), S_OK);
        ASSERT_EQ(writer.OpenNetworkSink(port, 3), S_OK);
        ASSERT_EQ(writer.SetProfile(&profile), S_OK);
        ASSERT_EQ(writer.BeginWriting(), S_OK);
    }
    EXPECT_FALSE(Connect(port)) << "the port is free again";
}

}  // namespace
