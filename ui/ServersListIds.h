#pragma once
// Control ids of the Servers dialog, for its template and the dialog's code.
// Close is IDCANCEL.

namespace serverslist {

enum ControlId : int {
    kListView = 1037,
    kConnectButton = 1040,
    kAddButton = 1038,
    kChangeButton = 1039,
    kRemoveButton = 1036,
};

}  // namespace serverslist
