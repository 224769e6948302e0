#pragma once
// Control ids of the Relay dialog, for its template and the dialog's code.
// OK and Cancel are IDOK and IDCANCEL.

namespace relaydialog {

enum ControlId : int {
    kUrlEdit = 1080,
    kShownUrlLabel = 1081,  // the address with its stream key masked
    kPublishBox = 1082,
    kHlsEdit = 1083,
    kHelpButton = 1084,
};

}  // namespace relaydialog
