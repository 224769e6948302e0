#include "settings/dialogs/Help.h"

#include <string>

#include "platform/ui/HelpWindow.h"
#include "settings/AppSettings.h"

void ShowHelpTopic(const char* topic) {
    ShowHelpPage(programDir + "help/" + (topic ? topic : "index.htm"));
}
