#include "ui/toolkit/Menus.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>

QMenuBar* BuildMenuBar(const MenuTemplate& menu, QWidget* parent,
                       std::function<void(int id)> onCommand) {
    auto* bar = new QMenuBar(parent);
    for (const MenuPopupTemplate& popup : menu.popups) {
        FillPopupMenu(bar->addMenu(QString::fromLocal8Bit(popup.text)), popup, onCommand);
    }
    return bar;
}

void FillPopupMenu(QMenu* menu, const MenuPopupTemplate& popup,
                   std::function<void(int id)> onCommand) {
    for (const MenuItemTemplate& item : popup.items) {
        if (item.id == 0) {
            menu->addSeparator();
            continue;
        }
        QAction* action = menu->addAction(QString::fromLocal8Bit(item.text));
        action->setData(item.id);
        const int id = item.id;
        QObject::connect(action, &QAction::triggered, menu, [onCommand, id] {
            if (onCommand) onCommand(id);
        });
    }
}

QAction* FindMenuCommand(const QMenuBar* bar, int id) {
    for (QAction* popup : bar->actions()) {
        if (!popup->menu()) continue;
        for (QAction* action : popup->menu()->actions()) {
            if (!action->isSeparator() && action->data().toInt() == id) return action;
        }
    }
    return nullptr;
}
