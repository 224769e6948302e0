#pragma once
// Our audio tap: a pass-through transform that copies every captured buffer
// to its output and then hands the input bytes to the audio callback. The
// capture library inserts it as "MySoundCapture" in front of the null renderer.

#include <atomic>
#include <cstdint>

#include "platform/capture/TransformFilter.h"

// One captured PCM buffer: its bytes and byte count; the result is ignored.
using AudioChunkCallback = int (*)(std::uint8_t* data, std::int32_t length);

class SoundCaptureFilter : public TransformFilter {
  public:
    SoundCaptureFilter() = default;

    // Written by the user-interface thread, read on the audio streaming thread.
    void SetAudioCallback(AudioChunkCallback callback) { callback_ = callback; }

    HRESULT CheckInputType(const MediaType& type) override;
    HRESULT CheckTransform(const MediaType& in, const MediaType& out) override;
    HRESULT GetMediaType(int position, MediaType* type) override;
    // The output pin's check.
    HRESULT CheckOutputType(const MediaType& type) override;

  protected:
    HRESULT Transform(MediaSample* in, MediaSample* out) override;
    HRESULT DecideBufferSize(BufferAllocator* allocator, AllocatorProperties* request) override;

  private:
    HRESULT Copy(MediaSample* source, MediaSample* dest);

    std::atomic<AudioChunkCallback> callback_{nullptr};
};
