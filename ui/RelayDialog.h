#pragma once
// The Relay dialog (Main > Relay): the relay address with its stream key,
// whether to publish while broadcasting, and the HLS address the viewers'
// page sends viewers to. It reads and rewrites relay.cfg (settings/
// RelayConfig.h) itself, keeping the file's other lines.

class QWidget;

// The whole flow on the file at path: a damaged or unreadable file is said
// in a message box and left alone (IDCANCEL, the dialog not shown); OK
// checks the address when publishing is on or an address is given, then
// saves. Returns IDOK once saved, else IDCANCEL.
int RunRelayDialog(QWidget* owner, const char* path);
