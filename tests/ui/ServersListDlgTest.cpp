// The Servers dialog as the user drives it: its buttons, the edit dialog, the
// list view and the file it rewrites after every change.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <QApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>

#include "platform/MessageBox.h"
#include "tests/support/GuiTest.h"
#include "tests/ui/ServersTestSupport.h"
#include "ui/Dialogs.h"
#include "ui/RemotePlayerWindow.h"
#include "ui/ServersListDlg.h"
#include "ui/ServersListIds.h"

namespace {

using namespace serverslist;
using serverstest::AnswerNextEdit;
using serverstest::EditAnswer;

const std::string kIncorrect = "Incorrect server information";
const std::string kCannotSave = "Cannot save servers list";

std::string Header(std::uint32_t count) {
    std::string bytes("\x01\0\0\0", 4);
    for (int shift = 0; shift < 32; shift += 8) bytes.push_back(static_cast<char>(count >> shift));
    return bytes;
}

class ServersListDlgTest : public testing::Test {
  protected:
    void SetUp() override { testsupport::EnsureApplication(); }

    void Click(ServersListDlg& dialog, int id) {
        dialog.findChild<QPushButton*>(QString::number(id))->click();
    }
    // Adds an entry through the Add button and the edit dialog.
    void Add(ServersListDlg& dialog, const QString& name, const QString& address) {
        EditAnswer answer{name, address};
        AnswerNextEdit(&answer);
        Click(dialog, kAddButton);
        ASSERT_TRUE(answer.seen);
    }
    // Selects a row as a click would.
    void Select(ServersListDlg& dialog, int row) {
        QTreeWidget* view = dialog.ListView();
        view->setCurrentItem(view->topLevelItem(row));
    }
    std::vector<std::pair<QString, QString>> Rows(ServersListDlg& dialog) {
        std::vector<std::pair<QString, QString>> rows;
        QTreeWidget* view = dialog.ListView();
        for (int i = 0; i < view->topLevelItemCount(); ++i)
            rows.emplace_back(view->topLevelItem(i)->text(0), view->topLevelItem(i)->text(1));
        return rows;
    }
    std::string ListBytes() const { return testsupport::ReadWholeFile(folder_.ListFile()); }
    // Player windows of an owner, the ones Connect opened.
    static QList<RemotePlayerWindow*> Players(QWidget* owner) {
        return owner->findChildren<RemotePlayerWindow*>(Qt::FindDirectChildrenOnly);
    }

    serverstest::CurrentFolder folder_;
    RecordingMessageBoxes boxes_;
};

TEST_F(ServersListDlgTest, AddsAreListedAndWrittenAtOnce) {
    ServersListDlg dialog(nullptr, nullptr);
    EXPECT_EQ(dialog.windowTitle(), "Servers");
    QTreeWidget* view = dialog.ListView();
    EXPECT_EQ(view->headerItem()->text(0), "Name");
    EXPECT_EQ(view->headerItem()->text(1), "Address");
    EXPECT_EQ(view->columnWidth(0), 80);
    EXPECT_EQ(view->columnWidth(1), 140);
    EXPECT_EQ(view->topLevelItemCount(), 0);

    struct Case {
        QString name, address, shownAddress;
        std::size_t fileSize;
    };
    const std::vector<Case> cases = {
        {"Studio", "192.168.0.5:8080", "http://192.168.0.5:8080", 200},
        {"Second CAM", "HTTP://192.168.0.7:8080/Live", "http://192.168.0.7:8080/live", 392},
        {"relay", "MMS://10.0.0.1/A?u=http://10.0.0.2", "mms://10.0.0.1/a?u=http://10.0.0.2", 584},
    };
    std::vector<std::pair<QString, QString>> expected;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        EditAnswer answer{c.name, c.address};
        AnswerNextEdit(&answer);
        Click(dialog, kAddButton);
        ASSERT_TRUE(answer.seen);
        EXPECT_EQ(answer.shownName, "");  // Add opens with empty fields
        EXPECT_EQ(answer.shownAddress, "");
        expected.emplace_back(c.name, c.shownAddress);
        EXPECT_EQ(Rows(dialog), expected);
        EXPECT_EQ(ListBytes().size(), c.fileSize);
    }
    const std::string file = ListBytes();
    EXPECT_EQ(file.substr(0, 8), Header(3));
    EXPECT_EQ(std::string(file.c_str() + 200), "Second CAM");
    EXPECT_EQ(std::string(file.c_str() + 200 + 64), "http://192.168.0.7:8080/live");
    EXPECT_EQ(boxes_.Count(), 0u);

