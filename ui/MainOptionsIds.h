#pragma once
// Control ids of the Options dialog, for its template and the dialog's code.
// OK and Cancel are IDOK and IDCANCEL.

namespace mainoptions {

enum ControlId : int {
    kDateTimeButton = 1058,
    kCustomTextButton = 1059,
    kCaptionEdit = 1056,
    kAutoStartBox = 1060,
    kMinimizeToTrayBox = 1061,
};

}  // namespace mainoptions
