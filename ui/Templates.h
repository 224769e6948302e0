#pragma once
// The program's dialog templates and its menus, by their resource ids.

#include "ui/toolkit/DialogTemplate.h"

enum DialogId : int {
    kMainDialogId = 102,
    kAboutDialogId = 140,
    kServerSetupDialogId = 149,
    kServersDialogId = 164,
    kServerEditDialogId = 165,
    kOptionsDialogId = 174,
    kRelayDialogId = 175,
    kViewerAccessDialogId = 176,
};

constexpr int kMainMenuId = 129;
// The tray icon's context menu has the icon's id (ui/TrayMenuIds.h).
constexpr int kTrayMenuId = 128;

// The template of a dialog id; null for an id the program has no dialog for.
const DialogTemplate* FindDialogTemplate(int id);

// Menu 129 of the main window.
const MenuTemplate& MainMenuTemplate();

// The menu of an id; null for an id the program has no menu for.
const MenuTemplate* FindMenuTemplate(int id);
