#pragma once
// The encoding profile of a broadcast: one video stream ("Camera") and one
// audio stream ("Microphone") built from the runtime's codec lists. The
// Server setup dialog keeps one of its own only to list codecs and formats.
// Created with new, filled by Create, emptied by ReleaseAll, then deleted.

#include <cstdint>
#include <utility>

#include "platform/RefPtr.h"
#include "platform/hresult.h"
#include "wmvcore/wmvcore.h"

// What AddVideoStream needs.
struct VideoStreamParams {
    std::uint32_t codecIndex;   // into the runtime's video codec list
    std::uint32_t formatIndex;  // the main window always passes 0
    std::uint32_t bitrate;      // bits per second
    const wmv::RECT* sourceRect;
    const wmv::RECT* targetRect;   // its size is the frame size
    std::int32_t framesPerSecond;  // -1: no rate given
    std::uint32_t quality;         // 1..100
    const wchar_t* streamName;
    const wchar_t* connectionName;
};

// What AddAudioStream needs.
struct AudioStreamParams {
    std::uint32_t codecIndex;
    std::uint32_t formatIndex;
    const wchar_t* streamName;
    const wchar_t* connectionName;
};

class WmProfile {
  public:
    WmProfile() = default;
    // Releases what ReleaseAll has not.
    ~WmProfile() = default;
    WmProfile(const WmProfile&) = delete;
    WmProfile& operator=(const WmProfile&) = delete;

    // Creates the profile manager, an empty version 9 profile and the codec
    // information; on failure nothing is kept.
    HRESULT Create();

    // Codec lists (E_FAIL before Create). Names are wide, length in
    // characters in and out.
    HRESULT GetVideoCodecCount(std::uint32_t* count);
    HRESULT GetVideoCodecName(std::uint32_t codec, wchar_t* name, std::uint32_t* length);
    HRESULT GetAudioCodecCount(std::uint32_t* count);
    HRESULT GetAudioFormatCount(std::uint32_t codec, std::uint32_t* count);
    HRESULT GetAudioCodecName(std::uint32_t codec, wchar_t* name, std::uint32_t* length);
    // The first 20 bytes of the format's WAVEFORMATEX block (the record and
    // the two bytes behind it).
    HRESULT GetAudioFormat(std::uint32_t codec, std::uint32_t format, void* waveFormat);

    // Add one stream each; E_INVALIDARG when the codec format carries an
    // unexpected format type.
    HRESULT AddVideoStream(const VideoStreamParams& params);
    HRESULT AddAudioStream(const AudioStreamParams& params);

    // Releases codec information, profile and profile manager, in that order.
    void ReleaseAll();

    // The profile being built, for the writer; null before Create and after
    // ReleaseAll.
    wmv::IWMProfile* Profile() const { return profile_.Get(); }
    // Where the codec lists and formats come from. Another source can be put
    // in after Create (tests use one whose formats are unusual).
    wmv::IWMCodecInfo* CodecInfo() const { return codecInfo_.Get(); }
    void SetCodecInfo(RefPtr<wmv::IWMCodecInfo> codecInfo) { codecInfo_ = std::move(codecInfo); }
    bool HasProfileManager() const { return static_cast<bool>(profileManager_); }

  private:
    HRESULT GetCodecCount(const wmv::GUID& type, std::uint32_t* count);
    HRESULT GetCodecName(const wmv::GUID& type, std::uint32_t codec, wchar_t* name,
                         std::uint32_t* length);

    // Declared in the reverse of the order they are released in.
    RefPtr<wmv::IWMProfileManager> profileManager_;
    RefPtr<wmv::IWMProfile> profile_;
    RefPtr<wmv::IWMCodecInfo> codecInfo_;
};
