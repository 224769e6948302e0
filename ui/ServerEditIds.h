#pragma once
// Control ids of the "Add / change server" dialog, for its template and the
// dialog's code. OK and Cancel are IDOK and IDCANCEL.

namespace serveredit {

enum ControlId : int {
    kNameField = 1042,
    kAddressLabel = 1043,
    kAddressField = 1044,
    kHelpButton = 1045,
};

}  // namespace serveredit
