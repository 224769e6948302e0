#include "ui/Dialogs.h"

#include <cstring>

#include "platform/MessageBox.h"
#include "settings/AppSettings.h"
#include "ui/MainOptions.h"
#include "ui/OutputSetupDlg.h"

int RunOptionsDialog(QWidget* owner) {
    MainOptions dialog(owner);
    OptionsValues values;
    values.captionText.assign(g_settings.captionText,
                              strnlen(g_settings.captionText, sizeof g_settings.captionText - 1));
    values.dateTime = g_settings.captionDateTime;
    values.autoStart = g_settings.autoStartServer;
    values.minimizeToTray = g_settings.minimizeToTray;
    dialog.SetValues(values);
    if (dialog.exec() != QDialog::Accepted) return IDCANCEL;

    const OptionsValues& chosen = dialog.Values();
    char text[sizeof g_settings.captionText] = {};
    std::memcpy(text, chosen.captionText.data(),
                std::min(chosen.captionText.size(), sizeof text - 1));
    std::memcpy(g_settings.captionText, text, sizeof text);
    g_settings.captionDateTime = chosen.dateTime ? 1 : 0;
    g_settings.autoStartServer = chosen.autoStart ? 1 : 0;
    g_settings.minimizeToTray = chosen.minimizeToTray ? 1 : 0;
    configChanged = true;
    return IDOK;
}

int RunServerSetup(QWidget* owner, CapLib* capture, capture::PreviewSurface* preview) {
    OutputSetupDlg dialog(capture, preview, owner);
    return dialog.exec() == QDialog::Accepted ? IDOK : IDCANCEL;
}