    // The next dialog finds them again.
    ServersListDlg reopened(nullptr, nullptr);
    EXPECT_EQ(Rows(reopened), expected);
}

TEST_F(ServersListDlgTest, RefusedEntriesChangeNothing) {
    ServersListDlg dialog(nullptr, nullptr);
    Add(dialog, "Studio", "192.168.0.5:8080");
    const std::string file = ListBytes();
    struct Case {
        const char* what;
        QString name, address;
    };
    const std::vector<Case> cases = {
        {"empty name", "", "192.168.0.9"},
        {"empty address", "Other", ""},
        {"address too long once prefixed", "Other", QString(121, 'a')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        boxes_.Clear();
        EditAnswer answer{c.name, c.address};
        AnswerNextEdit(&answer);
        Click(dialog, kAddButton);
        ASSERT_TRUE(answer.seen);
        ASSERT_EQ(boxes_.Count(), 1u);
        EXPECT_EQ(boxes_.Boxes()[0].text, kIncorrect);
        EXPECT_EQ(boxes_.Boxes()[0].type, MB_OK | MB_ICONSTOP);
        EXPECT_EQ(dialog.ListView()->topLevelItemCount(), 1);
        EXPECT_EQ(ListBytes(), file);
    }
    // A refused Change leaves the entry too.
    boxes_.Clear();
    Select(dialog, 0);
    EditAnswer answer{"Renamed", ""};
    AnswerNextEdit(&answer);
    Click(dialog, kChangeButton);
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(Rows(dialog).at(0),
              std::make_pair(QString("Studio"), QString("http://192.168.0.5:8080")));
    EXPECT_EQ(ListBytes(), file);
}

TEST_F(ServersListDlgTest, CommandsOnAnEmptyListDoNothing) {
    QWidget owner;
    ServersListDlg dialog(nullptr, &owner);
    // Any dialog that opens is noted and closed again.
    bool opened = false;
    QTimer watchdog;
    watchdog.setInterval(5);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            opened = true;
            modal->close();
        }
    });
    watchdog.start();
    for (int id : {kChangeButton, kRemoveButton, kConnectButton}) Click(dialog, id);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(50));
    EXPECT_FALSE(opened);
    EXPECT_TRUE(Players(&owner).isEmpty());
    EXPECT_EQ(boxes_.Count(), 0u);
    EXPECT_FALSE(std::filesystem::exists(folder_.ListFile()));
}

TEST_F(ServersListDlgTest, ChangeEditsTheMarkedEntryAndCancelKeepsIt) {
    ServersListDlg dialog(nullptr, nullptr);
    Add(dialog, "Studio", "192.168.0.5:8080");
    Add(dialog, "Live", "192.168.0.7:8080/live");
    const std::string before = ListBytes();

    Select(dialog, 1);
    EditAnswer cancelled{"Changed", "10.0.0.1", /*ok=*/false};
    AnswerNextEdit(&cancelled);
    Click(dialog, kChangeButton);
    ASSERT_TRUE(cancelled.seen);
    EXPECT_EQ(cancelled.shownName, "Live");  // Change opens with the entry
    EXPECT_EQ(cancelled.shownAddress, "http://192.168.0.7:8080/live");
    EXPECT_EQ(Rows(dialog).at(1),
              std::make_pair(QString("Live"), QString("http://192.168.0.7:8080/live")));
    EXPECT_EQ(ListBytes(), before);

    // The mark is still on the row: the next Change edits it.
    EditAnswer changed{"Live B", "10.0.0.1:8080"};
    AnswerNextEdit(&changed);
    Click(dialog, kChangeButton);
    ASSERT_TRUE(changed.seen);
    EXPECT_EQ(Rows(dialog).at(0).first, "Studio");
    EXPECT_EQ(Rows(dialog).at(1),
              std::make_pair(QString("Live B"), QString("http://10.0.0.1:8080")));
    const std::string after = ListBytes();
    ASSERT_EQ(after.size(), 392u);
    EXPECT_EQ(std::string(after.c_str() + 200), "Live B");
    EXPECT_EQ(std::string(after.c_str() + 264), "http://10.0.0.1:8080");
}

