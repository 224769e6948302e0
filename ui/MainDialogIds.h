#pragma once
// Control ids of the main window, for its template and the window's code. A
// toolbar button's id is also the command its click sends.

namespace maindialog {

enum ControlId : int {
    kStartButton = 1047,
    kStopButton = 1048,
    kSetupButton = 1054,    // Server setup
    kConnectButton = 1053,  // connect to a remote server
    kHelpButton = 1020,
    kPreviewControl = 1023,
    kMeterControl = 1051,       // the audio meter, painted by the window
    kMeterScaleControl = 1052,  // the slider beside it
    kUserCountControl = 1022,
    kConnectionUrlControl = 1056,
    kRelayStateControl = 1057,  // the relay's one-line state
    kIpv6UrlControl = 1058,     // the viewers' address over IPv6, when there is one
};

}  // namespace maindialog
