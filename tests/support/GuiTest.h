#pragma once
// Widget tests: one QApplication for the whole test binary, on Qt's offscreen
// platform unless QT_QPA_PLATFORM names another, and helpers that let the
// event loop run while a test waits.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>
#include <chrono>
#include <functional>
#include <string>

namespace testsupport {

// The test binary's QApplication, made on first use.
QApplication* EnsureApplication();

// Runs the event loop until pred holds or limit passes; whether it held.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs the event loop for a while.
void ProcessEventsFor(std::chrono::milliseconds duration);

// Runs a shell command (an independent client such as ffprobe) while the
// event loop goes on, so that timers of the code under test keep running;
// its exit status as RunCommand gives it, with its standard output in
// *output when given. Waits at most limit for the event loop's sake, then
// for the command however long it takes.
int RunWhilePumping(const std::string& command, std::string* output = nullptr,
                    std::chrono::milliseconds limit = std::chrono::minutes(2));

// Acts on the next modal dialog of type T once it runs (from within the
// exec() the test calls next). A dialog that never comes fails the test
// after the limit, and a modal dialog then open is closed so the test ends.
template <typename T>
void WhenModal(std::function<void(T*)> action,
               std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    auto* timer = new QTimer;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    QObject::connect(timer, &QTimer::timeout, [timer, action, deadline] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            action(dialog);
        } else if (std::chrono::steady_clock::now() > deadline) {
            timer->stop();
            timer->deleteLater();
            ADD_FAILURE() << "the expected dialog did not open";
            if (auto* other = qobject_cast<QDialog*>(QApplication::activeModalWidget())) {
                other->reject();
            }
        }
    });
    timer->start(10);
}

}  // namespace testsupport
