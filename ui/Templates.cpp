// The dialogs and the menus of the program, control by control, in tab order.
// Positions are x, y, width, height in dialog units. The ids are named once,
// for each dialog in its own header that the dialog's code shares, since
// dialogs reuse numbers; OK and Cancel are IDOK and IDCANCEL.

#include "ui/Templates.h"

#include <array>

#include "platform/MessageBox.h"
#include "ui/MainDialogIds.h"
#include "ui/MainMenuIds.h"
#include "ui/MainOptionsIds.h"
#include "ui/OutputSetupIds.h"
#include "ui/RelayDialogIds.h"
#include "ui/ServerEditIds.h"
#include "ui/ServersListIds.h"
#include "ui/TrayMenuIds.h"
#include "ui/ViewerAccessDialogIds.h"

namespace {

using K = ControlKind;

constexpr ControlTemplate kMainDialogControls[] = {
    {maindialog::kStartButton, K::PushButton, "", 3, 0, 27, 24},
    {maindialog::kStopButton, K::PushButton, "", 33, 0, 27, 24},
    {maindialog::kSetupButton, K::PushButton, "", 63, 0, 27, 24},
    {maindialog::kConnectButton, K::PushButton, "", 93, 0, 27, 24},
    {maindialog::kHelpButton, K::PushButton, "", 258, 0, 27, 24},
    {-1, K::GroupBox, " Video ", 3, 27, 144, 116},
    {maindialog::kPreviewControl, K::Frame, "", 11, 39, 128, 96, kStyleBlackRect},
    {-1, K::GroupBox, " Audio ", 155, 27, 128, 60},
    {maindialog::kMeterControl, K::Frame, "", 163, 39, 98, 40, kStyleOwnerDraw},
    {maindialog::kMeterScaleControl, K::Trackbar, "", 264, 33, 15, 51,
     kStyleVertical | kStyleNoTicks},
    {-1, K::GroupBox, " Network ", 155, 91, 128, 52},
    {-1, K::Label, "Connected users", 162, 102, 55, 8},
    {maindialog::kUserCountControl, K::Label, "0", 231, 101, 32, 12, kStyleRight | kStyleSunken},
    {-1, K::Label, "Connection URL", 162, 117, 52, 8},
    {maindialog::kConnectionUrlControl, K::Edit, "", 162, 126, 117, 14,
     kStyleReadOnly | kStyleBorder},
    {-1, K::Label, "Relay", 6, 149, 22, 8},
    {maindialog::kRelayStateControl, K::Label, "off", 30, 147, 253, 12, kStyleSunken},
    {-1, K::Label, "IPv6", 6, 163, 22, 8},
    {maindialog::kIpv6UrlControl, K::Edit, "", 30, 161, 253, 14, kStyleReadOnly | kStyleBorder},
};

constexpr ControlTemplate kAboutDialogControls[] = {
    {-1, K::Icon, "", 11, 14, 21, 20},
    {-1, K::Label, "Lumacast! 1.33", 40, 14, 119, 8},
    {-1, K::Label, "Live webcam broadcasting", 40, 26, 119, 8},
    {IDOK, K::DefaultPushButton, "OK", 113, 41, 50, 14},
};

constexpr ControlTemplate kServerSetupControls[] = {
    {-1, K::GroupBox, "Video input ", 6, 6, 141, 63},
    {-1, K::Label, "Capture device", 15, 18, 50, 8},
    {outputsetup::kVideoDeviceList, K::ComboBox, "", 12, 27, 129, 150, kStyleVScroll},
    {outputsetup::kVideoFormatButton, K::PushButton, "Format", 12, 45, 50, 14},
    {outputsetup::kVideoSourceButton, K::PushButton, "Source", 69, 45, 50, 14},
    {-1, K::GroupBox, " Audio input ", 6, 72, 141, 66},
    {-1, K::Label, "Capture device", 15, 84, 50, 8},
    {outputsetup::kAudioDeviceList, K::ComboBox, "", 12, 93, 129, 150},
    {outputsetup::kAudioSourceButton, K::PushButton, "Source", 69, 111, 50, 14},
    {-1, K::GroupBox, " Video output ", 153, 6, 237, 63},
    {-1, K::Label, "Codec", 165, 18, 21, 8},
    {outputsetup::kVideoCodecList, K::ComboBox, "", 162, 27, 129, 150},
    {-1, K::Label, "Quality", 303, 30, 24, 8},
    {outputsetup::kQualityField, K::Edit, "", 336, 27, 39, 12,
     kStyleNumber | kStyleRight | kStyleBorder},
    {outputsetup::kQualitySpin, K::UpDown, "", 375, 27, 9, 12},
    {-1, K::Label, "Frames per second", 162, 49, 62, 8},
    {outputsetup::kFramesPerSecondField, K::Edit, "", 231, 48, 39, 12,
     kStyleNumber | kStyleRight | kStyleBorder},
    {outputsetup::kFramesPerSecondSpin, K::UpDown, "", 270, 48, 9, 12},
    {-1, K::Label, "Bitrate, kbps", 288, 50, 42, 8},
    {outputsetup::kBitrateField, K::Edit, "", 336, 48, 39, 12,
     kStyleNumber | kStyleRight | kStyleBorder},
    {outputsetup::kBitrateSpin, K::UpDown, "", 375, 48, 9, 12},
    {-1, K::GroupBox, " Audio ", 153, 72, 135, 66},
    {-1, K::Label, "Codec", 165, 84, 21, 8},
    {outputsetup::kAudioCodecList, K::ComboBox, "", 162, 93, 120, 150},
    {-1, K::Label, "Format", 165, 111, 24, 8},
    {outputsetup::kAudioFormatList, K::ComboBox, "", 162, 120, 120, 150},
    {-1, K::GroupBox, " Network ", 294, 72, 96, 66},
    {-1, K::Label, "Max users", 302, 87, 34, 8},
    {outputsetup::kMaxUsersField, K::Edit, "", 342, 84, 33, 12,
     kStyleNumber | kStyleRight | kStyleBorder},
    {outputsetup::kMaxUsersSpin, K::UpDown, "", 375, 84, 9, 12},
    {-1, K::Label, "ASF port", 302, 105, 29, 8},
    {outputsetup::kAsfPortField, K::Edit, "", 342, 102, 40, 14,
     kStyleNumber | kStyleRight | kStyleBorder},
    {-1, K::Label, "HTTP port", 302, 123, 33, 8},
    {outputsetup::kHttpPortField, K::Edit, "", 342, 120, 40, 14,
     kStyleNumber | kStyleRight | kStyleBorder},
    {outputsetup::kHelpButton, K::PushButton, "Help", 9, 141, 50, 14},
    {IDOK, K::DefaultPushButton, "OK", 279, 141, 50, 14},
    {IDCANCEL, K::PushButton, "Cancel", 336, 141, 50, 14},
};

constexpr ControlTemplate kServersDialogControls[] = {
    {serverslist::kListView, K::ListView, "", 3, 3, 153, 138, kStyleSingleSel | kStyleBorder},
    {serverslist::kConnectButton, K::DefaultPushButton, "Connect", 165, 3, 50, 14},
    {serverslist::kAddButton, K::PushButton, "Add", 165, 27, 50, 14},
    {serverslist::kChangeButton, K::PushButton, "Change", 165, 45, 50, 14},
    {serverslist::kRemoveButton, K::PushButton, "Remove", 165, 63, 50, 14},
    {IDCANCEL, K::PushButton, "Close", 165, 84, 50, 14},
};

constexpr ControlTemplate kServerEditControls[] = {
    {-1, K::GroupBox, "", 3, 3, 210, 69},
    {-1, K::Label, "Server name", 12, 12, 42, 8},
    {serveredit::kNameField, K::Edit, "", 9, 21, 198, 14, kStyleBorder},
    {serveredit::kAddressLabel, K::Label, "Server address", 12, 42, 50, 8},
    {serveredit::kAddressField, K::Edit, "", 9, 51, 198, 14, kStyleBorder},
    {serveredit::kHelpButton, K::PushButton, "Help", 6, 75, 50, 14},
    {IDOK, K::DefaultPushButton, "OK", 102, 75, 50, 14},
    {IDCANCEL, K::PushButton, "Cancel", 159, 75, 50, 14},
};

constexpr ControlTemplate kOptionsDialogControls[] = {
    {-1, K::GroupBox, " Caption ", 6, 6, 222, 48},
    {mainoptions::kDateTimeButton, K::RadioButton, "Date && time", 15, 21, 53, 10},
    {mainoptions::kCustomTextButton, K::RadioButton, "Custom text", 15, 33, 55, 10},
    {mainoptions::kCaptionEdit, K::Edit, "", 75, 30, 144, 14, kStyleBorder},
    {-1, K::GroupBox, " Startup ", 6, 57, 222, 48},
    {mainoptions::kAutoStartBox, K::CheckBox, "Auto start server", 15, 72, 71, 10},
    {mainoptions::kMinimizeToTrayBox, K::CheckBox, "Minimize to system tray", 15, 87, 91, 10},
    {IDOK, K::DefaultPushButton, "OK", 114, 108, 50, 14},
    {IDCANCEL, K::PushButton, "Cancel", 174, 108, 50, 14},
};

constexpr ControlTemplate kRelayDialogControls[] = {
    {-1, K::GroupBox, " Publish to a relay ", 6, 6, 262, 74},
    {-1, K::Label, "Relay address with the stream key (rtmp:// or rtmps://)", 15, 18, 230, 8},
    {relaydialog::kUrlEdit, K::Edit, "", 12, 28, 250, 14, kStyleBorder},
    {relaydialog::kShownUrlLabel, K::Label, "", 15, 46, 247, 8},
    {relaydialog::kPublishBox, K::CheckBox, "Publish while broadcasting", 15, 61, 120, 10},
    {-1, K::GroupBox, " Viewers' page ", 6, 84, 262, 40},
    {-1, K::Label, "HLS address of the relay for viewers (empty: none)", 15, 96, 230, 8},
    {relaydialog::kHlsEdit, K::Edit, "", 12, 106, 250, 14, kStyleBorder},
    {relaydialog::kHelpButton, K::PushButton, "Help", 6, 130, 50, 14},
    {IDOK, K::DefaultPushButton, "OK", 158, 130, 50, 14},
    {IDCANCEL, K::PushButton, "Cancel", 218, 130, 50, 14},
};

constexpr ControlTemplate kViewerAccessControls[] = {
    {-1, K::GroupBox, " Who may watch ", 6, 6, 262, 58},
    {accessdialog::kEveryoneRadio, K::RadioButton, "Everyone who can reach the ports", 15, 18, 200,
     10},
    {accessdialog::kInviteRadio, K::RadioButton, "Anyone with the invite link", 15, 32, 200, 10},
    {accessdialog::kPasswordRadio, K::RadioButton, "Anyone with the viewer password", 15, 46, 200,
     10},
    {-1, K::GroupBox, " Invite link ", 6, 68, 262, 44},
    {accessdialog::kLinkEdit, K::Edit, "", 12, 80, 250, 14, kStyleBorder},
    {accessdialog::kNewLinkButton, K::PushButton, "New invite link", 12, 96, 70, 12},
    {-1, K::Label, "ends every older link at once", 88, 98, 170, 8},
    {-1, K::GroupBox, " Viewer password ", 6, 116, 262, 32},
    {accessdialog::kPasswordEdit, K::Edit, "", 12, 128, 250, 14, kStyleBorder},
    {-1, K::GroupBox, " Encryption ", 6, 152, 262, 108},
    {accessdialog::kTlsBox, K::CheckBox, "Serve the page and the stream over HTTPS", 15, 164, 200,
     10},
    {-1, K::Label, "Your certificate (PEM, e.g. fullchain.pem; empty: this computer's own)", 15,
     178, 250, 8},
    {accessdialog::kCertificateEdit, K::Edit, "", 12, 188, 250, 14, kStyleBorder},
    {-1, K::Label, "Its private key (PEM, e.g. privkey.pem)", 15, 204, 250, 8},
    {accessdialog::kKeyEdit, K::Edit, "", 12, 214, 250, 14, kStyleBorder},
    {accessdialog::kTlsNoteLabel, K::Label, "", 15, 230, 250, 28},
    {accessdialog::kHelpButton, K::PushButton, "Help", 6, 266, 50, 14},
    {IDOK, K::DefaultPushButton, "OK", 158, 266, 50, 14},
    {IDCANCEL, K::PushButton, "Cancel", 218, 266, 50, 14},
};

constexpr std::array kDialogs = {
    DialogTemplate{kMainDialogId, "Lumacast!", 289, 178, kMainDialogControls},
    DialogTemplate{kAboutDialogId, "About Lumacast!", 170, 62, kAboutDialogControls},
    DialogTemplate{kServerSetupDialogId, "Server setup", 394, 158, kServerSetupControls},
    DialogTemplate{kServersDialogId, "Servers", 226, 143, kServersDialogControls},
    DialogTemplate{kServerEditDialogId, "Add / change server", 217, 92, kServerEditControls},
    DialogTemplate{kOptionsDialogId, "Options", 232, 127, kOptionsDialogControls},
    DialogTemplate{kRelayDialogId, "Relay", 274, 150, kRelayDialogControls},
    DialogTemplate{kViewerAccessDialogId, "Viewer access", 274, 286, kViewerAccessControls},
};

constexpr MenuItemTemplate kMainPopup[] = {
    {"Run server", mainmenu::kRunServer},
    {"Stop server", mainmenu::kStopServer},
    {"", 0},
    {"Server setup", mainmenu::kServerSetup},
    {"Options", mainmenu::kOptions},
    {"Relay", mainmenu::kRelay},
    {"Viewer access", mainmenu::kViewerAccess},
    {"Save configuration", mainmenu::kSaveConfiguration},
    {"", 0},
    {"Remote servers", mainmenu::kRemoteServers},
    {"", 0},
    {"E&xit", mainmenu::kExit},
};

constexpr MenuItemTemplate kHelpPopup[] = {
    {"&Topics", mainmenu::kHelpTopics},
    {"", 0},
    {"Email to support", mainmenu::kEmailSupport},
    {"Orvanta Software web site", mainmenu::kWebSite},
    {"", 0},
    {"About...", mainmenu::kAbout},
};

constexpr MenuPopupTemplate kMainMenuPopups[] = {
    {"&Main", kMainPopup},
    {"&Help", kHelpPopup},
};

constexpr MenuTemplate kMainMenu{kMainMenuId, kMainMenuPopups};

// The tray icon's menu: the way back to a window hidden in the tray, and out.
constexpr MenuItemTemplate kTrayPopup[] = {
    {"&Restore", traymenu::kRestore},
    {"", 0},
    {"E&xit", traymenu::kExit},
};

constexpr MenuPopupTemplate kTrayMenuPopups[] = {{"", kTrayPopup}};

constexpr MenuTemplate kTrayMenu{kTrayMenuId, kTrayMenuPopups};

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : kDialogs) {
        if (dialog.id == id) return &dialog;
    }
    return nullptr;
}

const MenuTemplate& MainMenuTemplate() {
    return kMainMenu;
}

const MenuTemplate* FindMenuTemplate(int id) {
    for (const MenuTemplate* menu : {&kMainMenu, &kTrayMenu}) {
        if (menu->id == id) return menu;
    }
    return nullptr;
}
