#pragma once
// The program's icons by their resource ids: the program itself and the
// toolbar's commands. Each is drawn from its own scalable picture at the size
// asked for; its natural size (availableSizes) is 32 x 32 pixels.

#include <QIcon>

enum IconId : int {
    kProgramIconId = 128,       // a camera sending out its picture: windows, tray, desktop
    kStartIconId = 168,         // start broadcasting
    kStopIconId = 169,          // stop broadcasting
    kHelpIconId = 170,          // open help
    kRemoteServerIconId = 172,  // connect to a remote server
    kServerSetupIconId = 173,   // server setup
};

// The icon of an id; a null QIcon for an id the program has no icon for.
// The disabled mode comes out greyed, as the application's style greys icons.
QIcon IconById(int id);