// The commands act on the row the user last selected, even when the
// selection has been cleared since; rebuilding the view forgets it.
TEST_F(ServersListDlgTest, CommandsFollowTheSelectionMark) {
    ServersListDlg dialog(nullptr, nullptr);
    for (const char* name : {"A", "B", "C"}) Add(dialog, name, QString("h") + name);
    EXPECT_EQ(dialog.SelectionMark(), -1);

    // The view taking the focus makes a row current without selecting it:
    // no mark, nothing removed.
    dialog.show();
    dialog.ListView()->setFocus(Qt::TabFocusReason);
    testsupport::ProcessEventsFor(std::chrono::milliseconds(20));
    Click(dialog, kRemoveButton);
    EXPECT_EQ(dialog.ListView()->topLevelItemCount(), 3);

    Select(dialog, 1);
    dialog.ListView()->clearSelection();
    EXPECT_EQ(dialog.SelectionMark(), 1);
    Click(dialog, kRemoveButton);
    ASSERT_EQ(Rows(dialog).size(), 2u);
    EXPECT_EQ(Rows(dialog)[0].first, "A");
    EXPECT_EQ(Rows(dialog)[1].first, "C");
    EXPECT_EQ(ListBytes().size(), 8u + 2 * 192);

    EXPECT_EQ(dialog.SelectionMark(), -1);
    Click(dialog, kRemoveButton);
    EXPECT_EQ(Rows(dialog).size(), 2u);

    // Selecting by keyboard moves the mark too.
    Select(dialog, 0);
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(dialog.ListView(), &down);
    EXPECT_EQ(dialog.SelectionMark(), 1);
    Click(dialog, kRemoveButton);
    ASSERT_EQ(Rows(dialog).size(), 1u);
    EXPECT_EQ(Rows(dialog)[0].first, "A");
}

