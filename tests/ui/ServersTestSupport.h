#pragma once
// Helpers of the Servers dialog and player tests: a current directory of the
// test's own, answers for the modal "Add / change server" dialog, the live
// test stream (tests/support/TestStream.h), and the process's thread count.

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/MessageBox.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
#include "tests/support/TestStream.h"
#include "ui/ServerEditIds.h"

namespace serverstest {

// Makes a temporary folder the current directory while it lives.
class CurrentFolder {
  public:
    CurrentFolder() : previous_(std::filesystem::current_path()) {
        std::filesystem::current_path(folder_.Path());
    }
    ~CurrentFolder() { std::filesystem::current_path(previous_); }
    const std::filesystem::path& Path() const { return folder_.Path(); }
    std::string ListFile() const { return (folder_.Path() / "srvlist.cfg").string(); }

  private:
    testsupport::TempFolder folder_{"lumaservers"};
    std::filesystem::path previous_;
};

// How to answer the next "Add / change server" dialog, and what it showed.
struct EditAnswer {
    EditAnswer(std::optional<QString> typedName, std::optional<QString> typedAddress,
               bool pressOk = true)
        : name(std::move(typedName)), address(std::move(typedAddress)), ok(pressOk) {}

    std::optional<QString> name;     // typed over the field when set
    std::optional<QString> address;  // likewise
    bool ok = true;                  // OK or Cancel
    bool seen = false;
    QString shownName, shownAddress;  // the fields as the dialog opened
};

// Answers the next edit dialog that opens as answer says. The answer must
// outlive the dialog.
inline void AnswerNextEdit(EditAnswer* answer) {
    auto* timer = new QTimer;
    timer->setInterval(5);
    QObject::connect(timer, &QTimer::timeout, [timer, answer] {
        QWidget* modal = QApplication::activeModalWidget();
        const auto field = [modal](int id) {
            return modal ? modal->findChild<QLineEdit*>(QString::number(id)) : nullptr;
        };
        QLineEdit* name = field(serveredit::kNameField);
        QLineEdit* address = field(serveredit::kAddressField);
        if (!name || !address) return;
        timer->stop();
        timer->deleteLater();
        answer->seen = true;
        answer->shownName = name->text();
        answer->shownAddress = address->text();
        if (answer->name) name->setText(*answer->name);
        if (answer->address) address->setText(*answer->address);
        const int button = answer->ok ? IDOK : IDCANCEL;
        modal->findChild<QPushButton*>(QString::number(button))->click();
    });
    timer->start();
}

inline int ThreadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

}  // namespace serverstest
