#pragma once
// Command ids of the tray icon's context menu, for its template and the main
// window, which carries out each one. The menu has the tray icon's id.

#include "ui/MainMenuIds.h"

namespace traymenu {

enum CommandId : int {
    kRestore = 32780,         // the main window back from the tray
    kExit = mainmenu::kExit,  // the main menu's Exit, save prompt and all
};

}  // namespace traymenu
