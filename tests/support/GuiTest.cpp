#include "tests/support/GuiTest.h"

#include <QApplication>
#include <QElapsedTimer>
#include <cstdlib>
#include <future>

#include "tests/support/Commands.h"

namespace testsupport {

QApplication* EnsureApplication() {
    if (auto* app = qobject_cast<QApplication*>(QCoreApplication::instance())) return app;
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "lumacast-tests";
    static char* argv[] = {name, nullptr};
    return new QApplication(argc, argv);  // lives for the whole test run
}

bool WaitFor(const std::function<bool()>& pred, std::chrono::milliseconds limit) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > limit.count()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    return true;
}

void ProcessEventsFor(std::chrono::milliseconds duration) {
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < duration.count()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
}

int RunWhilePumping(const std::string& command, std::string* output,
                    std::chrono::milliseconds limit) {
    auto run = std::async(std::launch::async, [command] {
        int exitCode = -1;
        std::string text = RunCommand(command, &exitCode);
        return std::make_pair(exitCode, std::move(text));
    });
    WaitFor([&] { return run.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            limit);
    auto [exitCode, text] = run.get();
    if (output) *output = std::move(text);
    return exitCode;
}

}  // namespace testsupport
