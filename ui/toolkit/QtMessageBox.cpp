#include "ui/toolkit/QtMessageBox.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QThread>

#include "platform/MessageBox.h"

namespace {

QMessageBox::StandardButton QtButton(int answer) {
    switch (answer) {
        case IDOK:
            return QMessageBox::Ok;
        case IDCANCEL:
            return QMessageBox::Cancel;
        case IDABORT:
            return QMessageBox::Abort;
        case IDRETRY:
            return QMessageBox::Retry;
        case IDIGNORE:
            return QMessageBox::Ignore;
        case IDYES:
            return QMessageBox::Yes;
        case IDNO:
            return QMessageBox::No;
        default:
            return QMessageBox::NoButton;
    }
}

QMessageBox::Icon QtIcon(unsigned type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONSTOP:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// A box that has no Cancel and more than one button can only be answered by
// one of its buttons: Escape and the close box do nothing, and the frame
// shows no close box. Qt would otherwise take No, or another button, as the
// answer to Escape.
class AnswerBox : public QMessageBox {
  public:
    AnswerBox(QWidget* parent, bool escapable) : QMessageBox(parent), escapable_(escapable) {
        if (!escapable_) {
            setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::CustomizeWindowHint |
                           Qt::WindowTitleHint);
        }
    }

  protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!escapable_ && event->matches(QKeySequence::Cancel)) return;
        QMessageBox::keyPressEvent(event);
    }
    void closeEvent(QCloseEvent* event) override {
        if (!escapable_) {
            event->ignore();
            return;
        }
        QMessageBox::closeEvent(event);
    }

  private:
    bool escapable_;
};

int ShowOnThisThread(const std::string& text, const std::string& caption, unsigned type) {
    const std::vector<int> answers = MessageBoxButtons(type);
    // Escape answers Cancel where there is one, or the only button.
    int escapeAnswer = answers.size() == 1 ? answers.front() : 0;
    for (int answer : answers) {
        if (answer == IDCANCEL) escapeAnswer = IDCANCEL;
    }
    AnswerBox box(QApplication::activeWindow(), escapeAnswer != 0);
    box.setWindowTitle(QString::fromLocal8Bit(caption.c_str()));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromLocal8Bit(text.c_str()));
    box.setIcon(QtIcon(type));
    for (int answer : answers) box.addButton(QtButton(answer));
    box.setDefaultButton(QtButton(DefaultMessageBoxButton(type)));
    if (escapeAnswer != 0) box.setEscapeButton(QtButton(escapeAnswer));
    box.exec();
    QAbstractButton* pressed = box.clickedButton();
    for (int answer : answers) {
        if (pressed && box.button(QtButton(answer)) == pressed) return answer;
    }
    // Closed without a button, which only a box with an escape answer allows.
    return escapeAnswer != 0 ? escapeAnswer : DefaultMessageBoxButton(type);
}

}  // namespace

int QtMessageBox(const std::string& text, const std::string& caption, unsigned type) {
    QCoreApplication* application = QCoreApplication::instance();
    if (!qobject_cast<QApplication*>(application)) return StderrMessageBox(text, caption, type);
    if (QThread::currentThread() == application->thread()) {
        return ShowOnThisThread(text, caption, type);
    }
    int answer = DefaultMessageBoxButton(type);
    QMetaObject::invokeMethod(
        application, [&] { answer = ShowOnThisThread(text, caption, type); },
        Qt::BlockingQueuedConnection);
    return answer;
}

void InstallQtMessageBoxes() {
    SetMessageBoxHandler(QtMessageBox);
}
