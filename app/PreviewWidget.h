#pragma once
// The main window's preview (the black rectangle): frames come from the
// capture's video streaming thread and are painted on the user-interface
// thread, scaled into the rectangle. Only the newest frame counts: a frame
// that arrives before the last one was painted replaces it, so nothing queues
// up while the window is busy, and the frame buffers are reused, so the
// steady state allocates nothing per frame.

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/capture/PreviewSurface.h"

class PreviewWidget : public QWidget, public PreviewSurface {
    Q_OBJECT

  public:
    explicit PreviewWidget(QWidget* parent = nullptr);

    // Video streaming thread: a 24-bit BGR frame, rows bottom-up, padded to 4 bytes.
    void ShowFrame(const std::uint8_t* bits, int width, int height) override;
    // Any thread: the preview stopped; the rectangle goes black.
    void Clear() override;

    // Frames painted so far (for tests and the benchmark).
    std::uint64_t PaintedFrames() const { return painted_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    struct Frame {
        std::vector<std::uint8_t> bits;
        int width = 0;
        int height = 0;
    };
    void RequestPaint();

    std::mutex mutex_;
    Frame incoming_;  // the newest frame not yet painted
    bool fresh_ = false;
    Frame shown_;  // the frame being painted; user-interface thread only
    std::vector<std::uint8_t> spare_;
    std::atomic<bool> paintPending_{false};
    std::atomic<std::uint64_t> painted_{0};
};
