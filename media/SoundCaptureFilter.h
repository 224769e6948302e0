#pragma once
// Our audio tap: a pass-through transform that copies every captured buffer
// to its output and then hands the input bytes to the audio callback. The
// capture library inserts it as "MySoundCapture" in front of the null renderer.

#include <atomic>
#include <cstdint>

#include "capture/TransformFilter.h"

// One captured PCM buffer: its bytes and byte count; the result is ignored.
using AudioChunkCallback = int (*)(std::uint8_t* data, std::int32_t length);

class SoundCaptureFilter : public capture::TransformFilter {
  public:
    SoundCaptureFilter() = default;

    // Written by the user-interface thread, read on the audio streaming thread.
    void SetAudioCallback(AudioChunkCallback callback) { callback_ = callback; }

    HRESULT CheckInputType(const capture::MediaType& type) override;
    HRESULT CheckTransform(const capture::MediaType& in, const capture::MediaType& out) override;
    HRESULT GetMediaType(int position, capture::MediaType* type) override;
    // The output pin's check.
    HRESULT CheckOutputType(const capture::MediaType& type) override;

  protected:
    HRESULT Transform(capture::MediaSample* in, capture::MediaSample* out) override;
    HRESULT DecideBufferSize(capture::BufferAllocator* allocator,
                             capture::AllocatorProperties* request) override;

  private:
    HRESULT Copy(capture::MediaSample* source, capture::MediaSample* dest);

    std::atomic<AudioChunkCallback> callback_{nullptr};
};
