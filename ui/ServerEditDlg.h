#pragma once
// The "Add / change server" dialog: a name and a stream address, as typed.
// The Servers dialog runs it for Add (empty fields) and Change (the entry's
// fields) and applies the list's rules to what comes back.

#include <string>

class QWidget;

// The dialog's two fields, in the local 8-bit encoding of the list file.
struct ServerEditFields {
    std::string name;
    std::string address;
};

// Runs the dialog modally over owner, filled from fields; on OK the fields
// take what the user typed. Returns IDOK or IDCANCEL.
int RunServerEditDialog(QWidget* owner, ServerEditFields* fields);
