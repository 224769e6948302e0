#pragma once
// Our audio tap: a pass-through transform that copies every captured buffer
// to its output and then hands the input bytes to the audio callback. The
// capture library inserts it as "MySoundCapture" in front of the null renderer.

#include <cstdint>
#include <mutex>

#include "capture/TransformFilter.h"

// Receives every captured PCM buffer (its bytes and byte count) on the audio
// streaming thread, under the tap's callback lock. It must not wait for the
// thread that installs callbacks or stops the capture, which may be waiting
// for it.
class AudioChunkCallback {
  public:
    virtual void OnAudioChunk(const std::uint8_t* data, std::int32_t length) = 0;

  protected:
    ~AudioChunkCallback() = default;
};

class SoundCaptureFilter : public capture::TransformFilter {
  public:
    SoundCaptureFilter() = default;

    // Installs the audio callback (null: none), on the user-interface thread.
    // Waits for a buffer in progress, so the callback it replaces gets no call
    // after it returns.
    void SetAudioCallback(AudioChunkCallback* callback);

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

    // Held across the callback's call, so that replacing it waits for a call
    // in progress; the callback waits for nothing, so neither can stall.
    std::mutex callbackMutex_;
    AudioChunkCallback* callback_ = nullptr;
};
