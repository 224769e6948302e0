#pragma once
// Shared pieces of libwmvcore's implementation: the codec tables and the
// stream configuration object (the FFmpeg handle owners are in
// platform/FfmpegHandles.h).

#include <string>
#include <vector>

#include "platform/FfmpegHandles.h"
#include "wmvcore/wmvcore.h"

namespace wmv {

// One media type with its own copy of the format block.
struct MediaType {
    WM_MEDIA_TYPE header{};  // pbFormat and cbFormat are not used here
    std::vector<std::uint8_t> format;

    const VIDEOINFOHEADER* VideoInfo() const;
    const WAVEFORMATEX* Wave() const;
};

// One codec the runtime offers: its encoder and its formats.
struct CodecDesc {
    std::wstring name;
    AVCodecID id;
    std::uint32_t tag;  // FOURCC for video, format tag for audio
    std::vector<MediaType> formats;
};

// The codec lists, best first. Audio formats are only those the encoder
// accepted when the list was built.
const std::vector<CodecDesc>& VideoCodecs();
const std::vector<CodecDesc>& AudioCodecs();
// The codec whose subtype a media type carries, or null.
const CodecDesc* FindCodec(const MediaType& type);

// The state of a stream configuration, copied in and out of profiles.
struct StreamData {
    GUID streamType{};
    std::uint16_t number = 0;
    std::wstring name;
    std::wstring connection;
    std::uint32_t bitrate = 0;
    std::uint32_t bufferWindow = 0;
    MediaType mediaType;
    std::int64_t maxKeyFrameSpacing = 0;
    std::uint32_t quality = 0;
};

class StreamConfig final : public IWMStreamConfig, public IWMVideoMediaProps {
  public:
    explicit StreamConfig(StreamData data) : data_(std::move(data)) {}
    const StreamData& Data() const { return data_; }

    HRESULT GetStreamType(GUID* type) override;
    HRESULT GetStreamNumber(std::uint16_t* number) override;
    HRESULT SetStreamNumber(std::uint16_t number) override;
    HRESULT GetStreamName(wchar_t* name, std::uint16_t* length) override;
    HRESULT SetStreamName(const wchar_t* name) override;
    HRESULT GetConnectionName(wchar_t* name, std::uint16_t* length) override;
    HRESULT SetConnectionName(const wchar_t* name) override;
    HRESULT GetBitrate(std::uint32_t* bitrate) override;
    HRESULT SetBitrate(std::uint32_t bitrate) override;
    HRESULT GetBufferWindow(std::uint32_t* ms) override;
    HRESULT SetBufferWindow(std::uint32_t ms) override;

    HRESULT GetType(GUID* type) override;
    HRESULT GetMediaType(WM_MEDIA_TYPE* type, std::uint32_t* size) override;
    HRESULT SetMediaType(const WM_MEDIA_TYPE* type) override;
    HRESULT GetMaxKeyFrameSpacing(std::int64_t* spacing) override;
    HRESULT SetMaxKeyFrameSpacing(std::int64_t spacing) override;
    HRESULT GetQuality(std::uint32_t* quality) override;
    HRESULT SetQuality(std::uint32_t quality) override;

  protected:
    void* Find(Iid iid) override;

  private:
    bool IsVideo() const { return data_.streamType == WMMEDIATYPE_Video; }
    StreamData data_;
};

// An FFmpeg error as an HRESULT.
HRESULT FromAv(int error);

// Reports encoding failures on standard error: a stream that keeps failing
// is reported a few times, not once per frame. One reporter is shared by the
// encoders of one writer.
class FailureReport {
  public:
    void operator()(const char* what, int error);
    void Reset() { reported_ = 0; }

  private:
    std::uint32_t reported_ = 0;
};

// The profile's streams as the writer reads them.
class Profile;
std::vector<StreamData> ProfileStreams(IWMProfile* profile);

}  // namespace wmv
