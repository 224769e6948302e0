#pragma once
// The caption stamped into every preview frame: the local date and time in
// the user's short date and time formats, or a fixed text of the user's. The
// main window's frame callback calls DrawCaptionFor with its capture library.

#include <QString>

class CapLib;
class FrameDC;

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

// The frame callback's work, on the video streaming thread: records the
// assertion "m_hDlg" in the error trail when capLib is null, does nothing
// without a frame, else draws the caption that g_settings asks for.
void DrawCaptionFor(CapLib* capLib);
