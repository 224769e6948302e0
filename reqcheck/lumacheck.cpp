// liblumacheck.so: the requirement check for installers, one C function.
// Message boxes appear as windows when an X display can be reached (in the
// caller's own Qt application if it has one); without a display the message
// goes to standard error and counts as answered No. Nothing here ends the
// calling process.

#include <xcb/xcb.h>

#include <QApplication>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "platform/MessageBox.h"
#include "reqcheck/RequirementCheck.h"
#include "ui/toolkit/QtMessageBox.h"
#include "wmvcore/RuntimeVersion.h"

namespace {

// Whether an X display answers: Qt would end the process on one that does not.
bool DisplayReachable() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return false;
    xcb_connection_t* connection = xcb_connect(display, nullptr);
    const bool reachable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return reachable;
}

int StderrAnsweredNo(const std::string& text, const std::string& caption, unsigned) {
    std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    return IDNO;
}

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned type) {
    if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
        return QtMessageBox(text, caption, type);
    }
    if (QCoreApplication::instance() || !DisplayReachable()) {
        return StderrAnsweredNo(text, caption, type);
    }
    // A caller without Qt: an application of our own for the one box.
    static char name[] = "lumacheck";
    static char platformOption[] = "-platform";
    static char platform[] = "xcb";
    char* argv[] = {name, platformOption, platform, nullptr};
    int argc = 3;
    QApplication application(argc, argv);
    return QtMessageBox(text, caption, type);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) std::int32_t check_requirements(void) {
    const MessageBoxHandler previous = SetMessageBoxHandler(ShowMessageBox);
    const std::int32_t result = CheckRequirements(kMediaRuntimeSoname);
    SetMessageBoxHandler(previous);
    return result;
}
