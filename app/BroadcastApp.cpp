#include "app/BroadcastApp.h"

#include <unistd.h>

#include <QApplication>
#include <cstdio>

#include "app/MainDialog.h"
#include "platform/MessageBox.h"
#include "platform/UrlOpener.h"
#include "settings/AppSettings.h"
#include "settings/ConfigFile.h"

bool RuntimeCheckEndsStartUp(const char* runtimeLibrary) {
    if (CheckMediaRuntime(runtimeLibrary) == MediaRuntimeStatus::kAccepted) return false;
    const int answer = MessageBox(kMediaRuntimeWarning, kMediaRuntimeWarningCaption,
                                  MB_YESNO | MB_ICONEXCLAMATION);
    if (answer != IDYES) return false;
    OpenUrl(kMediaRuntimeDownloadUrl);
    return true;
}

CBroadcastApp::CBroadcastApp(const char* runtimeLibrary) {
    g_settings = AppSettings{};
    configChanged = false;
    exitRequested_ = RuntimeCheckEndsStartUp(runtimeLibrary);
}

int CBroadcastApp::InitInstance() {
    CMainDialog dialog;
    DetermineProgramDir();
    // Files the program names without a folder (the servers list) live with
    // the user's files, in the program's folder unless it is an installed copy.
    if (!filesDir.empty() && ::chdir(filesDir.c_str()) != 0) {
        std::perror("lumasrv: cannot enter the folder of its files");
    }
    LoadConfig();
    // The window's own modal loop is the program's: when the window ends,
    // the program ends. Other windows (help, players) stay usable meanwhile,
    // and closing the last of them while the window hides in the tray does
    // not end anything.
    QApplication::setQuitOnLastWindowClosed(false);
    QObject::connect(&dialog, &QDialog::finished, [] { QCoreApplication::quit(); });
    dialog.OnInitDialog();
    dialog.show();
    QApplication::exec();
    return 0;
}
