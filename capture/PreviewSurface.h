#pragma once
// Where the preview renderer puts frames. The main window provides a surface
// later; tests and the headless program use HeadlessSurface.

#include <cstdint>
#include <mutex>
#include <vector>

namespace capture {

class PreviewSurface {
  public:
    virtual ~PreviewSurface() = default;
    // Called on the video streaming thread, under the renderer's lock: one
    // frame as 24-bit BGR, rows bottom-up, each row padded to 4 bytes. The
    // bytes are valid only during the call. It must not wait for the
    // user-interface thread, which may be waiting for the renderer.
    virtual void ShowFrame(const std::uint8_t* bits, int width, int height) = 0;
    // Erases the picture (the preview stopped).
    virtual void Clear() = 0;
};

// Keeps a copy of the last frame and counts frames; no display needed.
class HeadlessSurface : public PreviewSurface {
  public:
    void ShowFrame(const std::uint8_t* bits, int width, int height) override;
    void Clear() override;

    std::uint64_t FrameCount() const;
    bool Cleared() const;
    // Copies the last frame; false if none is shown.
    bool LastFrame(std::vector<std::uint8_t>* bits, int* width, int* height) const;

  private:
    mutable std::mutex mutex_;
    std::vector<std::uint8_t> last_;
    int width_ = 0;
    int height_ = 0;
    std::uint64_t frames_ = 0;
    bool cleared_ = false;
};

}  // namespace capture
