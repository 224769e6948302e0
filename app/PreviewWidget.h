#pragma once
// The main window's preview (the black rectangle): frames come from the
// capture's video streaming thread, which scales each one down to the
// rectangle's size as it copies it; the user-interface thread only copies the
// result to the screen. Only the newest frame counts: a frame that arrives
// before the last one was painted replaces it, so nothing queues up while the
// window is busy, and the buffers are reused, so the steady state allocates
// nothing per frame.

#include <QWidget>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "capture/PreviewSurface.h"

class PreviewWidget : public QWidget, public capture::PreviewSurface {
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
    void resizeEvent(QResizeEvent* event) override;

  private:
    // A picture at the preview's size, upright, as 32-bit pixels.
    struct Picture {
        std::vector<std::uint32_t> pixels;
        int width = 0;
        int height = 0;
    };
    void Scale(const std::uint8_t* bits, int width, int height, Picture* into);
    void RequestPaint();

    // The preview's size, for the capture thread.
    std::atomic<int> targetWidth_{0};
    std::atomic<int> targetHeight_{0};

    // Capture thread only: where the next frame is scaled to, and the source
    // columns of each target column for the last frame width.
    Picture scaling_;
    std::vector<int> sourceColumns_;
    int columnsForWidth_ = 0;

    std::mutex mutex_;
    Picture incoming_;  // the newest picture not yet painted
    bool fresh_ = false;
    Picture shown_;  // the picture on the screen; user-interface thread only
    std::atomic<bool> paintPending_{false};
    std::atomic<std::uint64_t> painted_{0};
};
