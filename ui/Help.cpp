#include "ui/Help.h"

#include <string>

#include "settings/AppSettings.h"
#include "ui/HelpWindow.h"

void ShowHelpTopic(const char* topic) {
    ShowHelpPage(programDir + "help/" + (topic ? topic : "index.htm"));
}
