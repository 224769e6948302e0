#pragma once
// The caption stamped into every preview frame: the local date and time in
// the user's short date and time formats, or a fixed text of the user's. The
// broadcast session installs a CaptionOverlay as the capture library's frame
// callback and hands it a new caption when the user changes it.

#include <QString>
#include <memory>
#include <mutex>
#include <string>

#include "media/FrameGrabber.h"

// The caption text: "<date> <time>" when dateTime is set, else text.
QString CaptionText(bool dateTime, const char* text);

// CaptionText for the calling thread, made again only when the second or the
// text changes, so that a frame's caption usually costs no formatting.
const QString& CurrentCaptionText(bool dateTime, const char* text);

// Draws text into the frame: black at (3, 3), then white at (2, 2), in the
// default font without smoothing, on a transparent background. Nothing is
// drawn before a QGuiApplication exists (Qt needs it for fonts). The text is
// drawn once per change into a stamp that each frame then receives, so a
// frame costs a few row writes and no allocation.
void DrawCaptionText(FrameDC* dc, const QString& text);

// What the caption shows: the date and time, or text (at most 127 bytes in
// the system's encoding).
struct CaptionChoice {
    bool dateTime = true;
    std::string text;
};

// The frame callback that draws the caption. The user-interface thread
// replaces the choice whole (SetCaption); the video streaming thread takes
// the current one for each frame, so a frame shows one choice, never a mix
// of two, and a change shows from the next frame on.
class CaptionOverlay final : public FrameCallback {
  public:
    explicit CaptionOverlay(CaptionChoice choice = {});

    void SetCaption(CaptionChoice choice);
    std::shared_ptr<const CaptionChoice> Caption() const;

    // Draws the current caption into the frame; nothing without one.
    void OnFrame(FrameDC* dc) override;

  private:
    // Held only to copy or swap the pointer: a choice, once made, is never
    // written again, so it is drawn from without the lock.
    mutable std::mutex mutex_;
    std::shared_ptr<const CaptionChoice> caption_;
};
