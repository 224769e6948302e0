#pragma once
// Helpers of the Servers dialog and player tests: a current directory of the
// test's own, answers for the modal "Add / change server" dialog, the live
// test stream served by lumastream on loopback, and the process's thread
// count.

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>

#include "platform/MessageBox.h"
#include "tests/support/Sockets.h"
#include "tests/support/TempFolder.h"
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

// The live test stream (a moving picture and a tone) served by the
// program's own writer on a loopback port the system picks.
class TestStream {
  public:
    explicit TestStream(int seconds = 300) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        const std::string secondsText = std::to_string(seconds);
        const char* argv[] = {LUMASTREAM, "serve", "0", secondsText.c_str(), nullptr};
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // The stream goes with the test, however the test ends.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) _exit(1);
            ::dup2(out[1], STDOUT_FILENO);
            ::execv(LUMASTREAM, const_cast<char**>(argv));
            _exit(127);
        }
        ::close(out[1]);
        // "serving http://127.0.0.1:PORT/MyFile.wma for N s"
        std::FILE* stream = ::fdopen(out[0], "r");
        char line[256] = {};
        if (stream && std::fgets(line, sizeof line, stream)) {
            std::cmatch match;
            if (std::regex_search(line, match, std::regex("127\\.0\\.0\\.1:([0-9]+)/")))
                port_ = std::stoi(match[1].str());
        }
        if (stream) std::fclose(stream);
    }
    ~TestStream() { End(); }

    int Port() const { return port_; }
    bool Ok() const { return pid_ > 0 && port_ > 0; }
    // The connection URL as a broadcaster's main window shows it.
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    // Ends the stream as a broadcaster that goes away.
    void End() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

inline int ThreadCount() {
    int count = 0;
    for ([[maybe_unused]] const auto& entry :
         std::filesystem::directory_iterator("/proc/self/task"))
        ++count;
    return count;
}

}  // namespace serverstest
