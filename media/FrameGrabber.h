#pragma once
// The frame tap's receiver: keeps the latest preview frame in a DIB-layout
// buffer (24-bit BGR, rows bottom-up, padded to 4 bytes), lets the frame
// callback draw the caption into it, copies it back into the frame, and lends
// the pixels to the encoder under a small lock protocol.

#include <QImage>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "capture/MediaTypes.h"
#include "capture/SampleGrabber.h"
#include "platform/Event.h"

// The drawing context of the frame buffer: an image over the buffer's bytes.
// The image's rows are the buffer's, so it stands upside down; Orient turns a
// painter so that (0, 0) is the top-left of the picture as shown.
class QPainter;

class FrameDC {
  public:
    FrameDC(std::uint8_t* bits, int width, int height);
    QImage& Image() { return image_; }
    void Orient(QPainter& painter) const;

  private:
    QImage image_;
};

// Receives every frame the grabber keeps, to draw into it: OnFrame runs on the
// video streaming thread while the frame's drawing context is valid (null
// while the frame's size is not known), under the grabber's frame lock. It
// must return quickly and must not call the grabber or wait for the thread
// that installs callbacks, which may be waiting for it.
class FrameCallback {
  public:
    virtual void OnFrame(FrameDC* dc) = 0;

  protected:
    ~FrameCallback() = default;
};

class FrameGrabberCallback : public capture::ISampleGrabberCB {
  public:
    // width, height: the frame size the graph was built for. grabber (may be
    // null) tells the real size when the frame length changes.
    FrameGrabberCallback(int width, int height, RefPtr<capture::SampleGrabber> grabber);
    ~FrameGrabberCallback();
    FrameGrabberCallback(const FrameGrabberCallback&) = delete;
    FrameGrabberCallback& operator=(const FrameGrabberCallback&) = delete;

    HRESULT SampleCB(double sampleTime, capture::MediaSample* sample) override;
    // On the video streaming thread: copy in, caption, copy back. S_FALSE
    // when the frame is locked (the frame passes unchanged).
    HRESULT BufferCB(double sampleTime, std::uint8_t* buffer, long length) override;

    // Installs the frame callback (null: none). Waits for a frame in
    // progress, so the callback it replaces gets no call after it returns.
    void SetFrameCallback(FrameCallback* callback);
    // While set (the camera is gone and a card stands in for it), "No signal"
    // is written across the middle of each frame, under the caption.
    void SetNoSignal(bool noSignal) { noSignal_ = noSignal; }
    FrameDC* GetFrameDC() { return dc_.get(); }  // streaming thread, during the frame callback
    int GetFrameWidth() const { return width_; }
    int GetFrameHeight() const { return height_; }
    // Waits up to 1000 ms for a frame; its length, or 0 on time-out.
    int GetFrameLength();
    // Waits up to 1000 ms for a frame unless already locked; the pixels, or
    // null on time-out. Locked either way until UnlockFrame.
    std::uint8_t* LockFrame();
    void UnlockFrame();
    bool FrameLocked() const { return frameLocked_; }

  private:
    void ReleaseDib();

    std::atomic<int> width_;
    std::atomic<int> height_;
    std::atomic<int> frameLength_{0};
    std::unique_ptr<std::uint8_t[]> pixels_;
    std::unique_ptr<FrameDC> dc_;
    FrameCallback* callback_ = nullptr;  // under frameMutex_
    Event frameReady_{Event::Kind::ManualReset, false};
    std::atomic<bool> frameLocked_{false};
    std::atomic<bool> noSignal_{false};
    // Held while a frame is copied and captioned, so that a lock is taken
    // between frames and never lands in the middle of a copy. The frame
    // callback is called under it: the callback only draws into the frame
    // and waits for nothing, so whoever waits for this lock (the encoder's
    // LockFrame, SetFrameCallback) waits one frame at most.
    std::mutex frameMutex_;
    RefPtr<capture::SampleGrabber> grabber_;
};
