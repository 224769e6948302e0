#pragma once
// The Viewer access dialog (Main > Viewer access): who may watch (everyone
// who reaches the ports, anyone with the invite link, anyone with the viewer
// password), the link to hand out, a new link that ends the old one, the
// password, and HTTPS with the user's certificate or the computer's own. It reads and rewrites
// access.cfg (settings/AccessConfig.h) itself, keeping the file's other lines; the password is kept
// only as its salted hash.

#include <string>

class QWidget;

// The whole flow on the file at path; pageAddress is the page's address
// for viewers ("http://HOST:PORT/"), which the link shown carries;
// fingerprint the SHA-256 fingerprint of the certificate in force ("" while
// HTTPS is off), shown for viewers to check. A
// damaged or unreadable file is said in a message box and left alone
// (IDCANCEL, the dialog not shown). OK with the password rule needs a
// password, typed now or set before. Returns IDOK once saved, else IDCANCEL.
int RunViewerAccessDialog(QWidget* owner, const char* path, const std::string& pageAddress,
                          const std::string& fingerprint);
