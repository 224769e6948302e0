#pragma once
// The dialogs the main window opens, each as one call, so that each can be
// built and tested alone.

class CapLib;
namespace capture {
class PreviewSurface;
}
class QWidget;

// The whole Options flow: fills the dialog from g_settings and, on OK, copies
// it back and sets configChanged. Returns IDOK or IDCANCEL.
int RunOptionsDialog(QWidget* owner);

// The Server setup dialog alone (the main window stops and restarts the
// broadcast around it): IDOK or IDCANCEL.
int RunServerSetup(QWidget* owner, CapLib* capture, capture::PreviewSurface* preview);

// The Servers dialog; the player windows it opens outlive it and belong to
// owner.
void RunServersDialog(QWidget* owner);
