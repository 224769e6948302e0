#pragma once
// The frame tap of the preview: converts the camera's frames to 24-bit BGR
// with rows bottom-up and padded to 4 bytes (the layout of a DIB section) and
// hands each frame, writable, to a callback on the video streaming thread
// before it goes on to the renderer.

#include <atomic>
#include <mutex>
#include <vector>

#include "capture/Filter.h"
#include "capture/HookElement.h"

namespace capture {

class MediaSample;

// Receives the frames of a SampleGrabber, on the video streaming thread and
// under the grabber's callback lock. BufferCB gets the frame's bytes: sample
// time in seconds, the buffer (writable) and its length. Neither call may
// wait for the thread that sets the callback or stops the graph.
class ISampleGrabberCB {
  public:
    virtual HRESULT SampleCB(double sampleTime, MediaSample* sample) = 0;
    virtual HRESULT BufferCB(double sampleTime, std::uint8_t* buffer, long length) = 0;

  protected:
    ~ISampleGrabberCB() = default;
};

class SampleGrabber : public BaseFilter, private ElementHooks {
  public:
    SampleGrabber();
    ~SampleGrabber() override;

    // Only video as RGB24 is offered.
    HRESULT SetMediaType(const MediaType& type);
    // The format frames arrive in: once running the negotiated one; before,
    // what the connected device will deliver (without a format block when
    // the size is not known yet). VFW_E_NOT_CONNECTED without an input.
    HRESULT GetConnectedMediaType(MediaType* type) const;
    // Keeping copies of samples and one-shot mode are not offered.
    HRESULT SetBufferSamples(bool buffer);
    HRESULT SetOneShot(bool oneShot);
    // which: 0 = SampleCB, 1 = BufferCB. Setting a callback waits for a call
    // in progress to finish, so the old callback may be destroyed afterwards.
    HRESULT SetCallback(ISampleGrabberCB* callback, int which);
    // The size of the frames passing now (streaming thread safe).
    bool GetCurrentFrameSize(int* width, int* height) const;
    std::uint64_t FramesGrabbed() const { return frames_.load(); }

  private:
    GstCaps* TransformCaps(GstPadDirection direction, GstCaps* caps) override;
    bool SetCaps(GstCaps* in, GstCaps* out) override;
    GstFlowReturn TransformIp(GstBuffer* buffer) override;

    GstElement* core_ = nullptr;
    std::mutex callbackMutex_;
    ISampleGrabberCB* callback_ = nullptr;
    int which_ = 1;
    std::atomic<int> width_{0};
    std::atomic<int> height_{0};
    std::atomic<std::uint64_t> frames_{0};
    std::vector<std::uint8_t> row_;  // scratch for the row swap, sized by SetCaps
    bool strideWarned_ = false;
};

}  // namespace capture
