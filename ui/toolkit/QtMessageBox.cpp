#include "ui/toolkit/QtMessageBox.h"

#include <QApplication>
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

int ShowOnThisThread(const std::string& text, const std::string& caption, unsigned type) {
    QMessageBox box(QApplication::activeWindow());
    box.setWindowTitle(QString::fromLocal8Bit(caption.c_str()));
    box.setTextFormat(Qt::PlainText);
    box.setText(QString::fromLocal8Bit(text.c_str()));
    box.setIcon(QtIcon(type));
    const std::vector<int> answers = MessageBoxButtons(type);
    for (int answer : answers) box.addButton(QtButton(answer));
    box.setDefaultButton(QtButton(DefaultMessageBoxButton(type)));
    // Escape answers Cancel where there is one, or the only button; a box
    // without either stays open until a button is pressed.
    for (int answer : answers) {
        if (answer == IDCANCEL) box.setEscapeButton(QtButton(IDCANCEL));
    }
    if (answers.size() == 1) box.setEscapeButton(QtButton(answers.front()));
    box.exec();
    QAbstractButton* pressed = box.clickedButton();
    for (int answer : answers) {
        if (pressed && box.button(QtButton(answer)) == pressed) return answer;
    }
    // Closed without a button: what Escape would have answered.
    for (int answer : answers) {
        if (answer == IDCANCEL) return IDCANCEL;
    }
    return answers.size() == 1 ? answers.front() : DefaultMessageBoxButton(type);
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
