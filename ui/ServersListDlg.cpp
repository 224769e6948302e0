#include "ui/ServersListDlg.h"

#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidget>

#include "platform/MessageBox.h"
#include "settings/ConfigFile.h"
#include "ui/Dialogs.h"
#include "ui/RemotePlayerWindow.h"
#include "ui/ServerEditDlg.h"
#include "ui/ServersListIds.h"
#include "ui/Templates.h"

using namespace serverslist;

namespace {

constexpr int kNameColumnWidth = 80;
constexpr int kAddressColumnWidth = 140;

constexpr char kCannotSave[] = "Cannot save servers list";
constexpr char kIncorrectEntry[] = "Incorrect server information";

}  // namespace

ServersListDlg::ServersListDlg(QWidget* parent, QWidget* playerOwner)
    : QDialog(parent), playerOwner_(playerOwner) {
    // Modal over the window that opened it, and no other: the player windows
    // it opens take input while it stays open.
    setWindowModality(Qt::WindowModal);
    controls_ = BuildDialog(this, *FindDialogTemplate(kServersDialogId));
    listView_ = controls_.Get<QTreeWidget>(kListView);
    listView_->setColumnCount(2);
    listView_->setHeaderLabels({QStringLiteral("Name"), QStringLiteral("Address")});
    listView_->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    listView_->setColumnWidth(0, kNameColumnWidth);
    listView_->setColumnWidth(1, kAddressColumnWidth);

    // The mark follows the row the user selects and stays on it when the
    // selection is cleared, as the commands expect.
    connect(listView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection& selected) {
                if (!selected.indexes().isEmpty())
                    selectionMark_ = selected.indexes().front().row();
            });

    connect(controls_.Get<QPushButton>(kAddButton), &QPushButton::clicked, this,
            &ServersListDlg::OnAdd);
    connect(controls_.Get<QPushButton>(kChangeButton), &QPushButton::clicked, this,
            &ServersListDlg::OnChange);
    connect(controls_.Get<QPushButton>(kRemoveButton), &QPushButton::clicked, this,
            &ServersListDlg::OnRemove);
    connect(controls_.Get<QPushButton>(kConnectButton), &QPushButton::clicked, this,
            &ServersListDlg::OnConnect);
    connect(controls_.Get<QPushButton>(IDCANCEL), &QPushButton::clicked, this, &QDialog::reject);

    LoadServerList();
    RefreshServerView();
}

void ServersListDlg::LoadServerList() {
    LoadServerListFile(kServerListFileName, &m_serverList);
}

bool ServersListDlg::SaveServerList() {
    if (SaveServerListFile(kServerListFileName, m_serverList)) return true;
    MessageBox(kCannotSave, kSettingsMessageCaption, MB_OK | MB_ICONSTOP);
    return false;
}

void ServersListDlg::RefreshServerView() {
    listView_->clear();
    selectionMark_ = -1;
    for (ServerEntry& entry : m_serverList) {
        auto* item = new QTreeWidgetItem(listView_);
        item->setText(0, QString::fromLocal8Bit(ServerField(entry.name, sizeof entry.name)));
        item->setText(1, QString::fromLocal8Bit(ServerField(entry.address, sizeof entry.address)));
        item->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(&entry)));
    }
}

ServerEntry* ServersListDlg::MarkedEntry() const {
    const QTreeWidgetItem* item = listView_->topLevelItem(selectionMark_);
    if (!item) return nullptr;
    return reinterpret_cast<ServerEntry*>(item->data(0, Qt::UserRole).value<quintptr>());
}

bool ServersListDlg::EditServerEntry(ServerEntry* entry) {
    ServerEditFields fields{std::string(ServerField(entry->name, sizeof entry->name)),
                            std::string(ServerField(entry->address, sizeof entry->address))};
    if (RunServerEditDialog(this, &fields) != IDOK) return false;
    if (MakeServerEntry(fields.name, fields.address, entry) != ServerEntryCheck::kOk) {
        MessageBox(kIncorrectEntry, kSettingsMessageCaption, MB_OK | MB_ICONSTOP);
        return false;
    }
    return true;
}

void ServersListDlg::OnAdd() {
    ServerEntry entry{};
    if (!EditServerEntry(&entry)) return;
    m_serverList.push_back(entry);
    RefreshServerView();
    SaveServerList();
}

void ServersListDlg::OnChange() {
    ServerEntry* marked = MarkedEntry();
    if (!marked) return;
    ServerEntry edited = *marked;
    if (!EditServerEntry(&edited)) return;
    *marked = edited;
    RefreshServerView();
    SaveServerList();
}

void ServersListDlg::OnRemove() {
    const ServerEntry* marked = MarkedEntry();
    if (!marked) return;
    m_serverList.remove_if([marked](const ServerEntry& entry) { return &entry == marked; });
    RefreshServerView();
    SaveServerList();
}

void ServersListDlg::OnConnect() {
    const ServerEntry* marked = MarkedEntry();
    if (!marked) return;
    auto* player = new RemotePlayerWindow(*marked, playerOwner_);
    // In front of this dialog and the main window, with the focus, as the
    // user asked for it.
    player->show();
    player->raise();
    player->activateWindow();
}

void RunServersDialog(QWidget* owner) {
    ServersListDlg dialog(owner, owner);
    dialog.exec();
}
