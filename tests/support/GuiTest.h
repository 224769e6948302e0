#pragma once
// Widget tests: one QApplication for the whole test binary, on Qt's offscreen
// platform unless QT_QPA_PLATFORM names another, and helpers that let the
// event loop run while a test waits.

#include <chrono>
#include <functional>

class QApplication;

namespace testsupport {

// The test binary's QApplication, made on first use.
QApplication* EnsureApplication();

// Runs the event loop until pred holds or limit passes; whether it held.
bool WaitFor(const std::function<bool()>& pred,
             std::chrono::milliseconds limit = std::chrono::seconds(10));

// Runs the event loop for a while.
void ProcessEventsFor(std::chrono::milliseconds duration);

}  // namespace testsupport
