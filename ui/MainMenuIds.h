#pragma once
// Command ids of the main menu, for its template and the main window, which
// carries out each one.

namespace mainmenu {

enum CommandId : int {
    kRunServer = 138,
    kStopServer = 163,
    kServerSetup = 153,
    kOptions = 32778,
    kRelay = 32790,
    kViewerAccess = 32791,
    kSaveConfiguration = 32779,
    kRemoteServers = 32777,
    kExit = 130,
    kHelpTopics = 154,
    kEmailSupport = 146,
    kWebSite = 156,
    kAbout = 143,
};

}  // namespace mainmenu
