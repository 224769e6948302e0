#pragma once
// Control ids of the Viewer access dialog, for its template and the dialog's
// code. OK and Cancel are IDOK and IDCANCEL.

namespace accessdialog {

enum ControlId : int {
    kEveryoneRadio = 1090,
    kInviteRadio = 1091,
    kPasswordRadio = 1092,
    kPasswordEdit = 1093,
    kLinkEdit = 1094,
    kNewLinkButton = 1095,
    kHelpButton = 1096,
    kTlsBox = 1097,
    kCertificateEdit = 1098,
    kKeyEdit = 1099,
    kTlsNoteLabel = 1100,
};

}  // namespace accessdialog
