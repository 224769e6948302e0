// Message boxes shown as Qt dialogs: text and caption as given, the type's
// buttons, icon and default button, the answer of the button pressed, what
// Escape and the close box answer (nothing where a box has several buttons
// but no Cancel), and a box asked for on another thread shown on the
// user-interface thread.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <thread>

#include "platform/MessageBox.h"
#include "tests/support/GuiTest.h"
#include "ui/toolkit/QtMessageBox.h"

namespace {

struct Seen {
    QString text;
    QString title;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QStringList buttons;
    QString defaultButton;
    bool onGuiThread = false;
    bool stayedOpen = false;
};

// Looks at the next message box once it is up and presses the button with
// the given text, or Escape, or its close box ("Escape", "Close"); then,
// when given, the button of the text then if the box is still up.
void AnswerNextBox(Seen* seen, const QString& press, const QString& then = QString()) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [seen, press, then, poll] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible()) return;
        poll->stop();
        poll->deleteLater();
        seen->text = box->text();
        seen->title = box->windowTitle();
        seen->icon = box->icon();
        seen->onGuiThread = QThread::currentThread() == qApp->thread();
        for (QAbstractButton* button : box->buttons()) seen->buttons << button->text();
        if (box->defaultButton()) seen->defaultButton = box->defaultButton()->text();
        const auto click = [box](const QString& text) {
            for (QAbstractButton* button : box->buttons()) {
                if (button->text().remove('&') == text) button->click();
            }
        };
        if (press == "Escape") {
            QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
            QApplication::sendEvent(box, &escape);
        } else if (press == "Close") {
            box->close();
        } else {
            click(press);
        }
        if (then.isEmpty()) return;
        seen->stayedOpen = box->isVisible();
        click(then);
    });
    poll->start(10);
}

class QtMessageBoxTest : public ::testing::Test {
  protected:
    void SetUp() override { testsupport::EnsureApplication(); }
};

TEST_F(QtMessageBoxTest, ShowsTheTypeAndAnswersTheButtonPressed) {
    struct Case {
        unsigned type;
        QString press;
        QString then;  // pressed next, as the box is to stay up
        int answer;
        QMessageBox::Icon icon;
        int buttonCount;
        QString defaultButton;
    };
    const Case cases[] = {
        {MB_YESNO | MB_ICONQUESTION, "Yes", "", IDYES, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONQUESTION, "No", "", IDNO, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONQUESTION, "Escape", "Yes", IDYES, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONQUESTION, "Close", "No", IDNO, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2, "Yes", "", IDYES, QMessageBox::Warning, 2,
         "&No"},
        {MB_ABORTRETRYIGNORE, "Escape", "Retry", IDRETRY, QMessageBox::NoIcon, 3, "&Abort"},
        {MB_OK | MB_ICONSTOP, "OK", "", IDOK, QMessageBox::Critical, 1, "&OK"},
        {MB_OK | MB_ICONINFORMATION, "Escape", "", IDOK, QMessageBox::Information, 1, "&OK"},
        {MB_OKCANCEL, "Escape", "", IDCANCEL, QMessageBox::NoIcon, 2, "&OK"},
        {MB_OKCANCEL, "Close", "", IDCANCEL, QMessageBox::NoIcon, 2, "&OK"},
        {MB_YESNOCANCEL, "Cancel", "", IDCANCEL, QMessageBox::NoIcon, 3, "&Yes"},
        {MB_YESNOCANCEL, "Escape", "", IDCANCEL, QMessageBox::NoIcon, 3, "&Yes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.press.toStdString() + " on " + MessageBoxButtonsName(c.type));
        Seen seen;
        AnswerNextBox(&seen, c.press, c.then);
        const int answer = QtMessageBox("First line\nsecond <b>line</b>", "Warning", c.type);
        EXPECT_EQ(answer, c.answer);
        EXPECT_EQ(seen.stayedOpen, !c.then.isEmpty());
        EXPECT_EQ(seen.text, "First line\nsecond <b>line</b>");
        EXPECT_EQ(seen.title, "Warning");
        EXPECT_EQ(seen.icon, c.icon);
        EXPECT_EQ(seen.buttons.size(), c.buttonCount);
        EXPECT_EQ(seen.defaultButton.remove('&'), QString(c.defaultButton).remove('&'));
    }
}

TEST_F(QtMessageBoxTest, ABoxFromAnotherThreadIsShownOnTheUserInterfaceThread) {
    Seen seen;
    AnswerNextBox(&seen, "No");
    auto previous = SetMessageBoxHandler(QtMessageBox);
    int answer = 0;
    bool done = false;
    std::thread asker([&] {
        answer = MessageBox("From the audio thread", "Lumacast", MB_YESNO | MB_ICONQUESTION);
        done = true;
    });
    EXPECT_TRUE(testsupport::WaitFor([&] { return done; }));
    asker.join();
    SetMessageBoxHandler(previous);
    EXPECT_EQ(answer, IDNO);
    EXPECT_EQ(seen.text, "From the audio thread");
    EXPECT_TRUE(seen.onGuiThread);
}

}  // namespace
