#pragma once
// Message boxes as Qt dialogs: the desktop program installs this handler for
// platform/MessageBox.h at start. The box shows the text and caption as
// given, the type's buttons in their order with its default button and its
// icon, and answers with the button pressed. Escape and the close box answer
// Cancel, or a box's only button; a box of several buttons without Cancel
// (Yes and No) waits for one of them. A box asked for on another thread is shown on
// the user-interface thread while the asking thread waits.

#include <string>

int QtMessageBox(const std::string& text, const std::string& caption, unsigned type);

// Installs QtMessageBox as the process's message box handler.
void InstallQtMessageBoxes();
