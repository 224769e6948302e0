#pragma once
// Menus as data: builds the menu bar of a menu template, or one popup of it.
// Every command's action carries its id, and choosing it calls the owner's
// command handler with that id, as a menu command would reach a window.

#include <functional>

#include "ui/toolkit/DialogTemplate.h"

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

QMenuBar* BuildMenuBar(const MenuTemplate& menu, QWidget* parent,
                       std::function<void(int id)> onCommand);

// Fills menu with the commands and separators of popup.
void FillPopupMenu(QMenu* menu, const MenuPopupTemplate& popup,
                   std::function<void(int id)> onCommand);

// The action of a command id in a menu bar; null when it has none.
QAction* FindMenuCommand(const QMenuBar* bar, int id);