// Moving through the list by keyboard selects the row it lands on, also the
// row that held the focus mark unselected, and Enter there connects to it
// (Connect is the default button).
TEST_F(ServersListDlgTest, KeyboardMovementSelectsTheRowThatEnterConnects) {
    const QString address = QString("127.0.0.1:%1").arg(testsupport::UnusedPort());
    {
        ServersListDlg dialog(nullptr, nullptr);
        for (const char* name : {"A", "B", "C"}) Add(dialog, name, address);
    }
    struct Case {
        Qt::Key key;
        int markedRow;  // the row with the focus mark, unselected
        const char* connected;
    };
    const Case cases[] = {
        {Qt::Key_Home, 0, "A"},     {Qt::Key_End, 2, "C"},  {Qt::Key_PageUp, 0, "A"},
        {Qt::Key_PageDown, 2, "C"}, {Qt::Key_Down, 0, "B"}, {Qt::Key_Up, 0, "A"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(QKeySequence(c.key).toString().toStdString());
        QWidget owner;
        ServersListDlg dialog(nullptr, &owner);
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(testsupport::WaitFor([&] { return dialog.isActiveWindow(); }));
        QTreeWidget* view = dialog.ListView();
        view->setFocus(Qt::TabFocusReason);
        view->selectionModel()->setCurrentIndex(view->model()->index(c.markedRow, 0),
                                                QItemSelectionModel::NoUpdate);
        ASSERT_EQ(dialog.SelectionMark(), -1);

        for (Qt::Key key : {c.key, Qt::Key_Return}) {
            QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
            QApplication::sendEvent(QApplication::focusWidget(), &press);
        }
        const QList<RemotePlayerWindow*> players = Players(&owner);
        ASSERT_EQ(players.size(), 1);
        EXPECT_TRUE(players[0]->windowTitle().startsWith(QString(c.connected) + " ( "))
            << players[0]->windowTitle().toStdString();
    }
}

TEST_F(ServersListDlgTest, RemovingTheOnlyEntryLeavesAnEmptyList) {
    ServersListDlg dialog(nullptr, nullptr);
    Add(dialog, "Studio", "192.168.0.5:8080");
    Select(dialog, 0);
    Click(dialog, kRemoveButton);
    EXPECT_EQ(dialog.ListView()->topLevelItemCount(), 0);
    EXPECT_EQ(ListBytes(), Header(0));
}

TEST_F(ServersListDlgTest, AFailedSaveKeepsTheChangeAndTheOldFile) {
    ServersListDlg dialog(nullptr, nullptr);
    Add(dialog, "Studio", "192.168.0.5:8080");
    const std::string before = ListBytes();

    // A full disk: writes stop after 100 bytes.
    {
        testsupport::FileSizeLimit fullDisk(100);
        ASSERT_TRUE(fullDisk.Ok());
        Add(dialog, "Live", "192.168.0.7:8080");
    }

    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, kCannotSave);
    EXPECT_EQ(boxes_.Boxes()[0].type, MB_OK | MB_ICONSTOP);
    EXPECT_EQ(Rows(dialog).size(), 2u);  // the dialog keeps the change
    EXPECT_EQ(ListBytes(), before);
    EXPECT_EQ(testsupport::FolderNames(folder_.Path()), std::vector<std::string>{"srvlist.cfg"});

    // A folder that is gone: nothing can be written there, by anyone.
    const std::filesystem::path gone = folder_.Path() / "gone";
    std::filesystem::create_directory(gone);
    std::filesystem::current_path(gone);
    std::filesystem::remove(gone);
    boxes_.Clear();
    Select(dialog, 0);
    Click(dialog, kRemoveButton);
    std::filesystem::current_path(folder_.Path());
    ASSERT_EQ(boxes_.Count(), 1u);
    EXPECT_EQ(boxes_.Boxes()[0].text, kCannotSave);
    EXPECT_EQ(Rows(dialog).size(), 1u);
}

// Connect opens one more player window each time, owned by the main window,
// titled and placed as a player window is; they stay when the dialog goes.
TEST_F(ServersListDlgTest, ConnectOpensPlayerWindowsThatOutliveTheDialog) {
    const QString address = QString("127.0.0.1:%1").arg(testsupport::UnusedPort());
    {
        ServersListDlg dialog(nullptr, nullptr);
        Add(dialog, "Studio", address);
    }
    QWidget owner;
    // The whole flow through the main window's entry point: select, Connect
    // twice, Close.
    bool driven = false;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<ServersListDlg*>(QApplication::activeModalWidget());
        if (!dialog) return;
        driven = true;
        dialog->ListView()->setCurrentItem(dialog->ListView()->topLevelItem(0));
        Click(*dialog, kConnectButton);
        Click(*dialog, kConnectButton);
        Click(*dialog, IDCANCEL);
    });
    RunServersDialog(&owner);
    ASSERT_TRUE(driven);

    const QList<RemotePlayerWindow*> players = Players(&owner);
    ASSERT_EQ(players.size(), 2);
    for (RemotePlayerWindow* player : players) {
        EXPECT_TRUE(player->isWindow());
        EXPECT_TRUE(player->isVisible());
        EXPECT_EQ(player->windowTitle(), "Studio ( http://" + address + " )");
        EXPECT_EQ(player->frameGeometry(), QRect(100, 100, 200, 150));
        // Nothing listens there: the state line says so and the window stays.
        EXPECT_TRUE(testsupport::WaitFor(
            [&] { return player->CurrentState() == RemotePlayerWindow::State::kFailed; },
            std::chrono::seconds(30)))
            << player->StateText().toStdString();
        EXPECT_TRUE(player->StateText().startsWith("Error: ")) << player->StateText().toStdString();
        EXPECT_TRUE(player->isVisible());
    }
    // Closing one leaves the other.
    QPointer<RemotePlayerWindow> first = players[0];
    first->close();
    EXPECT_TRUE(testsupport::WaitFor([&] { return first.isNull(); }));
    EXPECT_EQ(Players(&owner).size(), 1);
}

}  // namespace
