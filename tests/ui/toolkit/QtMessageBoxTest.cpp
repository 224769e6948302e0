// Message boxes shown as Qt dialogs: text and caption as given, the type's
// buttons, icon and default button, the answer of the button pressed, and a
// box asked for on another thread shown on the user-interface thread.

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
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
};

// Looks at the next message box once it is up and presses the button with
// the given text (or Escape when the text is empty).
void AnswerNextBox(Seen* seen, const QString& press) {
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [seen, press, poll] {
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
        if (press.isEmpty()) {
            box->reject();
            return;
        }
        for (QAbstractButton* button : box->buttons()) {
            if (button->text().remove('&') == press) button->click();
        }
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
        int answer;
        QMessageBox::Icon icon;
        int buttonCount;
        QString defaultButton;
    };
    const Case cases[] = {
        {MB_YESNO | MB_ICONQUESTION, "Yes", IDYES, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONQUESTION, "No", IDNO, QMessageBox::Question, 2, "&Yes"},
        {MB_YESNO | MB_ICONEXCLAMATION | MB_DEFBUTTON2, "Yes", IDYES, QMessageBox::Warning, 2,
         "&No"},
        {MB_OK | MB_ICONSTOP, "OK", IDOK, QMessageBox::Critical, 1, "&OK"},
        {MB_OK | MB_ICONINFORMATION, "", IDOK, QMessageBox::Information, 1, "&OK"},
        {MB_OKCANCEL, "", IDCANCEL, QMessageBox::NoIcon, 2, "&OK"},
        {MB_YESNOCANCEL, "Cancel", IDCANCEL, QMessageBox::NoIcon, 3, "&Yes"},
    };
    for (const Case& c : cases) {
        Seen seen;
        AnswerNextBox(&seen, c.press);
        const int answer = QtMessageBox("First line\nsecond <b>line</b>", "Warning", c.type);
        EXPECT_EQ(answer, c.answer) << c.type;
        EXPECT_EQ(seen.text, "First line\nsecond <b>line</b>");
        EXPECT_EQ(seen.title, "Warning");
        EXPECT_EQ(seen.icon, c.icon) << c.type;
        EXPECT_EQ(seen.buttons.size(), c.buttonCount) << c.type;
        EXPECT_EQ(seen.defaultButton.remove('&'), QString(c.defaultButton).remove('&')) << c.type;
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
