#pragma once
// The Servers dialog: the remote servers list with Add, Change, Remove and
// Connect. The list lives while the dialog is open and every completed
// change rewrites "srvlist.cfg" in the current directory. Connect opens a
// player window that belongs to the player owner and outlives the dialog.

#include <QDialog>

#include "settings/ServerList.h"
#include "ui/toolkit/DialogBuilder.h"

class QTreeWidget;

class ServersListDlg : public QDialog {
    Q_OBJECT

  public:
    // parent: the window the dialog is modal over; playerOwner: the window
    // the player windows belong to (the main window), may be null.
    ServersListDlg(QWidget* parent, QWidget* playerOwner);

    // Empties the list and reads the file; a missing file leaves it empty.
    void LoadServerList();
    // Writes the file; shows "Cannot save servers list" and returns false
    // when it cannot. The list keeps its entries either way.
    bool SaveServerList();
    // Rebuilds the list view from the list. This clears the selection mark.
    void RefreshServerView();

    // The command handlers of the buttons.
    void OnAdd();
    void OnChange();
    void OnRemove();
    void OnConnect();

    // Runs the "Add / change server" dialog on entry and applies the list's
    // rules to what was typed. True when entry took a valid new content;
    // false on Cancel or after the refusal message.
    bool EditServerEntry(ServerEntry* entry);

    const ServerList& Servers() const { return m_serverList; }
    QTreeWidget* ListView() const { return listView_; }
    // The row the user last selected, kept when the selection is cleared and
    // reset when the view is rebuilt; -1 for none.
    int SelectionMark() const { return selectionMark_; }

  private:
    ServerEntry* MarkedEntry() const;

    ServerList m_serverList;
    DialogControls controls_;
    QTreeWidget* listView_;
    QWidget* playerOwner_;
    int selectionMark_ = -1;
};
